#pragma once
// A text with links that wraps to its width. Clicking a link opens it in the default web
// browser; the rest of the text does nothing. Assistive technologies read it as text, and each
// link is also a control of its own for them and the keyboard (LinkTarget).
#include <QList>
#include <QWidget>
#include <optional>

#include "ui/rich_text.h"

namespace corvane::ui {

class LinkTarget;

class LinkLabel : public QWidget {
    Q_OBJECT
  public:
    // `wrapWidth` absent: one line at its natural width; else lines break at that width.
    LinkLabel(const QList<TextRun>& runs, const QFont& font, const QColor& color,
              std::optional<int> wrapWidth, QWidget* parent = nullptr);

    [[nodiscard]] QString plainText() const { return mText.plainText(); }
    // The link under `pos` (widget coordinates), or an empty address.
    [[nodiscard]] QUrl linkAt(const QPoint& pos) const;
    // The area the link to `link` covers (all its lines together); empty when there is none.
    [[nodiscard]] QRect linkRect(const QUrl& link) const;
    // The links as controls, in reading order.
    [[nodiscard]] const QList<LinkTarget*>& links() const { return mLinks; }

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    RichText mText;
    QUrl mPressedLink;
    QList<LinkTarget*> mLinks;
};

}  // namespace corvane::ui
