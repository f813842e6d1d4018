// The install sequence: check the image's signature, attach it in a fresh working folder, move the
// installed application aside, copy the new one out with ditto, move it into /Applications, put the
// old one back on failure, detach and tidy up.
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "platform/log.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "setup/admin_consent.h"
#include "setup/code_signature.h"
#include "setup/installer.h"
#include "setup/work_folder.h"

namespace corvane {
namespace fs = std::filesystem;
namespace {

using platform::logLine;

// A tool by its absolute macOS path, as one zsh word (command_runner.cpp says why).
std::string tool(std::string_view absolutePath) {
    return Installer::shellQuote(platform::macPath(absolutePath));
}

// The moves an administrator's consent covers, as one /bin/sh script run as root, so that one
// install attempt asks once: the old application aside (when it is still in place), the new one
// in, and on failure the old one back unless something already stands in its place (a partial
// move is kept apart from the backup, which the next start-up's recovery weighs). Once the new
// application is in, the backup goes: it may be root's, which the user could not remove.
std::string privilegedMoves(const std::string& installed, const std::string& backup,
                            const std::string& copy, bool oldInPlace) {
    const std::string mv = tool("/bin/mv");
    const std::string q = Installer::shellQuote(installed);
    const std::string b = Installer::shellQuote(backup);
    std::string script;
    if (oldInPlace) {
        script += mv + " " + q + " " + b + " || exit 1; ";
    }
    script += "if " + mv + " " + Installer::shellQuote(copy) + " " + q + "; then ";
    script += oldInPlace ? tool("/bin/rm") + " -rf " + b + "; " : std::string(":; ");
    script += "else ";
    if (oldInPlace) {
        script += "[ -e " + q + " ] || [ -L " + q + " ] || " + mv + " " + b + " " + q + "; ";
    }
    script += "exit 1; fi";
    return script;
}

// Puts the backup of an interrupted install back, over an application in place that failed its
// signature check when `replace`; with an administrator's consent where the user's rights do not
// reach. True when the backup is back.
bool putBackupBack(const std::string& backup, const std::string& installed, bool replace) {
    if (userMayMove(backup) && userMayMove(installed) && (!replace || userMayRemove(installed))) {
        std::error_code ec;
        if (replace) {
            removeTree(installed, ec);
        }
        return !ec && Installer::mvFile(backup, installed);
    }
    logLine(
        "The user's rights do not reach to put the backup back: asking for an administrator's "
        "consent");
    const std::string q = Installer::shellQuote(installed);
    const std::string script = (replace ? tool("/bin/rm") + " -rf " + q + " && " : std::string()) +
                               tool("/bin/mv") + " " + Installer::shellQuote(backup) + " " + q;
    return runWithAdministratorConsent(std::string(kRestorePrompt), script).outcome ==
           AdministratorRun::Outcome::done;
}

// Anything at the path, a dangling link included: a move onto it would not replace it.
bool somethingAt(const std::string& path) {
    std::error_code ec;
    return fs::symlink_status(path, ec).type() != fs::file_type::not_found && !ec;
}

std::string newUuid() {
    std::random_device rd;
    std::array<uint8_t, 16> b{};
    for (uint8_t& byte : b) {
        byte = static_cast<uint8_t>(rd());
    }
    b[6] = static_cast<uint8_t>((b[6] & 0x0Fu) | 0x40u);  // version 4
    b[8] = static_cast<uint8_t>((b[8] & 0x3Fu) | 0x80u);  // RFC 4122 variant
    char out[37];
    std::snprintf(out, sizeof out,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return out;
}

bool isEmptyFolder(const std::string& path) {
    std::error_code ec;
    return fs::symlink_status(path, ec).type() == fs::file_type::directory &&
           fs::is_empty(path, ec) && !ec;
}

// Removes what the sequence made in the working folder without ever descending into the mount
// point, which may still hold an attached image: the copy folder goes, the mount point only when
// it is an empty folder, the working folder with its mark only when nothing else is left in it.
// Whatever stays (an attached image, a kept backup) stays marked, for a later run to find.
void tidyWithoutMountPoint(const std::string& workFolder, const std::string& mountPoint) {
    std::error_code ec;
    removeTree(workFolder + "/temp", ec);
    if (isEmptyFolder(mountPoint)) {
        fs::remove(mountPoint, ec);
    }
    if (holdsOnlyItsMark(workFolder)) {
        removeWorkFolder(workFolder, ec);
    }
}

std::string statusText(const platform::ProcessResult& r) {
    if (!r.started) {
        return "could not be started: " + r.startError;
    }
    if (r.timedOut) {
        return "timed out";
    }
    return "exit status " + std::to_string(r.exitStatus);
}

}  // namespace

Installer::Installer(std::string path) : dmgPath(std::move(path)) {}

std::string Installer::generateRandomPath() {
    return platform::homeDirectory() + "/" + newUuid();
}

void Installer::checkAndCreateFolder(const std::string& atPath) {
    std::error_code ec;
    if (fs::exists(atPath, ec)) {
        logLine("文件夹已存在：" + atPath);
        return;
    }
    if (fs::create_directories(atPath, ec) || (!ec && fs::is_directory(atPath, ec))) {
        logLine("文件夹已创建：" + atPath);
    } else {
        logLine("创建文件夹失败：" + ec.message());
    }
}

void Installer::removeFolder(const std::string& atPath) {
    std::error_code ec;
    if (!somethingAt(atPath)) {
        logLine("文件夹不存在：" + atPath);
        return;
    }
    // A marked working folder loses its mark last, so a removal cut short is found again.
    removeWorkFolder(atPath, ec);
    if (ec) {
        logLine("删除文件夹失败：" + ec.message());
    } else {
        logLine("文件夹已删除：" + atPath);
    }
}

bool Installer::mountDMG(const std::string& imagePath, const std::string& mountPoint) {
    // -noverify: installPackage() has checked the image's signature, which covers every byte,
    // so hdiutil's own pass over its checksums would read the whole file again for nothing.
    const std::string command = tool("/usr/bin/hdiutil") + " attach " + shellQuote(imagePath) +
                                " -mountpoint " + shellQuote(mountPoint) +
                                " -noverify -nobrowse -noautoopen -verbose";
    logLine("execute cmd " + command);
    const bool ok = executeCMD({"-c", command});
    logLine(ok ? "Mount command executed successfully" : "Mount command failed");
    return ok;
}

bool Installer::demountDMG(const std::string& mountPoint) {
    const std::string command =
        tool("/usr/bin/hdiutil") + " detach " + shellQuote(mountPoint) + " -force";
    logLine(command);
    const bool ok = executeCMD({"-c", command});
    if (!ok) {
        logLine("demountDMG An error occurred");
    }
    return ok;
}

bool Installer::mvFile(const std::string& srcFilePath, const std::string& dstFilePath) {
    const std::string command =
        tool("/bin/mv") + " " + shellQuote(srcFilePath) + " " + shellQuote(dstFilePath);
    logLine(command);
    const bool ok = executeCMD({"-c", command});
    if (!ok) {
        logLine("mvFile An error occurred");
    }
    return ok;
}

bool Installer::cpFile(const std::string& srcFilePath, const std::string& dstFilePath) {
    std::error_code ec;
    if (somethingAt(dstFilePath)) {
        ec = std::make_error_code(std::errc::file_exists);
    } else {
        fs::copy(srcFilePath, dstFilePath,
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
        if (ec) {
            // Leave no half-made copy behind; the destination did not exist before.
            std::error_code ignored;
            fs::remove_all(dstFilePath, ignored);
        }
    }
    if (ec) {
        logLine("cpFile " + srcFilePath + " to " + dstFilePath + " error " + ec.message());
        return false;
    }
    return true;
}

bool Installer::installPackage() {
    if (platform::homeDirectory().empty()) {
        // The working folder would land in the file system's root.
        logLine("No home folder: nothing installed");
        return false;
    }
    // Nothing of a served file reaches the system's disk-image parser before its signature
    // says it is our release; the check logs why it refused.
    const CodeSignature image = checkImageSignature(dmgPath);
    if (image != CodeSignature::trusted) {
        if (image != CodeSignature::unchecked) {
            // A verdict on the file itself: the next attempt must fetch it again.
            std::error_code ec;
            if (!fs::remove(dmgPath, ec) && ec) {
                logLine("The refused image could not be removed: " + dmgPath + ": " + ec.message());
            }
        }
        return false;
    }
    const std::string workFolder = generateRandomPath();
    const std::string copyFolder = workFolder + "/temp";
    checkAndCreateFolder(copyFolder);
    checkAndCreateFolder(workFolder);
    // Marked before anything of the user's is moved into it: a run cut short between the backup
    // and the move is then found and undone by the next one (recoverInterruptedInstalls).
    const std::optional<WorkFolderMark> mark =
        WorkFolderMark::place(workFolder, WorkFolderKind::install);
    if (!mark) {
        logLine("Nothing installed: the working folder cannot be marked");
        std::error_code ec;
        fs::remove_all(workFolder, ec);  // made a moment ago by this attempt, still empty
        return false;
    }

    const std::string mountPoint = workFolder + "/Corvane";
    mountPointPath = mountPoint;
    logLine("mountPath " + mountPoint);

    if (!mountDMG(dmgPath, mountPoint) && !demountDMG(mountPoint)) {
        // Nothing was attached, or it cannot be let go: leave the mount point alone and remove
        // only the empty folders this attempt made, so failed attempts do not pile up at home.
        tidyWithoutMountPoint(workFolder, mountPoint);
        return false;
    }

    const std::string installed = platform::macPath("/Applications/Corvane.app");
    const std::string backup = workFolder + "/" + "Corvane.app.bak";
    // Where the user may not write to /Applications, or may not move the old application (it is
    // another user's, or holds folders that are, so its backup could not be removed), the moves
    // wait until the copy is made and trusted, then go together with one administrator's
    // consent; otherwise nobody is asked.
    const bool rightsReach = userMayMove(installed) && userMayRemove(installed);
    bool backedUp = rightsReach && mvFile(installed, backup);

    const std::string appInImage = mountPoint + "/Corvane.app";
    const std::string copy = copyFolder + "/Corvane.app";
    platform::ProcessOptions dittoOptions;
    dittoOptions.output = platform::ProcessOptions::Output::Inherited;
    dittoOptions.timeout = kCommandTimeout;
    const platform::ProcessResult copyRun =
        platform::runProcess(platform::macPath("/usr/bin/ditto"), {appInImage, copy}, dittoOptions);
    // A copy that stopped part-way (full disk, a read error from the image, the time limit) has
    // still written part of the tree: that must never reach /Applications.
    const bool copied = copyRun.succeeded();
    if (!copied) {
        logLine("ditto failed (" + statusText(copyRun) + "), the partial copy is removed: " + copy);
        std::error_code ec;
        removeTree(copy, ec);
    }

    // Only a complete copy that macOS itself would trust, signed by our team, may replace the
    // user's application; the check logs why it refused.
    const bool trusted = copied && checkCodeSignature(copy) == CodeSignature::trusted;

    bool moved = false;
    if (!trusted) {
        // Nothing is moved in; the old application goes back below.
    } else if (rightsReach && somethingAt(installed)) {
        // The old copy could not be moved aside; mv would put the new one inside it.
        logLine("mvFile skipped, the old application is still in place: " + installed);
    } else if (!rightsReach || !userMayMove(copy)) {
        logLine(
            "The user's rights do not reach /Applications: asking for an administrator's "
            "consent");
        const bool oldInPlace = somethingAt(installed);
        const AdministratorRun run = runWithAdministratorConsent(
            std::string(kInstallPrompt), privilegedMoves(installed, backup, copy, oldInPlace));
        moved = run.outcome == AdministratorRun::Outcome::done;
        // A backup the script could not put back is the user's only copy: kept below.
        backedUp = backedUp || (oldInPlace && somethingAt(backup));
    } else {
        moved = mvFile(copy, installed);
    }

    bool keepBackup = false;
    if (!moved && backedUp) {
        // A half-moved new copy in the way would swallow the backup; keep the backup instead.
        keepBackup = somethingAt(installed) || !mvFile(backup, installed);
    }

    const bool detached = demountDMG(mountPoint);
    if (detached && !keepBackup) {
        removeFolder(workFolder);
    } else {
        if (somethingAt(backup)) {
            logLine("Backup of the old application kept at: " + backup);
        }
        if (!detached) {
            logLine("Working folder kept, the image is still attached at: " + mountPoint);
        }
        tidyWithoutMountPoint(workFolder, mountPoint);
    }
    return moved && detached;
}

void Installer::recoverInterruptedInstalls() {
    const std::string home = platform::homeDirectory();
    if (home.empty()) {
        return;
    }
    const std::string installed = platform::macPath("/Applications/Corvane.app");
    Installer helper{std::string()};
    for (const std::string& folder : markedFoldersIn(home)) {
        const WorkFolderMark::Claim claim = WorkFolderMark::claimStale(folder);
        if (claim.outcome == WorkFolderMark::Claim::Outcome::notMarked) {
            continue;
        }
        if (claim.outcome == WorkFolderMark::Claim::Outcome::ownerRunning) {
            logLine("Working folder in use by a running setup (pid " + std::to_string(claim.pid) +
                    "), left alone: " + folder);
            continue;
        }
        if (!claim.kind) {
            logLine("Working folder with a mark of another kind, left alone: " + folder);
            continue;
        }
        if (*claim.kind == WorkFolderKind::settingsSeed) {
            logLine("Removing the settings seed of an interrupted setup: " + folder);
            helper.removeFolder(folder);
            continue;
        }

        logLine("Found the working folder of an interrupted install: " + folder);
        const std::string mountPoint = folder + "/Corvane";
        const std::string backup = folder + "/Corvane.app.bak";
        // Never descend into a mount point that may hold an attached image: detach it first, and
        // when that fails leave it (and so the working folder) where it is.
        bool mountPointClear = !somethingAt(mountPoint) || isEmptyFolder(mountPoint);
        if (!mountPointClear) {
            mountPointClear = helper.demountDMG(mountPoint) && isEmptyFolder(mountPoint);
        }
        bool backupStillNeeded = false;
        if (somethingAt(backup)) {
            // A move across volumes copies, then deletes: one cut short leaves a partial app in
            // place. Only an app that passes the signature check makes the backup superfluous.
            const bool appMissing = !somethingAt(installed);
            const bool appBroken =
                !appMissing && checkCodeSignature(installed) != CodeSignature::trusted;
            if (appBroken) {
                logLine("The application in place is not whole; the backup goes back over it: " +
                        installed);
            }
            if (appMissing || appBroken) {
                if (putBackupBack(backup, installed, appBroken)) {
                    logLine("Old application put back: " + installed);
                } else {
                    backupStillNeeded = true;
                }
            }
        }
        // A backup that is root's, of an app that is whole again: not worth an administrator's
        // dialog at start-up, so it stays, as the user sees in the log.
        const bool backupNotOurs = somethingAt(backup) && !userMayRemove(backup);
        if (mountPointClear && !backupStillNeeded && !backupNotOurs) {
            helper.removeFolder(folder);
            continue;
        }
        if (backupStillNeeded || backupNotOurs) {
            logLine("Backup of the old application kept at: " + backup);
        }
        if (!mountPointClear) {
            logLine("Working folder kept, the image is still attached at: " + mountPoint);
        }
        tidyWithoutMountPoint(folder, mountPoint);
    }
}

}  // namespace corvane
