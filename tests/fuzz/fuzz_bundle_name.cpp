// The package facts in the setup's own name, on arbitrary names. Beyond not crashing: a name
// with fewer than four "_" pieces changes nothing, the version holds no "v" and the short code
// no "_", and the facts read from any name, written back as a well-formed name, read back the
// same.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_common.h"
#include "setup/installer.h"

namespace {

corvane::ReportBlock sentinel() {
    corvane::ReportBlock block;
    block.version = "sentinel";
    block.shortCode = "sentinel";
    block.tid1 = block.tid2 = block.tod1 = block.tod2 = -42;
    return block;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view name(reinterpret_cast<const char*>(data), size);
    corvane::ReportBlock block = sentinel();
    corvane::Installer::parsePackageName(name, block);

    size_t underscores = 0;
    for (const char c : name) {
        underscores += c == '_' ? 1 : 0;
    }
    if (underscores < 3) {
        FUZZ_CHECK(block == sentinel());
        return 0;
    }
    FUZZ_CHECK(block.version.find_first_of("v_") == std::string::npos);
    FUZZ_CHECK(block.shortCode.find('_') == std::string::npos);

    const std::string again = "Corvane_v" + block.version + "_" + block.shortCode + "_" +
                              std::to_string(block.tid1) + "." + std::to_string(block.tid2) + "." +
                              std::to_string(block.tod1) + "." + std::to_string(block.tod2);
    corvane::ReportBlock reread = sentinel();
    corvane::Installer::parsePackageName(again, reread);
    FUZZ_CHECK(reread == block);
    return 0;
}
