#pragma once
// A switch bound to a boolean, drawn as a row of a picture and a label with 5 points between
// them, vertically centred. A click anywhere on the row flips the value, except on a link in
// the label, which opens the link instead. Each link is also a control of its own for the
// keyboard and assistive technologies (LinkTarget), right after the switch in Tab order. The two
// looks of the window are CheckBoxToggle and DragMenuToggle.
#include <QCheckBox>
#include <QList>
#include <QString>
#include <QUrl>

#include "ui/rich_text.h"

namespace corvane::ui {

class LinkTarget;

struct ToggleLook {
    QString onPicture;   // shown while the value is true
    QString offPicture;  // shown while it is false
    bool pictureFirst;   // picture left of the label, else right of it
};

class PictureToggle : public QCheckBox {
    Q_OBJECT
  public:
    PictureToggle(ToggleLook look, const QList<TextRun>& label, QWidget* parent = nullptr);

    // The picture shown now.
    [[nodiscard]] QString pictureName() const;
    // Where the picture and the label sit, in the toggle's own coordinates.
    [[nodiscard]] QRect pictureRect() const;
    [[nodiscard]] QRect labelRect() const;
    [[nodiscard]] QString labelText() const { return mLabel.plainText(); }
    // Where the link to `link` is drawn in the label, in the toggle's coordinates; empty when
    // the label has no such link.
    [[nodiscard]] QRect linkRect(const QUrl& link) const;
    // The links of the label as controls, in reading order.
    [[nodiscard]] const QList<LinkTarget*>& links() const { return mLinks; }

    // Shows `value` without telling anyone (the bound value changed elsewhere).
    void showValue(bool value);

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    [[nodiscard]] bool hitButton(const QPoint& pos) const override;

  private:
    [[nodiscard]] QUrl linkAt(const QPoint& pos) const;

    ToggleLook mLook;
    RichText mLabel;
    QUrl mPressedLink;
    QList<LinkTarget*> mLinks;
};

}  // namespace corvane::ui
