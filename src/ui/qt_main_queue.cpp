#include "ui/qt_main_queue.h"

#include <QMetaObject>
#include <QThread>
#include <utility>

namespace corvane::ui {

QtMainQueue::QtMainQueue() : mContext(std::make_unique<QObject>()) {}

QtMainQueue::~QtMainQueue() {
    // The last owner may be a worker thread; a QObject must be destroyed on its own thread.
    if (mContext && mContext->thread() != QThread::currentThread()) {
        mContext.release()->deleteLater();
    }
}

void QtMainQueue::post(std::function<void()> task) {
    if (!task) {
        return;
    }
    QMetaObject::invokeMethod(
        mContext.get(), [task = std::move(task)] { task(); }, Qt::QueuedConnection);
}

}  // namespace corvane::ui
