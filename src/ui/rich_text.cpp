#include "ui/rich_text.h"

#include <QAbstractTextDocumentLayout>
#include <QDesktopServices>
#include <QPainter>
#include <QTextBlock>
#include <QTextFragment>
#include <QTextLayout>
#include <QTextOption>
#include <algorithm>

namespace corvane::ui {

RichText::RichText() : mDocument(std::make_unique<QTextDocument>()) {
    mDocument->setDocumentMargin(0);
    mDocument->setUndoRedoEnabled(false);
    setWrapWidth(std::nullopt);
}

void RichText::setRuns(const QList<TextRun>& runs, const QFont& font, const QColor& color) {
    QString html = QStringLiteral("<span style=\"color:%1\">").arg(color.name(QColor::HexArgb));
    for (const TextRun& run : runs) {
        const QString text = run.text.toHtmlEscaped();
        const QString style =
            run.color ? QStringLiteral("color:%1;").arg(run.color->name(QColor::HexArgb))
                      : QString();
        if (run.link.isEmpty()) {
            html += QStringLiteral("<span style=\"%1\">%2</span>").arg(style, text);
        } else {
            html += QStringLiteral(
                        "<a href=\"%1\" style=\"%2text-decoration:none;white-space:nowrap\">%3</a>")
                        .arg(QString::fromUtf8(run.link.toEncoded()).toHtmlEscaped(), style, text);
        }
    }
    html += QStringLiteral("</span>");
    mDocument->setDefaultFont(font);
    mDocument->setHtml(html);
}

void RichText::setWrapWidth(std::optional<qreal> width) {
    QTextOption option = mDocument->defaultTextOption();
    option.setWrapMode(width ? QTextOption::WrapAtWordBoundaryOrAnywhere : QTextOption::NoWrap);
    mDocument->setDefaultTextOption(option);
    mDocument->setTextWidth(width ? *width : -1.0);
}

QSizeF RichText::size() const {
    if (mDocument->textWidth() < 0) {
        return {mDocument->idealWidth(), mDocument->size().height()};
    }
    return mDocument->size();
}

QString RichText::plainText() const {
    return mDocument->toPlainText();
}

QUrl RichText::linkAt(const QPointF& point) const {
    const QString anchor = mDocument->documentLayout()->anchorAt(point);
    return anchor.isEmpty() ? QUrl() : QUrl(anchor);
}

QList<QRectF> RichText::linkRects(const QUrl& link) const {
    QList<QRectF> rects;
    const QString href = QString::fromUtf8(link.toEncoded());
    for (QTextBlock block = mDocument->begin(); block.isValid(); block = block.next()) {
        const QTextLayout* layout = block.layout();
        if (!layout) {
            continue;
        }
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (!fragment.isValid() || !fragment.charFormat().isAnchor() ||
                fragment.charFormat().anchorHref() != href) {
                continue;
            }
            const int start = fragment.position() - block.position();
            const int end = start + fragment.length();
            for (int i = 0; i < layout->lineCount(); ++i) {
                const QTextLine line = layout->lineAt(i);
                const int from = std::max(start, line.textStart());
                const int to = std::min(end, line.textStart() + line.textLength());
                if (from >= to) {
                    continue;
                }
                const qreal x1 = line.cursorToX(from);
                const qreal x2 = line.cursorToX(to);
                rects
                    << QRectF(x1, line.y(), x2 - x1, line.height()).translated(layout->position());
            }
        }
    }
    return rects;
}

void RichText::draw(QPainter& painter, const QPointF& topLeft) const {
    painter.save();
    painter.translate(topLeft);
    QAbstractTextDocumentLayout::PaintContext context;
    mDocument->documentLayout()->draw(&painter, context);
    painter.restore();
}

void openLink(const QUrl& url) {
    if (url.isValid() && !url.isEmpty()) {
        QDesktopServices::openUrl(url);
    }
}

}  // namespace corvane::ui
