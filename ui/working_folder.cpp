#include "ui/working_folder.h"

#include <fcntl.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string Folder;

// A private folder left by a run that was killed is removed by a later run
// once it is this old and nobody claims it; a younger one may belong to a
// run that has made it but not claimed it yet.
constexpr auto kStaleAfter = std::chrono::minutes(1);
const char* const kPrivatePrefix = "vendaru-";

std::string Reason(int error) { return std::strerror(error); }

// An absolute folder from the environment variable `name`, or "".
std::string FolderFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value && value[0] == '/' ? std::string(value) : std::string();
}

std::string CacheHome() {
    std::string cache = FolderFromEnvironment("XDG_CACHE_HOME");
    if (cache.empty()) {
        const std::string home = FolderFromEnvironment("HOME");
        if (!home.empty()) cache = home + "/.cache";
    }
    return cache;
}

// Claims the folder `folder` names for this process: binds the abstract
// socket named after its device and inode. Returns the socket, or -1 with
// errno set (EADDRINUSE: another process holds the claim).
int Claim(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.empty() ? "." : folder.c_str(), &st) != 0) return -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = "vendaru-folder/" + std::to_string(st.st_dev) + "/" + std::to_string(st.st_ino);
    // An abstract name: a leading NUL byte, no file in any folder.
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// Removes the private folders in `base` that runs killed before their end
// left behind.
void RemoveStalePrivateFolders(const std::string& base) {
    std::error_code error;
    const auto now = fs::file_time_type::clock::now();
    std::vector<fs::path> stale;
    for (const fs::directory_entry& entry : fs::directory_iterator(base, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(kPrivatePrefix, 0) != 0 || !entry.is_directory(error) || entry.is_symlink(error)) continue;
        const auto changed = entry.last_write_time(error);
        if (error || now - changed < kStaleAfter) continue;
        const int claim = Claim(entry.path().string());
        if (claim < 0) continue;  // its run is still there
        stale.push_back(entry.path());
        ::close(claim);
    }
    for (const fs::path& folder : stale) fs::remove_all(folder, error);
}

}  // namespace

const std::string& WorkingFolder() { return Folder; }

std::string WorkingFile(const std::string& name) { return Folder.empty() ? name : Folder + "/" + name; }

std::string DesktopWorkingFolder() {
    const std::string cache = CacheHome();
    return cache.empty() ? std::string() : cache + "/vendaru";
}

TWorkingFolder::TWorkingFolder(const std::string& folder) : FBefore(Folder) {
    // Until a folder is ready, one that is never another run's.
    Folder = "/nonexistent/vendaru";
    std::error_code error;
    if (!folder.empty() && !fs::is_directory(folder, error)) {
        fs::create_directories(folder, error);
        if (error) {
            FProblem = "Cannot make the working folder " + folder + ": " + error.message();
            return;
        }
    }
    FClaim = Claim(folder);
    if (FClaim < 0 && errno == EADDRINUSE) {
        // Another run works there: this one gets a folder of its own.
        MakePrivateFolder();
        return;
    }
    Folder = folder;
    FReady = true;
    const std::string shown = folder.empty() ? fs::current_path(error).string() : folder;
    if (::access(folder.empty() ? "." : folder.c_str(), W_OK | X_OK) != 0)
        FProblem = "Cannot write in the working folder " + shown + ": " + Reason(errno);
}

void TWorkingFolder::MakePrivateFolder() {
    std::string base = FolderFromEnvironment("XDG_RUNTIME_DIR");
    if (base.empty() || ::access(base.c_str(), W_OK | X_OK) != 0) {
        base = CacheHome();
        std::error_code error;
        if (!base.empty()) fs::create_directories(base, error);
    }
    if (base.empty()) {
        FProblem = "Cannot make a working folder of its own: neither XDG_RUNTIME_DIR nor HOME is set";
        return;
    }
    RemoveStalePrivateFolders(base);
    const std::string pattern = base + "/" + kPrivatePrefix + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!::mkdtemp(name.data())) {
        FProblem = "Cannot make a working folder in " + base + ": " + Reason(errno);
        return;
    }
    FPrivate = Folder = name.data();
    // Claimed too, so that a later run sees that it is in use.
    FClaim = Claim(FPrivate);
    FReady = true;
}

TWorkingFolder::~TWorkingFolder() {
    if (!FPrivate.empty()) {
        std::error_code error;
        fs::remove_all(FPrivate, error);
    }
    if (FClaim >= 0) ::close(FClaim);
    Folder = FBefore;
}
