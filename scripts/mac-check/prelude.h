// Read first by scripts/check-mac-sources.sh for every .mm file; never part of a build.
//
// The third-party headers come in here, with this machine's configuration: GNUstep's Foundation
// and AppKit, Qt, libcurl. Only then is __APPLE__ defined, so that our own headers take their
// macOS branches (declarations that exist only there) while Qt and GNUstep, already read, stay
// as they are on Linux; their include guards keep the .mm files' own #import lines from reading
// them again.
#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>
#include <curl/curl.h>

#include <QWidget>

#define __APPLE__ 1

#include "apple_c_apis.h"
#include "appkit_names.h"
