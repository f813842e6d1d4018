#pragma once
// The window's pictures: SVG resources compiled into the program, found by their base name
// ("download-btn-normal", "background"). Main thread only, except renderFill().
#include <QImage>
#include <QRectF>
#include <QSizeF>
#include <QString>

class QPainter;

namespace corvane::ui {

class Pictures {
  public:
    // Makes the compiled-in resource file visible. Done by the first look-up of a picture; safe
    // to call again.
    static void initResources();

    // Whether a picture of that name is compiled in.
    [[nodiscard]] static bool exists(const QString& name);
    // The picture's own size in points; empty when there is no such picture.
    [[nodiscard]] static QSizeF naturalSize(const QString& name);

    // Scales the picture with its aspect ratio kept until it covers `frame`, centred; what
    // overflows the frame is cut off. Draws nothing for an unknown name.
    static void drawFill(QPainter& painter, const QString& name, const QRectF& frame);
    // What drawFill() draws, on a transparent image of `size` points at `devicePixelRatio`
    // (antialiased, smooth transforms, cut at the image's edges). Reads the picture afresh and
    // shares nothing with the other functions, so any thread may call it once initResources()
    // has run. A null image for an unknown name or an empty size.
    [[nodiscard]] static QImage renderFill(const QString& name, QSize size, qreal devicePixelRatio,
                                           const QRectF& frame);
    // Draws the picture into `target` exactly (for pictures drawn at their own size).
    static void draw(QPainter& painter, const QString& name, const QRectF& target);
};

}  // namespace corvane::ui
