#include "ui/progress_bar_view.h"

#include <QAccessible>
#include <QEasingCurve>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "ui/accessibility.h"
#include "ui/pictures.h"
#include "ui/ui_style.h"

namespace corvane::ui {
namespace {

constexpr double kDownloadShare = 0.8;
constexpr qreal kFillRadius = 5.0;
constexpr int kAnimationMs = 500;

// The platform's ease-in-out timing curve (control points 0.42, 0 and 0.58, 1).
QEasingCurve easeInOut() {
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(0.42, 0.0), QPointF(0.58, 1.0), QPointF(1.0, 1.0));
    return curve;
}

}  // namespace

ProgressBarView::ProgressBarView(Kind kind, QWidget* parent) : QWidget(parent), mKind(kind) {
    installAccessibility();
    setFixedSize(kTrackWidth, kTrackHeight);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    mAnimation.setDuration(kAnimationMs);
    mAnimation.setEasingCurve(easeInOut());
    connect(&mAnimation, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        mCurrent = value.toDouble();
        update();
    });
}

double ProgressBarView::widthFor(double progress) const {
    if (!std::isfinite(progress)) {
        return 0.0;
    }
    const double share = mKind == Kind::Setup ? kDownloadShare : 1.0;
    // The install phase runs the value a little past the end of the track (up to 1.27); the
    // fill stops at the track's end instead of sticking out of it.
    return std::clamp(progress * share * kTrackWidth, 0.0, static_cast<double>(kTrackWidth));
}

void ProgressBarView::setProgress(double progress) {
    const int percent =
        std::isfinite(progress) ? static_cast<int>(std::clamp(progress, 0.0, 1.0) * 100.0) : 0;
    if (percent != mPercent) {
        mPercent = percent;
        QAccessibleValueChangeEvent event(this, percent);
        QAccessible::updateAccessibility(&event);
    }
    const double target = widthFor(progress);
    if (target == mTarget && !mFirstValue) {
        return;
    }
    mTarget = target;
    const bool animate = mKind == Kind::Setup && !mFirstValue && isVisible();
    mFirstValue = false;
    mAnimation.stop();
    if (!animate) {
        mCurrent = target;
        update();
        return;
    }
    mAnimation.setStartValue(mCurrent);
    mAnimation.setEndValue(target);
    mAnimation.start();
}

void ProgressBarView::finishAnimation() {
    mAnimation.stop();
    mCurrent = mTarget;
    update();
}

QColor ProgressBarView::fillColor() const {
    return mKind == Kind::Setup ? accentBlue() : systemBlue();
}

void ProgressBarView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track(0, 0, kTrackWidth, kTrackHeight);
    Pictures::draw(painter, QStringLiteral("ProgressBar"), track);
    if (mCurrent <= 0.0) {
        return;
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(fillColor());
    const QRectF fill(0, 0, mCurrent, kTrackHeight);
    const qreal radius = std::min({kFillRadius, fill.width() / 2.0, fill.height() / 2.0});
    painter.drawRoundedRect(fill, radius, radius);
}

}  // namespace corvane::ui
