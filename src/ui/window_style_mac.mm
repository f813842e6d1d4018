// Built only on Apple platforms.
#include "ui/window_style.h"

#import <AppKit/AppKit.h>

#include <QWidget>

namespace corvane::ui {

void applyNativeWindowStyle(QWidget& window) {
    // winId() creates the native view when there is none yet; on macOS it is an NSView*. The
    // file is built without ARC: nothing here is retained or released, only borrowed.
    NSView* view = reinterpret_cast<NSView*>(window.winId());
    if (view == nil) {
        return;
    }
    NSWindow* nsWindow = [view window];
    if (nsWindow == nil) {
        return;
    }
    // Titled, closable, miniaturisable, content under the title bar; not resizable.
    NSWindowStyleMask mask = NSWindowStyleMaskTitled | NSWindowStyleMaskClosable |
                             NSWindowStyleMaskMiniaturizable | NSWindowStyleMaskFullSizeContentView;
    // Called again after every resize (Qt may rebuild the mask then); changing nothing when all
    // is in place keeps a resize from causing another.
    if ([nsWindow styleMask] != mask) {
        [nsWindow setStyleMask:mask];
    }
    if ([nsWindow titleVisibility] != NSWindowTitleHidden) {
        [nsWindow setTitleVisibility:NSWindowTitleHidden];
    }
    if (![nsWindow titlebarAppearsTransparent]) {
        [nsWindow setTitlebarAppearsTransparent:YES];
    }
}

}  // namespace corvane::ui
