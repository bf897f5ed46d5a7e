#include "core/streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/exceptions.h"

void TStream::ReadBuffer(void* buffer, int64_t count) {
    if (count != 0 && Read(buffer, count) != count) throw EReadError();
}

int64_t TStream::Size() {
    const int64_t position = Seek(0, TSeekOrigin::soCurrent);
    const int64_t size = Seek(0, TSeekOrigin::soEnd);
    Seek(position, TSeekOrigin::soBeginning);
    return size;
}

// ---------------------------------------------------------------------------

TFileStream::TFileStream(const std::string& fileName, Mode mode)
    : FFileName(fileName), FWriting(mode != fmOpenRead) {
    int flags = O_CLOEXEC;
    switch (mode) {
        // Without blocking, so that opening a named pipe does not wait for
        // a writer; only regular files are accepted below.
        case fmOpenRead: flags |= O_RDONLY | O_NONBLOCK; break;
        case fmOpenReadWrite: flags |= O_RDWR; break;
        case fmCreate: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    }
    do {
        FHandle = ::open(fileName.c_str(), flags, 0666);
    } while (FHandle < 0 && errno == EINTR);
    if (FHandle < 0) {
        if (mode == fmCreate) throw EFCreateError(fileName);
        throw EFOpenError(fileName);
    }
    if (mode == fmOpenRead) {
        // A folder, pipe or device cannot be read as a file.
        struct stat st {};
        if (::fstat(FHandle, &st) != 0 || !S_ISREG(st.st_mode) ||
            ::fcntl(FHandle, F_SETFL, ::fcntl(FHandle, F_GETFL) & ~O_NONBLOCK) != 0) {
            ::close(FHandle);
            FHandle = -1;
            throw EFOpenError(fileName);
        }
    }
}

TFileStream::~TFileStream() {
    if (FHandle >= 0) ::close(FHandle);
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
    auto* out = static_cast<char*>(buffer);
    int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(FHandle, out + done, static_cast<size_t>(count - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw EReadError();
        }
        if (n == 0) break;  // end of file
        done += n;
    }
    return done;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
    if (count > 0 && WriteAllBytes(FHandle, buffer, static_cast<size_t>(count)) != 0) throw EWriteError();
    return count;
}

void TFileStream::Fail() const {
    if (FWriting) throw EWriteError();
    throw EReadError();
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    const int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
                       : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                          : SEEK_END;
    const off_t result = ::lseek(FHandle, static_cast<off_t>(offset), whence);
    if (result < 0) Fail();
    return result;
}

int64_t TFileStream::Size() {
    struct stat st {};
    if (::fstat(FHandle, &st) != 0) Fail();
    return st.st_size;
}

// ---------------------------------------------------------------------------

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
    const int64_t available = std::max<int64_t>(0, Size() - FPosition);
    const int64_t n = std::clamp<int64_t>(count, 0, available);
    if (n > 0) std::memcpy(buffer, FData.data() + FPosition, static_cast<size_t>(n));
    FPosition += n;
    return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
    if (count <= 0) return 0;
    const int64_t end = FPosition + count;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    if (FPosition == Size()) {
        // Appending: copied once, without clearing the new room first.
        FData.insert(FData.end(), bytes, bytes + count);
        FPosition = end;
        return count;
    }
    if (end > Size()) FData.resize(static_cast<size_t>(end));
    std::memcpy(FData.data() + FPosition, buffer, static_cast<size_t>(count));
    FPosition = end;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    const int64_t base = origin == TSeekOrigin::soBeginning ? 0
                         : origin == TSeekOrigin::soCurrent ? FPosition
                                                            : Size();
    FPosition = std::max<int64_t>(0, base + offset);
    return FPosition;
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
    TFileStream file(fileName, TFileStream::fmOpenRead);
    const int64_t size = file.Size();
    FData.resize(static_cast<size_t>(size));
    file.ReadBuffer(FData.data(), size);
    FPosition = 0;
}

void TMemoryStream::SaveToFile(const std::string& fileName) {
    TFileStream file(fileName, TFileStream::fmCreate);
    file.WriteBuffer(FData.data(), Size());
}

int WriteAllBytes(int handle, const void* buffer, size_t count) noexcept {
    const auto* in = static_cast<const char*>(buffer);
    while (count > 0) {
        const ssize_t n = ::write(handle, in, count);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;
        in += n;
        count -= static_cast<size_t>(n);
    }
    return 0;
}

bool FileExists(const std::string& fileName) {
    struct stat st {};
    return ::stat(fileName.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DeleteFile(const std::string& fileName) { return ::unlink(fileName.c_str()) == 0; }
