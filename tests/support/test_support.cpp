#include "support/test_support.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace corvane::test {
namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "corvane-test-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    mPath = fs::canonical(tmpl);
}

TempDir::~TempDir() {
    std::error_code ec;
    // Stand-in images are extracted read-only; make them writable so they can be removed.
    for (auto it = fs::recursive_directory_iterator(
             mPath, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        }
    }
    fs::permissions(mPath, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(mPath, ec);
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : mName(std::move(name)) {
    if (const char* old = std::getenv(mName.c_str())) {
        mOld = old;
    }
    if (value) {
        ::setenv(mName.c_str(), value->c_str(), 1);
    } else {
        ::unsetenv(mName.c_str());
    }
}

ScopedEnv::~ScopedEnv() {
    if (mOld) {
        ::setenv(mName.c_str(), mOld->c_str(), 1);
    } else {
        ::unsetenv(mName.c_str());
    }
}

void writeFile(const fs::path& path, std::string_view bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

fs::path sourceDir() {
    return CORVANE_SOURCE_DIR;
}
fs::path binaryDir() {
    return CORVANE_BINARY_DIR;
}

}  // namespace corvane::test
