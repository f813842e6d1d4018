// Built only on Apple platforms.
#include "ui/about_panel.h"

#import <AppKit/AppKit.h>

namespace corvane::ui {

void showAboutPanel(QWidget*) {
    [NSApp orderFrontStandardAboutPanel:nil];
}

}  // namespace corvane::ui
