#include "ui/accessibility.h"

#include <QAccessibleWidget>
#include <QWidget>

#include "ui/link_target.h"
#include "ui/progress_bar_view.h"

namespace corvane::ui {
namespace {

class LinkAccessible : public QAccessibleWidget {
  public:
    explicit LinkAccessible(QWidget* widget) : QAccessibleWidget(widget, QAccessible::Link) {}

    [[nodiscard]] QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.linked = true;
        return state;
    }
    [[nodiscard]] QStringList actionNames() const override {
        return {pressAction(), setFocusAction()};
    }
    void doAction(const QString& actionName) override {
        if (actionName == pressAction()) {
            static_cast<const LinkTarget*>(widget())->open();
            return;
        }
        QAccessibleWidget::doAction(actionName);
    }
};

// The value is the percentage the screen shows, 0 to 100.
class ProgressAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
  public:
    explicit ProgressAccessible(QWidget* widget)
        : QAccessibleWidget(widget, QAccessible::ProgressBar) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::ValueInterface) {
            return static_cast<QAccessibleValueInterface*>(this);
        }
        return QAccessibleWidget::interface_cast(type);
    }
    [[nodiscard]] QVariant currentValue() const override {
        return static_cast<const ProgressBarView*>(widget())->percent();
    }
    void setCurrentValue(const QVariant&) override {}  // the download sets it, nobody else
    [[nodiscard]] QVariant maximumValue() const override { return 100; }
    [[nodiscard]] QVariant minimumValue() const override { return 0; }
    [[nodiscard]] QVariant minimumStepSize() const override { return 1; }
};

class ModalAccessible : public QAccessibleWidget {
  public:
    ModalAccessible(QWidget* widget, QAccessible::Role role) : QAccessibleWidget(widget, role) {}

    [[nodiscard]] QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.modal = true;
        return state;
    }
};

// Qt owns the interfaces it asks for (its cache deletes them with their objects).
QAccessibleInterface* factory(const QString& className, QObject* object) {
    auto* widget = qobject_cast<QWidget*>(object);
    if (!widget) {
        return nullptr;
    }
    if (className == QLatin1String("corvane::ui::MainWindow")) {
        return new QAccessibleWidget(widget, QAccessible::Window);
    }
    if (className == QLatin1String("corvane::ui::LinkTarget")) {
        return new LinkAccessible(widget);
    }
    if (className == QLatin1String("corvane::ui::ProgressBarView")) {
        return new ProgressAccessible(widget);
    }
    if (className == QLatin1String("corvane::ui::AlertWindow")) {
        return new ModalAccessible(widget, QAccessible::Dialog);
    }
    if (className == QLatin1String("corvane::ui::ExitAlertPanel") ||
        className == QLatin1String("corvane::ui::RunningAlert")) {
        return new ModalAccessible(widget, QAccessible::AlertMessage);
    }
    if (className == QLatin1String("corvane::ui::LinkLabel") ||
        className == QLatin1String("corvane::ui::ExitAlertWindow")) {
        return new QAccessibleWidget(widget, QAccessible::StaticText);
    }
    return nullptr;
}

}  // namespace

void installAccessibility() {
    static bool installed = false;
    if (!installed) {
        installed = true;
        QAccessible::installFactory(factory);
    }
}

}  // namespace corvane::ui
