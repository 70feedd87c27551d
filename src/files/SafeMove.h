#pragma once
// Moving a file without ever replacing one and without a moment in which it is half present
// under its final name or gone from both places.

#include <string>

#include "platform/Trash.h"

namespace vorn {

// rename(2) that fails when `to` exists. Across file systems (files only): copy to a hidden
// temporary name beside `to`, sync it, rename it into place (no replace), sync the folder, and
// only then remove the source. False, with the reason in error, when the file stays where it was.
bool moveItemSafely(const std::string& from, const std::string& to, std::string* error = nullptr);

// The same, calling hook between the steps (SafeMoveStep); tests use it to interrupt a move.
bool moveItemSafely(const std::string& from, const std::string& to, std::string* error,
                    const SafeMoveHook& hook);

}  // namespace vorn
