#pragma once
// The bar of the progress screens: the "ProgressBar" picture as a 360 × 6 track and a rounded
// fill over it, left-aligned.
#include <QColor>
#include <QVariantAnimation>
#include <QWidget>

namespace corvane::ui {

class ProgressBarView : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kTrackWidth = 360;
    static constexpr int kTrackHeight = 6;

    enum class Kind {
        // The setup's own bar: the download fills 0.8 of the track, the install the rest; the
        // fill follows changes with a 0.5-second ease-in-out.
        Setup,
        // The platform's linear bar: the value out of 1.0 over the whole track, drawn at once.
        Platform,
    };

    explicit ProgressBarView(Kind kind, QWidget* parent = nullptr);

    // Shows `progress`; the fill never leaves the track. Assistive technologies are told when
    // the percentage changes.
    void setProgress(double progress);
    // The percentage the bar stands for, 0 to 100 (the fraction dropped, as the screen's
    // percentage): the value assistive technologies read.
    [[nodiscard]] int percent() const { return mPercent; }
    // The fill's width once any animation has ended.
    [[nodiscard]] double targetWidth() const { return mTarget; }
    // The fill's width drawn now.
    [[nodiscard]] double currentWidth() const { return mCurrent; }
    // Ends a running animation at its target.
    void finishAnimation();
    [[nodiscard]] QColor fillColor() const;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    [[nodiscard]] double widthFor(double progress) const;

    Kind mKind;
    double mTarget = 0.0;
    double mCurrent = 0.0;
    int mPercent = 0;
    bool mFirstValue = true;
    QVariantAnimation mAnimation;
};

}  // namespace corvane::ui
