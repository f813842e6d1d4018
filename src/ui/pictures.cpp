#include "ui/pictures.h"

#include <QFile>
#include <QHash>
#include <QPainter>
#include <QSvgRenderer>
#include <memory>

// Q_INIT_RESOURCE must be used outside any namespace.
static void corvaneInitUiResources() {
    Q_INIT_RESOURCE(ui);
}

namespace corvane::ui {
namespace {

QString resourcePathOf(const QString& name) {
    return QStringLiteral(":/pictures/") + name + QStringLiteral(".svg");
}

// Parsed once per name: the screens redraw often and the pictures never change.
QSvgRenderer* renderer(const QString& name) {
    Pictures::initResources();
    static QHash<QString, std::shared_ptr<QSvgRenderer>> cache;
    if (auto it = cache.constFind(name); it != cache.constEnd()) {
        return it->get();
    }
    std::shared_ptr<QSvgRenderer> loaded;
    const QString path = resourcePathOf(name);
    if (QFile::exists(path)) {
        loaded = std::make_shared<QSvgRenderer>(path);
        if (!loaded->isValid()) {
            loaded.reset();
        }
    }
    cache.insert(name, loaded);
    return loaded.get();
}

}  // namespace

void Pictures::initResources() {
    static const bool done = [] {
        corvaneInitUiResources();
        return true;
    }();
    (void)done;
}

bool Pictures::exists(const QString& name) {
    return renderer(name) != nullptr;
}

QSizeF Pictures::naturalSize(const QString& name) {
    QSvgRenderer* r = renderer(name);
    return r ? r->viewBoxF().size() : QSizeF();
}

namespace {

// Covers `frame` with the picture, aspect ratio kept, centred, cut at the frame.
void fill(QPainter& painter, QSvgRenderer& r, const QRectF& frame) {
    const QSizeF natural = r.viewBoxF().size();
    if (natural.isEmpty() || frame.isEmpty()) {
        return;
    }
    const qreal scale =
        std::max(frame.width() / natural.width(), frame.height() / natural.height());
    const QSizeF scaled = natural * scale;
    const QRectF target(frame.center().x() - scaled.width() / 2.0,
                        frame.center().y() - scaled.height() / 2.0, scaled.width(),
                        scaled.height());
    painter.save();
    painter.setClipRect(frame, Qt::IntersectClip);
    r.render(&painter, target);
    painter.restore();
}

}  // namespace

void Pictures::drawFill(QPainter& painter, const QString& name, const QRectF& frame) {
    if (QSvgRenderer* r = renderer(name)) {
        fill(painter, *r, frame);
    }
}

QImage Pictures::renderFill(const QString& name, QSize size, qreal devicePixelRatio,
                            const QRectF& frame) {
    const QString path = resourcePathOf(name);
    if (size.isEmpty() || devicePixelRatio <= 0 || !QFile::exists(path)) {
        return {};
    }
    QSvgRenderer r(path);
    if (!r.isValid()) {
        return {};
    }
    QImage image((QSizeF(size) * devicePixelRatio).toSize(), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(devicePixelRatio);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.setClipRect(QRect(QPoint(0, 0), size));
    fill(painter, r, frame);
    return image;
}

void Pictures::draw(QPainter& painter, const QString& name, const QRectF& target) {
    if (QSvgRenderer* r = renderer(name)) {
        r->render(&painter, target);
    }
}

}  // namespace corvane::ui
