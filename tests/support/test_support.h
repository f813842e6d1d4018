#pragma once
// Small helpers shared by the tests: real temporary folders, environment overrides, files.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::test {

// A fresh folder under the system's temporary folder, removed with everything in it on
// destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    [[nodiscard]] const std::filesystem::path& path() const { return mPath; }
    [[nodiscard]] std::string str() const { return mPath.string(); }
    [[nodiscard]] std::filesystem::path operator/(std::string_view name) const {
        return mPath / name;
    }

  private:
    std::filesystem::path mPath;
};

// Sets (or with nullopt unsets) an environment variable and restores it on destruction. Use it
// before the code under test starts threads.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string mName;
    std::optional<std::string> mOld;
};

void writeFile(const std::filesystem::path& path, std::string_view bytes);
[[nodiscard]] std::string readFile(const std::filesystem::path& path);

// The repository's folders, as configured by CMake.
[[nodiscard]] std::filesystem::path sourceDir();
[[nodiscard]] std::filesystem::path binaryDir();

}  // namespace corvane::test
