#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/paths.h"

#ifndef CORVANE_PACKAGE_HOST
#define CORVANE_PACKAGE_HOST "https://packages.corvane.example"
#endif

namespace corvane::platform {
namespace fs = std::filesystem;
namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string stripTrailingSlashes(std::string p) {
    while (p.size() > 1 && p.back() == '/') {
        p.pop_back();
    }
    return p;
}

}  // namespace

std::string simRoot() {
    return stripTrailingSlashes(env("CORVANE_SIM_ROOT"));
}

std::string macPath(std::string_view absolutePath) {
    std::string root = simRoot();
    if (root == "/") {
        root.clear();
    }
    return root + std::string(absolutePath);
}

std::string homeDirectory() {
    return stripTrailingSlashes(env("HOME"));
}

std::string temporaryDirectory() {
    std::string t = stripTrailingSlashes(env("TMPDIR"));
    return t.empty() ? std::string("/tmp") : t;
}

std::optional<std::string> applicationSupportDirectory() {
    const std::string home = homeDirectory();
    if (home.empty()) {
        return std::nullopt;
    }
    return home + "/Library/Application Support";
}

std::optional<std::string> documentsDirectory() {
    const std::string home = homeDirectory();
    if (home.empty()) {
        return std::nullopt;
    }
    return home + "/Documents";
}

std::string bundlePath() {
    if (std::string b = env("CORVANE_BUNDLE"); !b.empty()) {
        return stripTrailingSlashes(b);
    }
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return {};
    }
    const fs::path macosDir = exe.parent_path();
    const fs::path contents = macosDir.parent_path();
    const fs::path bundle = contents.parent_path();
    if (macosDir.filename() == "MacOS" && contents.filename() == "Contents" &&
        bundle.extension() == ".app") {
        return bundle.string();
    }
    return macosDir.string();
}

std::string resourcesDirectory() {
    return bundlePath() + "/Contents/Resources";
}

std::optional<std::string> resourcePath(std::string_view fileName) {
    if (fileName.empty() || fileName.find('/') != std::string_view::npos) {
        return std::nullopt;
    }
    std::string p = resourcesDirectory() + "/" + std::string(fileName);
    std::error_code ec;
    if (!fs::is_regular_file(p, ec)) {
        return std::nullopt;
    }
    return p;
}

std::string packageServerBase() {
    if (std::string b = env("CORVANE_PACKAGE_BASE"); !b.empty()) {
        return stripTrailingSlashes(b);
    }
    return CORVANE_PACKAGE_HOST;
}

std::optional<std::string> extraCaBundle() {
    std::string b = env("CORVANE_CA_BUNDLE");
    if (b.empty()) {
        return std::nullopt;
    }
    return b;
}

}  // namespace corvane::platform
