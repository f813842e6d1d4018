#include "ui/main_content_view.h"

#include <QGraphicsDropShadowEffect>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <future>

#include "ui/alert_window.h"
#include "ui/btn_view.h"
#include "ui/download_failed_view.h"
#include "ui/downloading_view.h"
#include "ui/drag_menu_view.h"
#include "ui/install_failed_view.h"
#include "ui/introducing_view.h"
#include "ui/pictures.h"
#include "ui/progress_bar_view.h"
#include "ui/text_button.h"
#include "ui/ui_style.h"

namespace corvane::ui {
namespace {

constexpr int kBackgroundHeight = 532;
constexpr int kStepFrameWidth = 360;
constexpr int kStepFrameHeight = 30;
constexpr int kTickMs = 1000;

// The main area: the background picture, scaled to cover the window's width and 532 points,
// centred on the area and cut at its edges.
//
// Drawing the picture (gradients, text) is the slowest part of the window's first frame, so a
// worker draws it into an image while the rest of the window is built, and painting copies the
// image. A painter the image does not fit (another pixel ratio, as when the screen changes or a
// picture is taken at another scale) draws the picture itself, with the same result.
class MainArea : public QWidget {
  public:
    explicit MainArea(QWidget* parent) : QWidget(parent) {
        setObjectName(QStringLiteral("mainArea"));
        setFixedSize(WINDOW_WIDTH, MainContentView::kMainAreaHeight);
        Pictures::initResources();
        const QScreen* screen = QGuiApplication::primaryScreen();
        const qreal ratio = screen ? screen->devicePixelRatio() : 1.0;
        mPrepared = std::async(std::launch::async, [size = size(), ratio] {
            return Pictures::renderFill(kName, size, ratio, coverOf(size));
        });
    }
    // Waits for a worker that is still drawing: it uses nothing of this widget.
    ~MainArea() override = default;

  protected:
    void paintEvent(QPaintEvent*) override {
        if (mPrepared.valid()) {
            mBackground = mPrepared.get();
        }
        QPainter painter(this);
        if (!mBackground.isNull() &&
            mBackground.devicePixelRatio() == painter.device()->devicePixelRatioF() &&
            mBackground.deviceIndependentSize() == QSizeF(size())) {
            painter.drawImage(QPointF(0, 0), mBackground);
            return;
        }
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.setClipRect(rect());
        Pictures::drawFill(painter, kName, coverOf(size()));
    }

  private:
    static inline const QString kName = QStringLiteral("background");

    static QRectF coverOf(QSize area) {
        return {0, (area.height() - kBackgroundHeight) / 2.0, static_cast<qreal>(area.width()),
                static_cast<qreal>(kBackgroundHeight)};
    }

    std::future<QImage> mPrepared;
    QImage mBackground;
};

}  // namespace

MainContentView::MainContentView(ContentView& controller, QWidget* parent)
    : QWidget(parent), mController(controller) {
    setObjectName(QStringLiteral("mainContentView"));
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::white);
    setPalette(palette);

    mMainArea = new MainArea(this);
    mMainArea->move(0, 0);

    mIntro = new IntroducingView(controller, mMainArea);
    mDownloading = new DownloadingView(controller, mMainArea);
    for (QWidget* step : {static_cast<QWidget*>(mIntro), static_cast<QWidget*>(mDownloading)}) {
        step->hide();
    }
    // The failure screens are built when first shown (stepViewFor()): most runs never show
    // them, and building them held back the window's first frame.

    mPrompt = new AlertWindow(controller, mMainArea);
    auto* shadow = new QGraphicsDropShadowEffect(mPrompt);
    shadow->setBlurRadius(28);
    shadow->setOffset(0, 6);
    shadow->setColor(QColor(24, 44, 88, 46));
    mPrompt->setGraphicsEffect(shadow);
    mPrompt->move((WINDOW_WIDTH - AlertWindow::kWidth) / 2,
                  (kMainAreaHeight - AlertWindow::kHeight) / 2);
    mPrompt->hide();

    mDrawer = new DragMenuView(controller, this);
    mDrawer->setGeometry(0, kMainAreaHeight, WINDOW_WIDTH, DragMenuView::kHeight);
    mDrawer->hide();

    mTick.setInterval(kTickMs);
    mTick.setTimerType(Qt::PreciseTimer);
    connect(&mTick, &QTimer::timeout, this, [this] { mController.progressTick(); });

    setFixedWidth(WINDOW_WIDTH);
    mSubscription = mController.subscribe([this] { refresh(); });
    refresh();
}

MainContentView::~MainContentView() {
    mController.unsubscribe(mSubscription);
}

QSize MainContentView::idealSize() const {
    return {WINDOW_WIDTH, mController.isExpanded() ? WINDOW_HEIGHT : kMainAreaHeight};
}

QSize MainContentView::sizeHint() const {
    return idealSize();
}

QWidget* MainContentView::stepViewFor(INSTALLER_STATUS status) {
    switch (status) {
        case INSTALLER_STATUS::Prepare_to_download:
            return mIntro;
        case INSTALLER_STATUS::Download_failed:
            if (!mDownloadFailed) {
                mDownloadFailed = new DownloadFailedView(mController, mMainArea);
                mDownloadFailed->hide();
            }
            return mDownloadFailed;
        case INSTALLER_STATUS::Install_failed:
            if (!mInstallFailed) {
                mInstallFailed = new InstallFailedView(mController, mMainArea);
                mInstallFailed->hide();
            }
            return mInstallFailed;
        case INSTALLER_STATUS::Downloading:
        case INSTALLER_STATUS::Installing:
        case INSTALLER_STATUS::Install_success:
            break;
    }
    return mDownloading;
}

void MainContentView::refresh() {
    QWidget* step = stepViewFor(mController.installerStatus());
    if (step == mIntro) {
        mIntro->refresh();
    } else if (step == mDownloading) {
        mDownloading->refresh();
    } else if (step == mDownloadFailed) {
        mDownloadFailed->refresh();
    }
    if (step != mCurrentStep) {
        if (mCurrentStep) {
            mCurrentStep->hide();
        }
        mCurrentStep = step;
        layoutStep();
        mCurrentStep->show();
        // A keyboard user goes on from the new screen's control, not from wherever the hidden
        // one left the focus.
        QWidget* first = nullptr;
        if (step == mIntro) {
            first = mIntro->installButton();
        } else if (step == mDownloadFailed) {
            first = mDownloadFailed->retryButton();
        } else if (step == mInstallFailed) {
            first = mInstallFailed->reinstallButton();
        }
        if (first) {
            first->setFocus(Qt::OtherFocusReason);
        }
    }

    mPrompt->setVisible(mController.isShowAlert());
    if (mPrompt->isVisible()) {
        mPrompt->raise();
    }

    mDrawer->refresh();
    const bool drawer = mController.isExpanded();
    if (mDrawerShown != drawer) {
        // Its appearance (also the first one) and its disappearance size the window to fit; a
        // drawer that was never there does not disappear.
        const bool appearsOrDisappears = mDrawerShown.has_value() || drawer;
        mDrawerShown = drawer;
        mDrawer->setVisible(drawer);
        updateGeometry();
        if (appearsOrDisappears) {
            mController.drawerResize();
        }
    }

    if (mController.isProgressTickActive()) {
        if (!mTick.isActive()) {
            mTick.start();
        }
    } else {
        mTick.stop();
    }
}

void MainContentView::layoutStep() {
    if (!mCurrentStep) {
        return;
    }
    QSize content;
    if (mCurrentStep == mIntro) {
        content = QSize(WINDOW_WIDTH, mIntro->sizeHint().height());
    } else {
        content =
            QSize(kStepFrameWidth + 2 * kDefaultMargin, kStepFrameHeight + 2 * kDefaultMargin);
    }
    // The picture region and the step stand in one column, centred in the main area; when the
    // column is taller than the area it is cut at the top (the picture's edge) rather than at
    // the controls.
    const int column = kPictureRegionHeight + content.height();
    int top = (kMainAreaHeight - column) / 2;
    if (column > kMainAreaHeight) {
        top = kMainAreaHeight - column;
    }
    QRect frame(QPoint((WINDOW_WIDTH - content.width()) / 2, top + kPictureRegionHeight), content);
    if (mCurrentStep != mIntro) {
        frame = frame.marginsRemoved(
            QMargins(kDefaultMargin, kDefaultMargin, kDefaultMargin, kDefaultMargin));
    }
    mCurrentStep->setGeometry(frame);
}

void MainContentView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutStep();
}

void MainContentView::finishAnimations() {
    mDownloading->bar()->finishAnimation();
    if (mDownloadFailed) {
        mDownloadFailed->bar()->finishAnimation();
    }
}

}  // namespace corvane::ui
