// The check box and the drawer switch: their pictures, and what a click flips or opens.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QTest>

#include "gui_support.h"
#include "ui/check_box_toggle.h"
#include "ui/drag_menu_toggle.h"
#include "ui/ui_style.h"

namespace corvane::gui_test {
namespace {

using ui::TextRun;

// A toggle bound to a plain boolean, as the screens bind theirs to the controller.
template <typename Toggle>
struct Bound {
    explicit Bound(const QList<TextRun>& label) : toggle(label) {
        QObject::connect(&toggle, &QAbstractButton::clicked, [this](bool checked) {
            value = checked;
            ++flips;
        });
        toggle.showValue(value);
        toggle.move(50, 50);
        toggle.show();
        settle();
    }
    bool value = false;
    int flips = 0;
    Toggle toggle;
};

QList<TextRun> agreementLabel() {
    return {
        TextRun{QStringLiteral("阅读并同意Corvane"), std::nullopt, QUrl()},
        TextRun{QStringLiteral("《用户协议》"), ui::accentBlue(), ui::userAgreementUrl()},
        TextRun{QStringLiteral("和"), std::nullopt, QUrl()},
        TextRun{QStringLiteral("《隐私说明》"), ui::accentBlue(), ui::privacyNoticeUrl()},
    };
}

TEST(CheckBoxToggle, PictureFirstThenLabelAndAClickOnEitherFlips) {
    Bound<ui::CheckBoxToggle> box(agreementLabel());
    const QRect picture = box.toggle.pictureRect();
    const QRect label = box.toggle.labelRect();
    EXPECT_EQ(picture.x(), 0);
    EXPECT_EQ(label.x(), picture.right() + 1 + 5);
    EXPECT_NEAR(picture.center().y(), label.center().y(), 1) << "vertically centred";
    EXPECT_EQ(box.toggle.pictureName(), "uncheckbox");

    click(&box.toggle, picture.center());
    EXPECT_TRUE(box.value);
    EXPECT_EQ(box.toggle.pictureName(), "checkedbox");
    click(&box.toggle, QPoint(label.x() + 10, label.center().y()));  // "阅读并同意", no link
    EXPECT_FALSE(box.value);
    EXPECT_EQ(box.toggle.pictureName(), "uncheckbox");
    EXPECT_EQ(box.flips, 2);
}

TEST(CheckBoxToggle, ALinkInTheLabelOpensWithoutFlippingAndSpaceFlips) {
    LinkCatcher links;
    Bound<ui::CheckBoxToggle> box(agreementLabel());
    const QRect agreement = box.toggle.linkRect(ui::userAgreementUrl());
    const QRect privacy = box.toggle.linkRect(ui::privacyNoticeUrl());
    ASSERT_FALSE(agreement.isEmpty());
    ASSERT_FALSE(privacy.isEmpty());
    EXPECT_LT(agreement.right(), privacy.left());

    click(&box.toggle, agreement.center());
    click(&box.toggle, privacy.center());
    EXPECT_EQ(links.opened(), (QList<QUrl>{ui::userAgreementUrl(), ui::privacyNoticeUrl()}));
    EXPECT_EQ(box.flips, 0);
    // Space flips it; assistive technologies see a ticked check box.
    box.toggle.setFocus(Qt::TabFocusReason);
    QTest::keyClick(&box.toggle, Qt::Key_Space);
    QAccessibleInterface* a11y = QAccessible::queryAccessibleInterface(&box.toggle);
    ASSERT_NE(a11y, nullptr);
    EXPECT_EQ(a11y->role(), QAccessible::CheckBox);
    EXPECT_TRUE(box.value && a11y->state().checked);
}

TEST(DragMenuToggle, LabelFirstThenUpWhileOpenDownWhileClosed) {
    Bound<ui::DragMenuToggle> drawer({TextRun{QStringLiteral("自定义安装"), std::nullopt, QUrl()}});
    EXPECT_EQ(drawer.toggle.labelRect().x(), 0);
    EXPECT_EQ(drawer.toggle.pictureRect().x(), drawer.toggle.labelRect().right() + 1 + 5);
    EXPECT_EQ(drawer.toggle.pictureName(), "dragDown");

    click(&drawer.toggle, drawer.toggle.labelRect().center());
    EXPECT_TRUE(drawer.value);
    EXPECT_EQ(drawer.toggle.pictureName(), "dragUp");
    click(&drawer.toggle, drawer.toggle.pictureRect().center());
    EXPECT_FALSE(drawer.value);
    EXPECT_EQ(drawer.toggle.pictureName(), "dragDown");
    // A value set elsewhere shows without being reported.
    drawer.toggle.showValue(true);
    EXPECT_EQ(drawer.toggle.pictureName(), "dragUp");
    EXPECT_EQ(drawer.flips, 2);
}

}  // namespace
}  // namespace corvane::gui_test
