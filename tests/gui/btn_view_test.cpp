// The picture button: its three looks and when it acts.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QCursor>
#include <QPainter>
#include <QTest>

#include "gui_support.h"
#include "ui/btn_view.h"
#include "ui/pictures.h"
#include "ui/ui_style.h"

namespace corvane::gui_test {
namespace {

using ui::BtnView;
using ui::ButtonState;

class BtnViewTest : public ::testing::Test {
  protected:
    BtnViewTest()
        : button(QStringLiteral("download-btn"), QStringLiteral("开始安装"), ui::accentBlue(), 200,
                 60, [this] { ++presses; }) {
        // The pointer starts away from the button.
        QCursor::setPos(1400, 880);
        button.move(100, 100);
        button.show();
        settle();
    }

    int presses = 0;
    BtnView button;
    const QPoint centre{100, 30};
};

TEST_F(BtnViewTest, ClickWithoutMovementActsOnceAndShowsPressUntilRelease) {
    QTest::mouseClick(&button, Qt::RightButton, Qt::NoModifier, centre);
    EXPECT_EQ(presses, 0) << "other mouse buttons do nothing";
    EXPECT_EQ(button.pictureName(), "download-btn-normal");
    QTest::mousePress(&button, Qt::LeftButton, Qt::NoModifier, centre);
    EXPECT_EQ(presses, 1) << "acts on the press, not the release";
    EXPECT_EQ(button.buttonState(), ButtonState::pressed);
    EXPECT_EQ(button.pictureName(), "download-btn-press");

    QTest::mouseRelease(&button, Qt::LeftButton, Qt::NoModifier, centre);
    EXPECT_EQ(presses, 1) << "nothing happens on release";
    EXPECT_EQ(button.pictureName(), "download-btn-normal");
}

TEST_F(BtnViewTest, HoverShowsAfterLeavingAndEnteringAgainNotRightAfterRelease) {
    QTest::mouseMove(&button, centre);  // the pointer enters
    EXPECT_EQ(button.pictureName(), "download-btn-hover");
    QTest::mousePress(&button, Qt::LeftButton, Qt::NoModifier, centre);
    QTest::mouseRelease(&button, Qt::LeftButton, Qt::NoModifier, centre);
    EXPECT_EQ(button.pictureName(), "download-btn-normal");

    // The pointer rests on the button and moves a little: still the normal look.
    QTest::mouseMove(&button, centre + QPoint(4, 2));
    EXPECT_EQ(button.pictureName(), "download-btn-normal");

    QTest::mouseMove(&button, QPoint(-60, -60));  // leaves
    EXPECT_EQ(button.pictureName(), "download-btn-normal");
    QTest::mouseMove(&button, centre);  // and enters again
    EXPECT_EQ(button.pictureName(), "download-btn-hover");
    EXPECT_EQ(presses, 1);
}

TEST_F(BtnViewTest, EveryMovementOfAHeldPressActsAgain) {
    QTest::mousePress(&button, Qt::LeftButton, Qt::NoModifier, centre);
    for (int step = 1; step <= 3; ++step) {
        QTest::mouseMove(&button, centre + QPoint(3 * step, 0));
        EXPECT_EQ(presses, 1 + step);
        EXPECT_EQ(button.pictureName(), "download-btn-press");
    }
    QTest::mouseRelease(&button, Qt::LeftButton, Qt::NoModifier, centre + QPoint(9, 0));
    EXPECT_EQ(presses, 4);
    EXPECT_EQ(button.buttonState(), ButtonState::normal);
}

TEST_F(BtnViewTest, LeavingDuringAPressLooksNormalUntilTheNextMovement) {
    QTest::mousePress(&button, Qt::LeftButton, Qt::NoModifier, centre);
    QTest::mouseMove(&button, QPoint(230, 30));  // across the right edge
    EXPECT_EQ(button.buttonState(), ButtonState::normal);
    EXPECT_EQ(presses, 1) << "leaving is no movement that acts";

    QTest::mouseMove(&button, QPoint(240, 30));
    EXPECT_EQ(button.buttonState(), ButtonState::pressed);
    EXPECT_EQ(presses, 2);

    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(&button, &leave);
    EXPECT_EQ(button.buttonState(), ButtonState::normal);
    QTest::mouseRelease(&button, Qt::LeftButton, Qt::NoModifier, QPoint(240, 30));
    EXPECT_EQ(button.buttonState(), ButtonState::normal);
    EXPECT_EQ(presses, 2);
}

TEST_F(BtnViewTest, KeyboardPressesLikeTheMouse) {
    button.setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(button.hasFocus());
    QTest::keyPress(&button, Qt::Key_Space);
    EXPECT_EQ(presses, 1);
    EXPECT_EQ(button.pictureName(), "download-btn-press");
    QTest::keyRelease(&button, Qt::Key_Space);
    EXPECT_EQ(button.pictureName(), "download-btn-normal");
    QTest::keyClick(&button, Qt::Key_Return);
    EXPECT_EQ(presses, 2);
}

TEST_F(BtnViewTest, AssistiveTechnologiesSeeAndPressAButton) {
    QAccessibleInterface* a11y = QAccessible::queryAccessibleInterface(&button);
    ASSERT_NE(a11y, nullptr);
    EXPECT_EQ(a11y->text(QAccessible::Name), "开始安装");
    EXPECT_EQ(a11y->role(), QAccessible::Button);
    ASSERT_NE(a11y->actionInterface(), nullptr);
    a11y->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_TRUE(waitFor([this] { return presses == 1; }));
}

TEST(BtnViewLook, AnEmptyCaptionDrawsOnlyThePicture) {
    auto render = [](const QString& caption) {
        BtnView button(QStringLiteral("agree-btn"), caption, Qt::white, 186, 36, [] {});
        QImage image(button.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        button.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        return image;
    };
    const QImage empty = render(QString());
    EXPECT_NE(empty, render(QStringLiteral("同意并继续"))) << "a caption draws over the picture";
    // The picture's own pixels, away from the corners, are what the empty button shows.
    QImage picture(186, 36, QImage::Format_ARGB32_Premultiplied);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    ui::Pictures::drawFill(painter, QStringLiteral("agree-btn-normal"), QRectF(0, 0, 186, 36));
    painter.end();
    for (const QPoint p : {QPoint(20, 5), QPoint(150, 30), QPoint(93, 18)}) {
        EXPECT_EQ(empty.pixel(p), picture.pixel(p)) << p.x();
    }
}

}  // namespace
}  // namespace corvane::gui_test
