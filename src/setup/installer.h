#pragma once
// The install sequence, the command runner with its process checks, and the install record:
// static operations of one class, as the rest of the setup knows them.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "setup/report_block.h"

namespace corvane {

// Processor family of the machine.
enum class OS_TYPE : uint8_t { undetermined = 0, arm = 1, x86 = 2 };

class Installer {
  public:
    // ---- Install sequence (one instance per attempt) ----
    explicit Installer(std::string dmgPath);

    // True when the new application is in /Applications and the image was detached.
    // The image is attached only when its own signature is a Developer ID one of our team
    // (checkImageSignature); one that is unsigned, changed after signing or someone else's is
    // removed (so the next attempt downloads it again) and nothing else is touched. When the
    // check could not run, the image stays and nothing is touched either.
    // A copy whose code signature is not valid, or not our team's (checkCodeSignature), is never
    // moved in: the old application stays, and the result is false.
    // Never deletes the user's only copy of the application: when the old copy could not be put
    // back, or when the image could not be detached, the backup stays in the working folder
    // (its path is logged) and nothing below a still attached mount point is removed.
    // A copy that fails part-way (ditto's status is not 0, or its time limit ran out) is removed
    // and never moved into /Applications; the old application goes back and the result is false.
    // The working folder carries a mark (work_folder.h) for as long as anything of the install
    // is in it; false without touching anything when the mark cannot be written.
    [[nodiscard]] bool installPackage();

    // Undoes what setups that were cut short (power loss, force quit, SIGKILL) left in the home
    // folder. Looks only at marked folders whose run is over (a running setup's folders are left
    // alone) and, for each: detaches an image still attached at its mount point, puts the backup
    // back when "/Applications/Corvane.app" is missing, and removes the folder. A folder whose
    // image stays attached, or whose backup could not be put back, is kept (logged) and never
    // descended into below the mount point. Unmarked folders are never touched. Call once at
    // start-up, before asking whether the application exists.
    static void recoverInterruptedInstalls();

    // home + "/" + a new upper-case UUID. Nothing is created.
    [[nodiscard]] static std::string generateRandomPath();
    void checkAndCreateFolder(const std::string& atPath);
    void removeFolder(const std::string& atPath);
    [[nodiscard]] bool mountDMG(const std::string& dmgPath, const std::string& mountPoint);
    // The argument is the mount point.
    [[nodiscard]] bool demountDMG(const std::string& dmgPath);
    [[nodiscard]] static bool mvFile(const std::string& srcFilePath,
                                     const std::string& dstFilePath);
    // Copies a file or a folder tree; fails when the destination exists.
    [[nodiscard]] static bool cpFile(const std::string& srcFilePath,
                                     const std::string& dstFilePath);

    const std::string dmgPath;
    std::optional<std::string> mountPointPath;

    // ---- Command runner and process control ----
    // Runs /bin/zsh with `arguments` ("-c", command line); true when it exited with status 0.
    [[nodiscard]] static bool executeCMD(const std::vector<std::string>& arguments);
    // As above; on true `output` holds the whole merged output (absent when not UTF-8). On false
    // `output` is left as it was.
    [[nodiscard]] static bool executeCMD(const std::vector<std::string>& arguments,
                                         std::optional<std::string>& output);
    // Runs `commandLine` as executeCMD does, keeping the merged output whatever the status.
    // Returns the exit status (0 only on success), -1 when it could not be started or timed out.
    [[nodiscard]] static int runCommandLine(const std::string& commandLine, std::string& output);
    [[nodiscard]] static bool checkIfUsingNow();
    static void shutDownServices();
    static void resumeServices();
    static bool startUse();
    [[nodiscard]] static OS_TYPE checkOSArch();

    // A path as one zsh word: single quotes, embedded single quotes written as '\''.
    [[nodiscard]] static std::string shellQuote(std::string_view path);
    // No shell command may hang the setup: past this a command's process group is killed and
    // the command counts as failed. Ten minutes is far beyond any attach, detach, move or copy
    // of the package (seconds), yet ends a command that waits for ever.
    static constexpr std::chrono::minutes kCommandTimeout{10};

    // The runner with a time-out of the caller's choosing instead of kCommandTimeout (tests).
    // A command killed at its time-out logs "command timed out after N s; …" before its status
    // line and counts as failed.
    [[nodiscard]] static bool executeCMD(const std::vector<std::string>& arguments,
                                         std::chrono::milliseconds timeout);
    [[nodiscard]] static bool executeCMD(const std::vector<std::string>& arguments,
                                         std::optional<std::string>& output,
                                         std::chrono::milliseconds timeout);

    // The fixed command lines of the process checks, with every path built with
    // platform::macPath and quoted with shellQuote. In the pgrep patterns each executable's path
    // is escaped for extended regular expressions and must be the start of the command line
    // (followed by a space or its end), so only that program itself matches.
    [[nodiscard]] static std::string checkIfUsingNowCommand();
    [[nodiscard]] static std::string shutDownServicesCommand();
    [[nodiscard]] static std::string resumeServicesCommand();
    [[nodiscard]] static std::string startUseCommand();

    // ---- Install record in the shared settings file ----
    [[nodiscard]] static std::optional<std::string> getAppDataLocationPath(
        const std::string& appName, const std::string& orgName);
    static void ensureIniFileExisted();
    static void getPackageInfo(ReportBlock& toRecord);
    // The package facts in the setup's own name (its bundle's last path component without the
    // extension), "product_[v]version_shortCode_tid1.tid2.tod1.tod2[ suffix]", into `toRecord`:
    // version and short code from four or more "_" pieces, the four numbers when the fourth
    // piece has four or more "." parts (a part that is no number gives 0; the last one gives 1
    // when a suffix follows a space). Fields the name does not carry stay as they were. No log.
    static void parsePackageName(std::string_view name, ReportBlock& toRecord);
    static void setDefault(const std::string& isDefault);
    static void installService();
    static void recordPackageDetail(const ReportBlock& toRecord, bool isOverwrite);
};

}  // namespace corvane
