// macOS: every location is the system's own. No environment variable is read here.
#import <Foundation/Foundation.h>

#include "platform/paths.h"

#ifndef CORVANE_PACKAGE_HOST
#error "CORVANE_PACKAGE_HOST must be set by the build"
#endif

namespace corvane::platform {
namespace {

std::string toStd(NSString* s) {
    return s ? std::string(s.UTF8String) : std::string();
}

std::optional<std::string> userDirectory(NSSearchPathDirectory which) {
    @autoreleasepool {
        NSArray<NSString*>* dirs =
            NSSearchPathForDirectoriesInDomains(which, NSUserDomainMask, YES);
        if (dirs.count == 0) {
            return std::nullopt;
        }
        return toStd(dirs.firstObject);
    }
}

}  // namespace

std::string simRoot() {
    return {};
}

std::string macPath(std::string_view absolutePath) {
    return std::string(absolutePath);
}

std::string homeDirectory() {
    @autoreleasepool {
        return toStd(NSHomeDirectory());
    }
}

std::string temporaryDirectory() {
    @autoreleasepool {
        std::string t = toStd(NSTemporaryDirectory());
        while (t.size() > 1 && t.back() == '/') {
            t.pop_back();
        }
        return t;
    }
}

std::optional<std::string> applicationSupportDirectory() {
    return userDirectory(NSApplicationSupportDirectory);
}

std::optional<std::string> documentsDirectory() {
    return userDirectory(NSDocumentDirectory);
}

std::string bundlePath() {
    @autoreleasepool {
        return toStd(NSBundle.mainBundle.bundlePath);
    }
}

std::string resourcesDirectory() {
    @autoreleasepool {
        return toStd(NSBundle.mainBundle.resourcePath);
    }
}

std::optional<std::string> resourcePath(std::string_view fileName) {
    @autoreleasepool {
        NSString* name = [[NSString alloc] initWithBytes:fileName.data()
                                                  length:fileName.size()
                                                encoding:NSUTF8StringEncoding];
        if (name.length == 0) {
            return std::nullopt;
        }
        NSString* path = [NSBundle.mainBundle pathForResource:name ofType:nil];
        if (!path) {
            return std::nullopt;
        }
        return toStd(path);
    }
}

std::string packageServerBase() {
    return CORVANE_PACKAGE_HOST;
}

}  // namespace corvane::platform
