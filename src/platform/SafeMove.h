#pragma once
// Moving a file without ever replacing one and without a moment in which it is half present
// under its final name or gone from both places. The trash and the item moves share it.

#include <functional>
#include <string>

namespace vorn {

// The move that the trash and the file moves share. It never replaces anything at `to`. Within
// one file system it is a rename; across file systems (files only) the bytes are copied to a
// hidden temporary name beside `to`, synced, renamed into place and the folder synced before
// the source is removed, so an interruption leaves the source intact and either nothing or the
// complete file under the final name.
enum class SafeMoveStep {
    Copied,  // the temporary copy is complete and synced; nothing is under the final name yet
    Placed,  // the copy is in place under the final name; the source is still there
};
using SafeMoveHook = std::function<void(SafeMoveStep)>;

// What a move did. True when the whole file is under the final name.
struct SafeMoveResult {
    enum class Kind {
        Failed,      // the file stays where it was; error says why
        Moved,       // the file is at `to` and gone from `from`
        SourceLeft,  // the whole file is at `to`, but `from` could not be removed (error says
                     // why): both copies stay, since taking the new one back could leave none
    };
    Kind kind = Kind::Failed;
    explicit operator bool() const { return kind != Kind::Failed; }
    bool sourceLeft() const { return kind == Kind::SourceLeft; }
};

SafeMoveResult moveItemSafely(const std::string& from, const std::string& to,
                              std::string* error = nullptr, const SafeMoveHook* hook = nullptr);
// The same, calling hook between the steps; tests use it to interrupt a move.
SafeMoveResult moveItemSafely(const std::string& from, const std::string& to, std::string* error,
                              const SafeMoveHook& hook);

// Like moveItemSafely, but a file already at `to` is replaced, and only by the complete new
// one (a rename over it): it is never removed first, so a move that fails keeps the old copy.
SafeMoveResult replaceItemSafely(const std::string& from, const std::string& to,
                                 std::string* error = nullptr, const SafeMoveHook* hook = nullptr);

// Across file systems the source is removed only while it is still the file that was copied
// (same device, inode, size and modification time). A source saved anew meanwhile stays where
// it is, and so does the copy of the version that was moved; both count as success. A source
// that cannot be removed once the copy is in place leaves both copies: SourceLeft.

}  // namespace vorn
