#pragma once
// The install reporter: the one place where the setup tells the telemetry server what happened.
// Each report rebuilds the public record ("pallo_public") from the install facts in `data` and
// sends one install record ("pallo_tools_install") with the milestone's code, in one batch.
#include <chrono>
#include <cstdint>
#include <memory>
#include <semaphore>

#include "setup/install_result.h"
#include "setup/report_block.h"
#include "tally/tally_value.h"
#include "tally/vo_tally_client.h"

namespace corvane {

class Reporter {
  public:
    // The process's reporter, made on first use (safely, when two threads get there at once) with
    // the telemetry client VoTallyClient("vctrl.dat", "vfmt.dat", bUploadCache: false) over the
    // bundle's resources. It lives until the process ends.
    [[nodiscard]] static Reporter& getInstance();

    // A reporter over `client`, for tests and tools that bring their own resources. Without a
    // client every report does nothing.
    explicit Reporter(std::unique_ptr<tally::VoTallyClient> client);
    ~Reporter();
    Reporter(const Reporter&) = delete;
    Reporter& operator=(const Reporter&) = delete;

    // The install facts of this setup, read and written in place by the install record and the
    // setup flow. Use on the main thread.
    ReportBlock data;

    // Hands the public record built from `data` to the client; the client's answer is not
    // looked at (it logs its own failures).
    void setPublicData();

    // setPublicData(), then one install record for the milestone `result`, posted at once with
    // `force`. Asks the system for its version on the first report of the process only. Never
    // fails visibly; the client logs what went wrong. Returns before the post is answered.
    void report(bool bSuccess, ENUMInstallResult result, bool bSilent, bool bCover, bool force);

    // Waits on the calling (main) thread until every report made so far has been answered or
    // `bound` has passed, never longer. True when nothing is in flight any more (and at once
    // without a client).
    bool flush(std::chrono::milliseconds bound);

    // The public record as setPublicData() sends it.
    [[nodiscard]] tally::TallyPayload publicPayload() const;
    // The install record as report() sends it, with `os` as the system's major version.
    [[nodiscard]] static tally::TallyPayload installPayload(bool bSuccess, ENUMInstallResult result,
                                                            bool bSilent, bool bCover, uint8_t os);

    [[nodiscard]] tally::VoTallyClient* client() { return mClient.get(); }

  private:
    std::unique_ptr<tally::VoTallyClient> mClient;
    // Part of the reporter as the design we follow has it; nothing waits on it or signals it.
    std::counting_semaphore<> semaphore{1};
};

}  // namespace corvane
