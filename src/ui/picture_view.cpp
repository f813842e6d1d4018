#include "ui/picture_view.h"

#include <QPainter>

#include "ui/pictures.h"

namespace corvane::ui {

PictureView::PictureView(const QString& name, QWidget* parent) : QWidget(parent), mName(name) {
    setFixedSize(Pictures::naturalSize(name).toSize());
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void PictureView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    Pictures::draw(painter, mName, QRectF(rect()));
}

}  // namespace corvane::ui
