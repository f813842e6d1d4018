#pragma once
// The options drawer below the main area, 56 points high: a divider and the default-reader
// check box. The services check box beside it is laid out but hidden: it keeps its place, is
// not drawn and cannot be clicked, so its option keeps its value.
#include <QWidget>

#include "setup/content_view.h"

namespace corvane::ui {

class CheckBoxToggle;

class DragMenuView : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kHeight = 56;

    explicit DragMenuView(ContentView& controller, QWidget* parent = nullptr);

    void refresh();

    [[nodiscard]] CheckBoxToggle* setDefaultToggle() const { return mSetDefault; }
    [[nodiscard]] CheckBoxToggle* permitServiceToggle() const { return mPermitService; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    ContentView& mController;
    CheckBoxToggle* mSetDefault;
    CheckBoxToggle* mPermitService;
};

}  // namespace corvane::ui
