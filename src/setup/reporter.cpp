#include "setup/reporter.h"

#include <string_view>

#include "setup/os_version.h"
#include "tally/vo_tally_client.h"
#include "tally/vo_tally_control.h"

namespace corvane {
namespace {

// The table-definition resource.
constexpr std::string_view kVfmtPath = "vfmt.dat";
constexpr std::string_view kPublicTable = "pallo_public";
constexpr std::string_view kInstallTable = "pallo_tools_install";

}  // namespace

Reporter& Reporter::getInstance() {
    static Reporter instance(
        std::make_unique<tally::VoTallyClient>(tally::VCTRL_PATH, kVfmtPath, false));
    return instance;
}

Reporter::Reporter(std::unique_ptr<tally::VoTallyClient> client) : mClient(std::move(client)) {}

Reporter::~Reporter() = default;

tally::TallyPayload Reporter::publicPayload() const {
    return {
        {"uuid", data.uuid},    {"tid1", data.tid1}, {"tid2", data.tid2},   {"tod1", data.tod1},
        {"tod2", data.tod2},    {"type", 0},         {"tryno", 3188},       {"iid", 0},
        {"collect_time", 0},    {"lastver", 1},      {"svrid", data.svrid}, {"wtod2", "1"},
        {"usertype_public", 1},
    };
}

tally::TallyPayload Reporter::installPayload(bool bSuccess, ENUMInstallResult result, bool bSilent,
                                             bool bCover, uint8_t os) {
    int resultValue = bSuccess ? 1 : 0;
    int installtype = bCover ? 1 : 0;
    int silent = bSilent ? 1 : 0;
    switch (result) {
        case ENUMInstallResult::Install_succeeded:
            resultValue = 1;
            break;
        case ENUMInstallResult::Setup_started:
            resultValue = 3;
            installtype = 3;
            silent = 3;
            break;
        case ENUMInstallResult::Silent_setup_started:
        case ENUMInstallResult::Setup_ended:
            resultValue = 3;
            installtype = 200;
            silent = 200;
            break;
        default:
            break;
    }
    return {
        {"result", resultValue},
        {"reason", rawValue(result)},
        {"installtype", installtype},
        {"silent", silent},
        {"os", os},
        {"product_id", 44},
        {"version", 3},
        {"parentproce", "1"},
        {"lastday", 1},
        {"before_tid1", "1"},
        {"before_tid2", "1"},
    };
}

void Reporter::setPublicData() {
    if (mClient) {
        static_cast<void>(mClient->setPublicData(kPublicTable, publicPayload()));
    }
}

void Reporter::report(bool bSuccess, ENUMInstallResult result, bool bSilent, bool bCover,
                      bool force) {
    setPublicData();
    MacOSVersion::ensureProbed();
    const tally::TallyPayload payload =
        installPayload(bSuccess, result, bSilent, bCover, MacOSVersion::gMainOSVersion());
    if (mClient) {
        static_cast<void>(mClient->report(kInstallTable, payload, force));
    }
}

bool Reporter::flush(std::chrono::milliseconds bound) {
    return mClient ? mClient->flush(bound) : true;
}

}  // namespace corvane
