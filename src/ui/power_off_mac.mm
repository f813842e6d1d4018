// Built only on Apple platforms, without ARC: the observer object is retained and released here.
#include "ui/power_off.h"

#import <AppKit/AppKit.h>

#include <utility>

@interface CorvanePowerOffObserver : NSObject {
  @public
    std::function<void()> onPowerOff;
}
- (void)willPowerOff:(NSNotification*)notification;
@end

@implementation CorvanePowerOffObserver
- (void)willPowerOff:(NSNotification*)notification {
    (void)notification;
    if (onPowerOff) {
        onPowerOff();
    }
}
@end

namespace corvane::ui {

struct PowerOffWatch::Observer {
    CorvanePowerOffObserver* object = nil;
};

PowerOffWatch::PowerOffWatch(std::function<void()> onPowerOff)
    : mObserver(std::make_unique<Observer>()) {
    CorvanePowerOffObserver* object = [[CorvanePowerOffObserver alloc] init];
    object->onPowerOff = std::move(onPowerOff);
    mObserver->object = object;
    // The workspace's own centre posts on the main thread.
    [[[NSWorkspace sharedWorkspace] notificationCenter]
        addObserver:object
           selector:@selector(willPowerOff:)
               name:NSWorkspaceWillPowerOffNotification
             object:nil];
}

PowerOffWatch::~PowerOffWatch() {
    [[[NSWorkspace sharedWorkspace] notificationCenter] removeObserver:mObserver->object];
    [mObserver->object release];
}

}  // namespace corvane::ui
