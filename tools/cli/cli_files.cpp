#include "tools/cli/cli_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "codec/unit2.h"
#include "core/exceptions.h"
#include "core/safe_write.h"
#include "core/streams.h"
#include "imaging/jpeg.h"

namespace {

const char* const kStandardInput = "standard input";
const char* const kStandardOutput = "standard output";

std::string SystemReason(int error) { return error != 0 ? std::strerror(error) : "unknown error"; }

// The text of a message after the file's name in it ("Cannot write OUT: No
// space left on device" gives "No space left on device").
std::string AfterName(const std::string& text, const std::string& file) {
    const size_t at = file.empty() ? std::string::npos : text.rfind(file + ": ");
    return at == std::string::npos ? text : text.substr(at + file.size() + 2);
}

// Reads everything `fd` gives into memory, up to what the codec can take.
std::vector<uint8_t> ReadAll(int fd, const std::string& label) {
    std::vector<uint8_t> bytes;
    size_t size = 0;
    for (;;) {
        if (bytes.size() - size < 65536) bytes.resize(std::max<size_t>(bytes.size() * 2, size + 65536));
        const ssize_t n = ::read(fd, bytes.data() + size, bytes.size() - size);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw EFileFailure(label, SystemReason(errno));
        }
        if (n == 0) break;
        size += size_t(n);
        if (int64_t(size) >= unit2::kMaxInputSize)
            throw EFileFailure(label, "too large: the codec handles inputs shorter than " +
                                          std::to_string(unit2::kMaxInputSize) + " bytes");
    }
    bytes.resize(size);
    bytes.shrink_to_fit();
    return bytes;
}

// Copies the file `name` to standard output.
void CopyToStandardOutput(const std::string& name) {
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw EFileFailure(name, SystemReason(errno));
    std::vector<uint8_t> buffer(size_t(1) << 20);
    int error = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = errno;
            ::close(fd);
            throw EFileFailure(name, SystemReason(error));
        }
        if (n == 0) break;
        error = WriteAllBytes(STDOUT_FILENO, buffer.data(), size_t(n));
        if (error != 0) break;
    }
    ::close(fd);
    if (error != 0) throw EFileFailure(kStandardOutput, SystemReason(error));
}

std::string TemporaryFolder() {
    const char* folder = std::getenv("TMPDIR");
    return folder && *folder ? folder : "/tmp";
}

}  // namespace

bool IsStandardInput(const std::string& name) {
    return name == "-" || name == "/dev/stdin" || name == "/dev/fd/0" || name == "/proc/self/fd/0";
}

bool IsStandardOutput(const std::string& name) {
    return name == "-" || name == "/dev/stdout" || name == "/dev/fd/1" || name == "/proc/self/fd/1";
}

std::string InputLabel(const std::string& name) { return IsStandardInput(name) ? kStandardInput : name; }

std::string OutputLabel(const std::string& name) { return IsStandardOutput(name) ? kStandardOutput : name; }

std::string ReasonOf(const std::exception& failure, const std::string& file) {
    if (const auto* e = dynamic_cast<const EFileFailure*>(&failure)) return e->Reason();
    if (const auto* e = dynamic_cast<const EOutputError*>(&failure)) return AfterName(e->Detail(), file);
    if (const auto* e = dynamic_cast<const EJPEGExplained*>(&failure)) return "JPEG data: " + e->Reason();
    if (const auto* e = dynamic_cast<const EJPEG*>(&failure)) return "JPEG data: " + e->Message();
    if (const auto* e = dynamic_cast<const EInvalidGraphic*>(&failure))
        return e->Message() == EInvalidGraphic().Message() ? "not a valid bitmap" : e->Message();
    if (dynamic_cast<const EReadError*>(&failure)) return "read error";
    if (dynamic_cast<const std::bad_alloc*>(&failure)) return "out of memory";
    return AfterName(failure.what(), file);
}

// --- input -------------------------------------------------------------------

TInput::TInput(const std::string& name) : FLabel(InputLabel(name)) {
    int fd = STDIN_FILENO;
    if (!IsStandardInput(name)) {
        do {
            fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) throw EFileFailure(FLabel, SystemReason(errno));
    }
    struct stat st {};
    const bool known = ::fstat(fd, &st) == 0;
    try {
        if (known && S_ISDIR(st.st_mode)) throw EFileFailure(FLabel, SystemReason(EISDIR));
        if (known && S_ISREG(st.st_mode)) {
            FHasIdentity = true;
            FDevice = st.st_dev;
            FInode = st.st_ino;
        }
        if (known && S_ISREG(st.st_mode) && fd != STDIN_FILENO)
            FPath = name;
        else
            FBytes = ReadAll(fd, FLabel);
    } catch (...) {
        if (fd != STDIN_FILENO) ::close(fd);
        throw;
    }
    if (fd != STDIN_FILENO) ::close(fd);
}

bool TInput::SameFileAs(const struct stat& other) const {
    return FHasIdentity && other.st_dev == FDevice && other.st_ino == FInode;
}

// --- output ------------------------------------------------------------------

TOutput::TOutput(const std::string& name, bool force, const TInput& input)
    : FName(name), FLabel(OutputLabel(name)), FStandard(IsStandardOutput(name)) {
    if (FStandard) return;
    struct stat link {};
    if (::lstat(name.c_str(), &link) != 0) {
        if (errno == ENOENT) return;  // a new file
        throw EFileFailure(FLabel, SystemReason(errno));
    }
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0) {
        // A link that leads nowhere, or round in a loop, is not replaced by
        // a file of its own.
        if (errno == ENOENT) throw EFileFailure(FLabel, "a symbolic link to a missing file; not replaced");
        throw EFileFailure(FLabel, SystemReason(errno) + "; not replaced");
    }
    if (S_ISDIR(st.st_mode)) throw EFileFailure(FLabel, SystemReason(EISDIR));
    if (!S_ISREG(st.st_mode)) throw EFileFailure(FLabel, "not a regular file; not replaced");
    if (input.SameFileAs(st)) throw EFileFailure(FLabel, "the input file itself; not overwritten");
    if (force) return;
    if (::access(name.c_str(), W_OK) != 0 || (st.st_mode & 0222) == 0)
        throw EFileFailure(FLabel, "is write-protected; not overwritten (-f replaces it)", " ");
    throw EFileFailure(FLabel, "already exists; not overwritten (-f replaces it)", " ");
}

void TOutput::Write(const std::function<void(const std::string& fileName)>& fill,
                    const std::function<void()>& beforeDone) {
    // A failure inside `fill` that is not about writing (the input's) goes
    // on as it is; the rest is about this output.
    bool filling = false;
    const auto fillMarked = [&](const std::string& fileName) {
        filling = true;
        fill(fileName);
        filling = false;
    };
    try {
        if (!FStandard) {
            WriteFileSafely(FName, fillMarked, beforeDone);
            return;
        }
        // Made whole in a private file first, so that a failure sends
        // nothing at all.
        const std::string file = CreateFileBeside(TemporaryFolder() + "/vendaru-cli", ".out");
        try {
            WriteForTarget(FLabel, [&] { fillMarked(file); });
            if (beforeDone) beforeDone();
            CopyToStandardOutput(file);
        } catch (...) {
            RemoveTemporaryFile(file);
            throw;
        }
        RemoveTemporaryFile(file);
    } catch (const EFileFailure&) {
        throw;
    } catch (const EOutputError& e) {
        throw EFileFailure(FLabel, ReasonOf(e, FLabel));
    } catch (const std::exception& e) {
        if (filling) throw;
        throw EFileFailure(FLabel, ReasonOf(e, FName));
    }
}

void WriteStandardOutput(const std::string& text) {
    const int error = WriteAllBytes(STDOUT_FILENO, text.data(), text.size());
    if (error != 0) throw EFileFailure(kStandardOutput, SystemReason(error));
}
