// AppKit names newer than GNUstep's AppKit (0.29): each declared as Apple's headers declare it,
// used only by scripts/check-mac-sources.sh.
#pragma once
#import <AppKit/AppKit.h>

// NSWindow.h, macOS 10.10: the title text can be hidden and the title bar drawn transparent.
typedef NS_ENUM(NSInteger, NSWindowTitleVisibility) {
    NSWindowTitleVisible = 0,
    NSWindowTitleHidden = 1,
};
// NSWindow.h, macOS 10.6: GNUstep only reads the style mask.
@interface NSWindow (CorvaneCheckNewerAppKit)
- (void)setStyleMask:(NSWindowStyleMask)styleMask;
@property NSWindowTitleVisibility titleVisibility;
@property BOOL titlebarAppearsTransparent;
@end
