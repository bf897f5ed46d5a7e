#include "tools/cli/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

void FlushToDisk(const std::string& name) {
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw EFOpenError(name);
    const int result = ::fsync(fd);
    ::close(fd);
    if (result != 0) throw EWriteError();
}

}  // namespace

std::string CreateFileBeside(const std::string& target, const std::string& suffix) {
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
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
    const std::string temporaryName = CreateFileBeside(target, ".tmp");
    try {
        if (::chmod(temporaryName.c_str(), TargetMode(target)) != 0) throw EFCreateError(target);
        write(temporaryName);
        FlushToDisk(temporaryName);
        if (::rename(temporaryName.c_str(), target.c_str()) != 0)
            throw EError("Cannot replace file " + target + ": " + SystemError(errno));
    } catch (...) {
        ::unlink(temporaryName.c_str());
        throw;
    }
}
