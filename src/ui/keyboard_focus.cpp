#include "ui/keyboard_focus.h"

#include <QApplication>
#include <QEvent>
#include <QFocusEvent>
#include <QWidget>

namespace corvane::ui {
namespace {

bool gKeyboardInUse = false;

class KeyboardUseWatcher : public QObject {
  public:
    using QObject::QObject;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::KeyPress:
                setInUse(true);
                break;
            case QEvent::FocusIn: {
                const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
                if (reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
                    reason == Qt::ShortcutFocusReason) {
                    setInUse(true);
                }
                break;
            }
            case QEvent::MouseButtonPress:
                setInUse(false);
                break;
            default:
                break;
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    static void setInUse(bool inUse) {
        if (gKeyboardInUse == inUse) {
            return;
        }
        gKeyboardInUse = inUse;
        // The ring appears or goes at once, not at the widget's next repaint.
        if (QWidget* focus = QApplication::focusWidget()) {
            focus->update();
        }
    }
};

}  // namespace

void watchKeyboardUse() {
    static bool watching = false;
    if (watching || !qApp) {
        return;
    }
    watching = true;
    qApp->installEventFilter(new KeyboardUseWatcher(qApp));
}

bool showsFocusRing(const QWidget& widget) {
    return gKeyboardInUse && widget.hasFocus();
}

}  // namespace corvane::ui
