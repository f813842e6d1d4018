#pragma once
// The application menu's About: on macOS the system's standard About panel (name, icon and
// versions from Info.plist); elsewhere a message box with the name.
class QWidget;

namespace corvane::ui {

void showAboutPanel(QWidget* parent);

}  // namespace corvane::ui
