#pragma once
// A short text made of runs, some of them links, laid out as one piece: the labels that mix
// plain words with "《用户协议》"-style links. Only the link's label is shown, in its colour;
// the target opens in the default web browser.
#include <QColor>
#include <QFont>
#include <QList>
#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <QTextDocument>
#include <QUrl>
#include <memory>
#include <optional>

class QPainter;

namespace corvane::ui {

struct TextRun {
    QString text;
    std::optional<QColor> color;  // the text's own colour; absent: the whole text's colour
    QUrl link;                    // empty: plain text
};

class RichText {
  public:
    RichText();

    // Replaces the content. Runs follow each other without spacing.
    void setRuns(const QList<TextRun>& runs, const QFont& font, const QColor& color);
    // Lines break at `width` (CJK text breaks between characters, links stay whole); absent:
    // one line.
    void setWrapWidth(std::optional<qreal> width);

    [[nodiscard]] QSizeF size() const;
    [[nodiscard]] QString plainText() const;
    // The link under `point` (relative to the text's top left), or an empty address.
    [[nodiscard]] QUrl linkAt(const QPointF& point) const;
    // The area the link to `link` covers (relative to the top left), one rectangle per line;
    // empty when no run links there.
    [[nodiscard]] QList<QRectF> linkRects(const QUrl& link) const;

    void draw(QPainter& painter, const QPointF& topLeft) const;

  private:
    std::unique_ptr<QTextDocument> mDocument;
};

// Opens `url` in the default web browser.
void openLink(const QUrl& url);

}  // namespace corvane::ui
