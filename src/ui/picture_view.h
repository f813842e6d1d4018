#pragma once
// A still picture at a fixed size ("error", "warning").
#include <QString>
#include <QWidget>

namespace corvane::ui {

class PictureView : public QWidget {
    Q_OBJECT
  public:
    // Shown at the picture's own size.
    explicit PictureView(const QString& name, QWidget* parent = nullptr);
    [[nodiscard]] const QString& pictureName() const { return mName; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QString mName;
};

}  // namespace corvane::ui
