#pragma once
#include <cstdint>
#include <string>

namespace corvane {

// The install facts of one setup, owned by the reporter and filled in place by the install
// record code. A new block has empty texts, zeros and false.
struct ReportBlock {
    std::string version;
    std::string shortCode;
    int64_t tid1 = 0;
    int64_t tid2 = 0;
    int64_t tod1 = 0;
    int64_t tod2 = 0;
    bool bSilent = false;
    bool bCoverInstall = false;
    std::string installtime;
    std::string uuid;
    std::string svrid;

    bool operator==(const ReportBlock&) const = default;
};

}  // namespace corvane
