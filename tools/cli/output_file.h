// Writing an output file so that a failure never leaves a partial file nor
// destroys the file that was there before.
#pragma once

#include <functional>
#include <string>

// Creates a new, empty file beside `target` whose hidden name is made from
// target's and ends in `suffix`, and returns its name. EError when `target`
// exists and is not a regular file (a folder, device or pipe), EFCreateError
// (with target's name) when no such file can be made.
std::string CreateFileBeside(const std::string& target, const std::string& suffix);

// Creates a new temporary file beside `target`, calls `write` with its name
// to fill it, flushes it to disk and renames it over `target`. When `write`
// or anything after it fails, the temporary file is removed, `target` is
// left as it was and the exception goes on to the caller. A replaced target
// keeps its permission bits; a new one gets the usual ones for new files.
// A symbolic link as `target` stays: the file it points at is replaced.
void WriteFileSafely(const std::string& target,
                     const std::function<void(const std::string& temporaryName)>& write);
