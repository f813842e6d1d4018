#pragma once
// Delivery test helpers: a bundle, home and main loop of their own, and the reference collector.
#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/main_queue.h"
#include "support/test_support.h"
#include "support/tied_process.h"
#include "tally/tally_value.h"

namespace tally::test {

// The names of the entries of `dir`, sorted; none when it does not exist.
[[nodiscard]] std::vector<std::string> namesIn(const std::filesystem::path& dir);

// A public and an install table shaped like the shipped ones, and one to route elsewhere.
inline constexpr const char* kTestVfmt =
    "pallo_public:1 uuid:string tid1:int64 type:byte tryno:short svrid:string flag:bit\n"
    "pallo_tools_install:201 result:byte reason:int installtype:byte silent:byte "
    "parentproce:string\n"
    "pallo_routed:7 reason:int\n";

// Bundle resources (with kTestVfmt), HOME with Documents, and the main queue; undone on
// destruction. Create it before anything that starts threads.
class DeliveryWorld {
  public:
    DeliveryWorld();
    ~DeliveryWorld();
    DeliveryWorld(const DeliveryWorld&) = delete;
    DeliveryWorld& operator=(const DeliveryWorld&) = delete;

    [[nodiscard]] const corvane::test::TempDir& dir() const { return mDir; }
    [[nodiscard]] corvane::platform::RunLoop& loop() { return *mLoop; }
    [[nodiscard]] std::filesystem::path resources() const {
        return mDir / "Test.app/Contents/Resources";
    }
    [[nodiscard]] std::filesystem::path home() const { return mDir / "home"; }
    [[nodiscard]] std::filesystem::path cacheDir() const { return home() / "Documents/tally"; }
    [[nodiscard]] std::filesystem::path vfmtPath() const { return resources() / "vfmt.dat"; }
    void writeResource(const std::string& name, const std::string& text) const {
        corvane::test::writeFile(resources() / name, text);
    }

  private:
    corvane::test::TempDir mDir;
    std::optional<corvane::test::ScopedEnv> mBundle;
    std::optional<corvane::test::ScopedEnv> mHome;
    std::shared_ptr<corvane::platform::RunLoop> mLoop;
};

// A control file: product id, and "server<N>=<url>" lines in section "common", then extra text.
[[nodiscard]] std::string controlText(long long product,
                                      const std::vector<std::pair<int, std::string>>& servers,
                                      const std::string& extra = {});

// tally-collector as a real process; stopped by stop() or the destructor, killed with the test.
class CollectorProcess {
  public:
    CollectorProcess(const std::filesystem::path& vfmt, const std::filesystem::path& db,
                     const std::vector<std::string>& args = {});

    [[nodiscard]] bool running() const { return mPort > 0; }
    [[nodiscard]] pid_t pid() const { return mProcess ? mProcess->pid() : -1; }
    [[nodiscard]] std::string url(const std::string& path = "/report") const {
        return "http://127.0.0.1:" + std::to_string(mPort) + path;
    }
    // Stops it; its exit status (0 for a clean stop), or -1 when it had to be killed.
    int stop() {
        mPort = -1;
        return mProcess ? mProcess->stop() : -1;
    }
    // Every batch it stored, oldest first (`tally-collector dump`).
    [[nodiscard]] std::vector<nlohmann::json> dump() const;
    [[nodiscard]] std::string log() const;

  private:
    std::filesystem::path mDb;
    std::filesystem::path mLog;
    std::optional<corvane::test::TiedProcess> mProcess;
    int mPort = -1;
};

// Payloads for the tables of kTestVfmt, and the batch the client makes of the two.
[[nodiscard]] TallyPayload publicPayload();
[[nodiscard]] TallyPayload installPayload(int64_t reason);
[[nodiscard]] ByteBuffer testBatch(int64_t product, int64_t reason);

// Lower-case hex of bytes, as the collector's dump writes "raw".
[[nodiscard]] std::string hexOf(const std::vector<std::uint8_t>& bytes);

}  // namespace tally::test
