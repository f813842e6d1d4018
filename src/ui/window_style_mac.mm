// Built only on Apple platforms.
#include "ui/window_style.h"

#import <AppKit/AppKit.h>

#include <QWidget>

namespace corvane::ui {

void applyNativeWindowStyle(QWidget& window) {
    // winId() creates the native view when there is none yet; on macOS it is an NSView*.
    NSView* view = (__bridge NSView*)reinterpret_cast<void*>(window.winId());
    if (view == nil) {
        return;
    }
    NSWindow* nsWindow = [view window];
    if (nsWindow == nil) {
        return;
    }
    // Titled, closable, miniaturisable, content under the title bar; not resizable.
    NSWindowStyleMask mask = NSWindowStyleMaskTitled | NSWindowStyleMaskClosable |
                             NSWindowStyleMaskMiniaturizable |
                             NSWindowStyleMaskFullSizeContentView;
    [nsWindow setStyleMask:mask];
    [nsWindow setTitleVisibility:NSWindowTitleHidden];
    [nsWindow setTitlebarAppearsTransparent:YES];
}

}  // namespace corvane::ui
