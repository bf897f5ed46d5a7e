#include "core/safe_write.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

#include "core/ending_signals.h"
#include "core/exceptions.h"

namespace {

// The system's reason for a failure; a write that stored nothing without
// an error has none of its own.
std::string SystemError(int error) { return error != 0 ? std::strerror(error) : EWriteError().Message(); }

// --- temporary files removed by a signal ----------------------------------

// The temporary files that exist, for a signal to remove. The lock is held
// while a file is made or renamed and listed or taken off the list, so that
// the removal (on the thread that waits for the signals) never meets a half
// changed list or a file that exists but is not listed yet.
constexpr int kTemporarySlots = 8;
std::mutex TemporaryLock;
char TemporaryNames[kTemporarySlots][PATH_MAX];
bool TemporarySlotUsed[kTemporarySlots];

void ListTemporary(const std::string& name) {
    if (name.size() >= PATH_MAX) return;
    for (int i = 0; i < kTemporarySlots; ++i) {
        if (TemporarySlotUsed[i]) continue;
        std::memcpy(TemporaryNames[i], name.c_str(), name.size() + 1);
        TemporarySlotUsed[i] = true;
        return;
    }
}

void UnlistTemporary(const std::string& name) {
    for (int i = 0; i < kTemporarySlots; ++i)
        if (TemporarySlotUsed[i] && name == TemporaryNames[i]) TemporarySlotUsed[i] = false;
}

// --- replacing the target --------------------------------------------------

// The file that `target` names: a symbolic link is followed, so that the
// link stays and the file it points at gets the new content. A link that
// leads nowhere (or round in a loop) is refused: renaming over it would
// put a file in the link's place.
std::string FollowLink(const std::string& target) {
    std::error_code error;
    if (!std::filesystem::is_symlink(target, error)) return target;
    const std::filesystem::path file = std::filesystem::canonical(target, error);
    if (error)
        throw EError("Cannot write " + target + ": " +
                     (error == std::errc::no_such_file_or_directory ? "it is a symbolic link to a missing file"
                                                                     : error.message()));
    return file.string();
}

[[noreturn]] void CannotWrite(const std::string& target, int error) {
    throw EOutputError(EWriteError().Message(), "Cannot write " + target + ": " + SystemError(error));
}

[[noreturn]] void CannotCreate(const std::string& target, int error) {
    const std::string message = EFCreateError(target).Message();
    throw EOutputError(message, message + ": " + SystemError(error));
}

void FlushToDisk(const std::string& name, const std::string& target) {
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) CannotWrite(target, errno);
    const int result = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (result != 0) CannotWrite(target, error);
}

// The finished file gets the permission bits, owner and group of the file
// it replaces, or what a newly created file would get under the umask.
// Owner and group are given as far as the system lets this user give them.
void TakeTargetAttributes(const std::string& name, const std::string& file, const std::string& target) {
    struct stat old {};
    mode_t mode;
    if (::stat(file.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        struct stat made {};
        if (::stat(name.c_str(), &made) == 0 && (made.st_uid != old.st_uid || made.st_gid != old.st_gid)) {
            if (::chown(name.c_str(), old.st_uid, old.st_gid) != 0 &&
                ::chown(name.c_str(), uid_t(-1), old.st_gid) != 0) {
                // Neither is allowed: the file keeps this user's owner and group.
            }
        }
        mode = old.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (::chmod(name.c_str(), mode) != 0) CannotWrite(target, errno);
}

}  // namespace

std::string CreateFileBeside(const std::string& target, const std::string& suffix) {
    // A folder, device or pipe would be replaced by the renamed file.
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        throw EError("Cannot write " + target + ": it is not a regular file");
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    // Part of the name only, so that the hidden name stays within the
    // longest name a folder allows.
    const std::string base = (slash == std::string::npos ? target : target.substr(slash + 1)).substr(0, 64);
    const std::string pattern = folder + "." + base + ".XXXXXX" + suffix;
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    EndingSignalsNeeded();
    const std::lock_guard<std::mutex> lock(TemporaryLock);
    const int fd = ::mkstemps(name.data(), static_cast<int>(suffix.size()));
    if (fd < 0) CannotCreate(target, errno);
    ::close(fd);
    ListTemporary(name.data());
    return name.data();
}

void RemoveTemporaryFile(const std::string& name) {
    const std::lock_guard<std::mutex> lock(TemporaryLock);
    ::unlink(name.c_str());
    UnlistTemporary(name);
}

void WriteFileSafely(const std::string& target,
                     const std::function<void(const std::string& temporaryName)>& write,
                     const std::function<void()>& beforeReplace) {
    const std::string file = FollowLink(target);
    const std::string temporaryName = CreateFileBeside(file, ".tmp");
    try {
        WriteForTarget(target, [&] { write(temporaryName); });
        FlushToDisk(temporaryName, target);
        TakeTargetAttributes(temporaryName, file, target);
        if (beforeReplace) beforeReplace();
        const std::lock_guard<std::mutex> lock(TemporaryLock);
        if (::rename(temporaryName.c_str(), file.c_str()) != 0) {
            const int error = errno;
            throw EError("Cannot replace file " + target + ": " + SystemError(error));
        }
        UnlistTemporary(temporaryName);
    } catch (...) {
        RemoveTemporaryFile(temporaryName);
        throw;
    }
}

void WriteForTarget(const std::string& target, const std::function<void()>& write) {
    try {
        write();
    } catch (const EWriteError&) {
        CannotWrite(target, errno);
    } catch (const EFCreateError&) {
        CannotCreate(target, errno);
    }
}

void RemoveTemporaryFilesForGood() noexcept {
    TemporaryLock.lock();
    for (int i = 0; i < kTemporarySlots; ++i)
        if (TemporarySlotUsed[i]) ::unlink(TemporaryNames[i]);
}
