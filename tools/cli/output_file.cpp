#include "tools/cli/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "core/exceptions.h"

namespace {

std::string SystemError(int error) { return std::strerror(error); }

// Permission bits for the finished file: those of the file it replaces, or
// what a newly created file would get under the current umask.
mode_t TargetMode(const std::string& target) {
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// The file that `target` names: a symbolic link is followed, so that the
// link stays and the file it points at gets the new content.
std::string FollowLink(const std::string& target) {
    std::error_code error;
    if (!std::filesystem::is_symlink(target, error)) return target;
    const std::filesystem::path file = std::filesystem::canonical(target, error);
    return error ? target : file.string();
}

void FlushToDisk(const std::string& name) {
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw EFOpenError(name);
    const int result = ::fsync(fd);
    ::close(fd);
    if (result != 0) throw EWriteError();
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
    const int fd = ::mkstemps(name.data(), static_cast<int>(suffix.size()));
    if (fd < 0) throw EFCreateError(target);
    ::close(fd);
    return name.data();
}

void WriteFileSafely(const std::string& target,
                     const std::function<void(const std::string& temporaryName)>& write) {
    const std::string file = FollowLink(target);
    const std::string temporaryName = CreateFileBeside(file, ".tmp");
    try {
        if (::chmod(temporaryName.c_str(), TargetMode(file)) != 0)
            throw EError("Cannot set the permissions of " + target + ": " + SystemError(errno));
        write(temporaryName);
        FlushToDisk(temporaryName);
        if (::rename(temporaryName.c_str(), file.c_str()) != 0)
            throw EError("Cannot replace file " + target + ": " + SystemError(errno));
    } catch (...) {
        ::unlink(temporaryName.c_str());
        throw;
    }
}
