#pragma once
// Marks on the folders the setup makes in the user's home folder, so that a later run can tell
// its own leftovers from everything else there and knows whether the run that made them still
// works in them.
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace corvane {

// The mark's file name inside a marked folder.
inline constexpr std::string_view kWorkFolderMarkName = ".corvane-setup-work";

// What a marked folder is for; written into the mark as its first word.
enum class WorkFolderKind {
    install,       // the working folder of one install attempt
    settingsSeed,  // the seed folder of the first settings file
};

// The mark of a folder this process works in: a file holding the folder's kind and the process
// id, locked with flock() for as long as the object lives. The kernel drops the lock with the
// process however it ends (crash, SIGKILL, power loss), so a mark nobody holds belongs to a run
// that is over, even when its process id has since been given to another program.
class WorkFolderMark {
  public:
    // Writes and holds the mark in the existing `folder`, which must not carry one yet. The mark
    // is on disk (synced) before this returns, so whatever is moved into the folder afterwards is
    // found again after a power loss. Nothing when it cannot be written; the reason is logged.
    [[nodiscard]] static std::optional<WorkFolderMark> place(const std::string& folder,
                                                             WorkFolderKind kind);

    struct Claim;
    // Takes over the mark of `folder` when the run that placed it is over. `kind` is absent when
    // the mark holds no kind this build knows (such a folder is best left alone).
    [[nodiscard]] static Claim claimStale(const std::string& folder);

    WorkFolderMark(WorkFolderMark&& other) noexcept;
    WorkFolderMark& operator=(WorkFolderMark&& other) noexcept;
    WorkFolderMark(const WorkFolderMark&) = delete;
    WorkFolderMark& operator=(const WorkFolderMark&) = delete;
    // Lets go of the lock; the mark file stays (removeWorkFolder deletes it with the folder).
    ~WorkFolderMark();

  private:
    explicit WorkFolderMark(int fd) : mFd(fd) {}
    int mFd = -1;
};

struct WorkFolderMark::Claim {
    enum class Outcome {
        claimed,       // the run is over; `mark` is now held by this process
        ownerRunning,  // a live run holds the mark: nothing of the folder may be touched
        notMarked,     // no readable mark (or it vanished while looking)
    };
    Outcome outcome = Outcome::notMarked;
    std::optional<WorkFolderKind> kind;
    long pid = 0;  // the process id written in the mark; 0 when unreadable
    std::optional<WorkFolderMark> mark;
};

// The folders directly in `home` that carry a mark: real folders (not links) named like the
// setup's folders (an upper-case UUID) with a regular file as mark. Newest mark first.
[[nodiscard]] std::vector<std::string> markedFoldersIn(const std::string& home);

// Removes `folder` with everything in it. A mark in it goes last, after everything else has
// gone, so a removal cut short still leaves a marked folder that a later run finds again. Links
// are removed, never followed. On failure `ec` is set and the mark stays.
void removeWorkFolder(const std::string& folder, std::error_code& ec);

// Removes the tree at `path` (a file, a link or a folder) even where its folders are read-only,
// as a copy of a read-only image is: the user's own folders get the owner's write right first.
// On failure `ec` is set.
void removeTree(const std::string& path, std::error_code& ec);

// True when `folder` holds nothing, or nothing but its mark.
[[nodiscard]] bool holdsOnlyItsMark(const std::string& folder);

}  // namespace corvane
