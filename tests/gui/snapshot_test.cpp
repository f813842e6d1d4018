// Every screen as <build>/snapshots/*.png at twice the point size, checked where it could go wrong.
#include <gtest/gtest.h>

#include <QDir>
#include <QLabel>
#include <QPainter>
#include <QTimer>

#include "gui_support.h"
#include "ui/alert_window.h"
#include "ui/downloading_view.h"
#include "ui/exit_alert_window.h"
#include "ui/introducing_view.h"
#include "ui/main_content_view.h"
#include "ui/progress_bar_view.h"
#include "ui/running_alert.h"
#include "ui/ui_style.h"

namespace corvane::gui_test {
namespace {

constexpr qreal kScale = 2.0;

// `widget` (with its children) as a picture at kScale pixels per point on a clear ground.
QImage renderWidget(QWidget& widget) {
    QImage image(widget.size() * kScale, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(kScale);
    image.fill(Qt::transparent);
    widget.render(&image, QPoint(), QRegion(),
                  QWidget::DrawChildren | QWidget::DrawWindowBackground);
    return image;
}

// `over` drawn onto `base` where it stands relative to it on screen.
QImage renderOver(QWidget& base, QWidget& over) {
    QImage image = renderWidget(base);
    QPainter painter(&image);
    painter.drawImage(over.frameGeometry().topLeft() - base.geometry().topLeft(),
                      renderWidget(over));
    return image;
}

// Saves `image` as <build>/snapshots/<name>.png; true when written.
bool saveSnapshot(const QImage& image, const QString& name) {
    const QString dir = QStringLiteral(CORVANE_BINARY_DIR) + QStringLiteral("/snapshots");
    return QDir().mkpath(dir) && image.save(dir + QLatin1Char('/') + name + QStringLiteral(".png"));
}

// The colour at point `p` of a picture taken at kScale.
QColor at(const QImage& image, QPoint p) {
    return image.pixelColor(
        QPoint(static_cast<int>(p.x() * kScale), static_cast<int>(p.y() * kScale)));
}

bool near(const QColor& a, const QColor& b, int tolerance = 12) {
    return std::abs(a.red() - b.red()) <= tolerance &&
           std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

QImage snapshotOf(SetupWindow& setup, const QString& name) {
    setup.delegate().mainContentView()->finishAnimations();
    settle();
    const QImage image = renderWidget(setup.window());
    EXPECT_TRUE(saveSnapshot(image, name)) << name.toStdString();
    return image;
}

// The point on the window's picture where `widget`'s own point `p` is.
QPoint onWindow(SetupWindow& setup, QWidget* widget, QPoint p) {
    return widget->mapTo(&setup.window(), p);
}

TEST(Snapshots, Introduction) {
    {
        SetupWindow setup;
        const QImage image = snapshotOf(setup, QStringLiteral("01-introduction-fresh"));
        EXPECT_EQ(image.size(), QSize(680, 492) * kScale);
        // The install button's blue border.
        auto* button = setup.find<QWidget>("installButton");
        EXPECT_TRUE(near(at(image, onWindow(setup, button, QPoint(100, 1))), ui::accentBlue(), 40));
    }
    {
        SetupWindow setup;
        click(setup.find<QAbstractButton>("customInstallToggle"));
        snapshotOf(setup, QStringLiteral("02-introduction-drawer-closed"));
    }
    {
        SetupWindow setup({.applicationExists = true});
        const QImage image = snapshotOf(setup, QStringLiteral("03-introduction-overwrite"));
        EXPECT_EQ(image.size(), QSize(680, 436) * kScale);
    }
}

TEST(Snapshots, AgreementPromptAndRunningAlert) {
    {
        SetupWindow setup;
        click(setup.find<QWidget>("installButton"));
        const QImage image = snapshotOf(setup, QStringLiteral("04-agreement-prompt"));
        auto* prompt = setup.find<ui::AlertWindow>("agreementPrompt");
        EXPECT_TRUE(
            near(at(image, onWindow(setup, prompt, QPoint(220, 70))), ui::promptBackground(), 3));
    }
    {
        SetupWindow setup;
        ui::RunningAlert* alert = setup.showRunningAlert();
        ASSERT_NE(alert, nullptr);
        const QImage image = renderOver(setup.window(), *alert);
        EXPECT_TRUE(saveSnapshot(image, QStringLiteral("05-running-alert")));
        EXPECT_TRUE(saveSnapshot(renderWidget(*alert), QStringLiteral("05-running-alert-alone")));
    }
}

TEST(Snapshots, ProgressAtSeveralPointsAndTheInstallLine) {
    SetupWindow setup;
    // The install stays running, so the line stays however many of the window's own one-second
    // ticks a slow machine adds to the test's.
    setup.fakes.installer->hold();
    setup.startDownload();
    snapshotOf(setup, QStringLiteral("06-downloading-start"));

    setup.fakes.downloads->progress(56, 151, 125);
    settle();
    const QImage third = snapshotOf(setup, QStringLiteral("07-downloading-37"));
    auto* bar = setup.find<ui::ProgressBarView>("progressBar");
    // Filled up to 0.37 × 288 ≈ 107 points, the track after it.
    EXPECT_TRUE(near(at(third, onWindow(setup, bar, QPoint(100, 3))), ui::accentBlue()));
    EXPECT_FALSE(near(at(third, onWindow(setup, bar, QPoint(115, 3))), ui::accentBlue()));

    setup.fakes.downloads->progress(150, 151, 4);
    settle();
    snapshotOf(setup, QStringLiteral("08-downloading-99"));

    setup.fakes.downloads->progress(151, 151, 0);
    settle();
    const QImage install = snapshotOf(setup, QStringLiteral("09-install-line"));
    EXPECT_TRUE(near(at(install, onWindow(setup, bar, QPoint(280, 3))), ui::accentBlue()));
    EXPECT_FALSE(near(at(install, onWindow(setup, bar, QPoint(300, 3))), ui::accentBlue()));

    setup.fakes.downloads->succeed("/tmp/package.dmg");
    ASSERT_TRUE(waitFor([&] { return setup.fakes.installer->installs() == 1; }));
    for (int tick = 0; tick < 12; ++tick) {
        setup.controller().progressTick();
    }
    settle();
    const QImage full = snapshotOf(setup, QStringLiteral("10-install-line-full"));
    EXPECT_TRUE(near(at(full, onWindow(setup, bar, QPoint(357, 3))), ui::accentBlue()));
    EXPECT_FALSE(near(at(full, onWindow(setup, bar, QPoint(362, 3))), ui::accentBlue()))
        << "the fill stops at the end of the track";
}

TEST(Snapshots, FailureScreens) {
    {
        SetupWindow setup;
        setup.startDownload();
        setup.fakes.downloads->progress(62, 151, 40);
        setup.fakes.downloads->fail();
        setup.fakes.downloads->join();
        ASSERT_TRUE(waitFor([&] {
            return setup.controller().installerStatus() == INSTALLER_STATUS::Download_failed;
        }));
        snapshotOf(setup, QStringLiteral("11-download-failed"));
    }
    {
        SetupWindow setup;
        setup.fakes.installer->result = false;
        setup.startDownload();
        setup.fakes.downloads->progress(151, 151, 0);
        setup.fakes.downloads->succeed("/tmp/package.dmg");
        setup.fakes.downloads->join();
        ASSERT_TRUE(waitFor([&] { return !setup.controller().isInstallRunning(); }));
        for (int tick = 0; tick < 10; ++tick) {
            setup.controller().progressTick();
        }
        ASSERT_EQ(setup.controller().installerStatus(), INSTALLER_STATUS::Install_failed);
        snapshotOf(setup, QStringLiteral("12-install-failed"));
    }
}

TEST(Snapshots, ExitPanel) {
    SetupWindow setup;
    setup.startDownload();
    setup.fakes.downloads->progress(40, 151, 95);
    settle();
    bool written = false;
    QTimer::singleShot(0, [&] {
        ui::ExitAlertPanel* panel = setup.delegate().confirmCloseAlert();
        ASSERT_NE(panel, nullptr);
        setup.delegate().mainContentView()->finishAnimations();
        const QImage alone = renderWidget(*panel);
        // Clear outside the rounded corners, the picture inside.
        EXPECT_EQ(alone.pixelColor(0, 0).alpha(), 0);
        EXPECT_EQ(alone.pixelColor(static_cast<int>(150 * kScale), static_cast<int>(20 * kScale)),
                  QColor(Qt::white));
        written = saveSnapshot(alone, QStringLiteral("13-exit-panel-alone")) &&
                  saveSnapshot(renderOver(setup.window(), *panel), QStringLiteral("13-exit-panel"));
        click(panel->cancelButton());
    });
    setup.window().close();
    EXPECT_TRUE(written);
}

}  // namespace
}  // namespace corvane::gui_test
