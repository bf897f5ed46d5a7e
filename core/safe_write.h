// Writing an output file so that a failure never leaves a partial file nor
// destroys the file that was there before: the content goes to a hidden
// temporary file beside the target, which takes the target's place only
// once it is complete.
#pragma once

#include <functional>
#include <string>

#include "core/exceptions.h"

// The output could not be made or written. The message is the stream's
// ("Cannot create file <target>", "Stream write error"); the detail names
// the target and gives the system's reason ("No space left on device").
class EOutputError : public EStreamError {
public:
    EOutputError(std::string message, std::string detail)
        : EStreamError(std::move(message)), FDetail(std::move(detail)) {}
    const std::string& Detail() const noexcept { return FDetail; }

private:
    std::string FDetail;
};

// Creates a new, empty file beside `target` whose hidden name is made from
// target's and ends in `suffix`, and returns its name. EError when `target`
// exists and is not a regular file (a folder, device or pipe), EOutputError
// "Cannot create file <target>" when no such file can be made. The file is removed
// by RemoveTemporaryFilesForGood (when a signal ends the program, see
// ending_signals.h) until it is given to RemoveTemporaryFile or renamed by
// WriteFileSafely.
std::string CreateFileBeside(const std::string& target, const std::string& suffix);
// Deletes a file made by CreateFileBeside.
void RemoveTemporaryFile(const std::string& name);

// Creates a new temporary file beside `target`, calls `write` with its name
// to fill it, flushes it to disk, calls `beforeReplace` (when given) and
// renames the file over `target`. When any step fails, the temporary file
// is removed, `target` is left as it was and the exception goes on to the
// caller; a failed create or write becomes EOutputError, about `target`.
// The temporary file stays writable for its owner until it is complete;
// then it gets the permission bits and (as far as the user may give them)
// the owner and group of the file it replaces, or the usual bits for a new
// file. A symbolic link as `target` stays: the file it points at is replaced;
// a link to a missing file, or a loop of links, raises EError.
void WriteFileSafely(const std::string& target,
                     const std::function<void(const std::string& temporaryName)>& write,
                     const std::function<void()>& beforeReplace = nullptr);

// Runs `write`, which makes or fills a file that belongs to `target` (its
// temporary file, or another one beside it); a failed create or write
// becomes EOutputError about `target`.
void WriteForTarget(const std::string& target, const std::function<void()>& write);

// Removes every temporary file that CreateFileBeside made and that is still
// there, for a program that is about to end by a signal: the list stays
// locked afterwards, so that a thread that would make or rename another one
// waits until the process has ended.
void RemoveTemporaryFilesForGood() noexcept;
