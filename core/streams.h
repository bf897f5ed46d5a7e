// Byte streams: an abstract stream, a file stream over a POSIX descriptor
// and a growable in-memory stream.
//
// Reading stops short only at the end of the data; an operating-system
// failure while reading raises EReadError. A write either stores every byte
// or raises EWriteError: a short write is never passed over silently. A
// failing Seek or Size raises the error of the stream's direction: EReadError
// on a stream opened for reading, EWriteError on one opened for writing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
public:
    virtual ~TStream() = default;
    TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;

    // Reads up to `count` bytes; returns how many were read (0 at the end).
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    // Writes all `count` bytes or raises EWriteError; returns `count`.
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;

    // Reads exactly `count` bytes or raises EReadError.
    void ReadBuffer(void* buffer, int64_t count);
    void WriteBuffer(const void* buffer, int64_t count) { Write(buffer, count); }

    int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(int64_t position) { Seek(position, TSeekOrigin::soBeginning); }
    virtual int64_t Size();
    // The stream's whole content when it lies in memory that may be read
    // and resized in place of Read, Write and Size; nullptr otherwise (and
    // for a stream whose reads or writes do more than copy bytes).
    virtual std::vector<uint8_t>* MemoryBytes() { return nullptr; }
};

class TFileStream : public TStream {
public:
    enum Mode {
        fmOpenRead,       // existing file, read only
        fmOpenReadWrite,  // existing file, read and write
        fmCreate,         // create or truncate to length 0, read and write
    };
    // Raises EFOpenError (open modes) or EFCreateError (fmCreate) with the
    // file name when the file cannot be opened. fmOpenRead opens regular
    // files only: a folder, pipe or device raises EFOpenError.
    TFileStream(const std::string& fileName, Mode mode);
    ~TFileStream() override;

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override;

    const std::string& FileName() const { return FFileName; }

private:
    [[noreturn]] void Fail() const;

    std::string FFileName;
    int FHandle = -1;
    bool FWriting = false;
};

class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::vector<uint8_t> data) : FData(std::move(data)) {}

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return static_cast<int64_t>(FData.size()); }
    std::vector<uint8_t>* MemoryBytes() override { return &FData; }

    void SetSize(int64_t size) { FData.resize(static_cast<size_t>(size)); }
    void Clear() { FData.clear(); FPosition = 0; }
    const std::vector<uint8_t>& Data() const { return FData; }
    std::vector<uint8_t>& Data() { return FData; }

    void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName);

private:
    std::vector<uint8_t> FData;
    int64_t FPosition = 0;
};

// Writes all `count` bytes to the open file `handle`, again after an
// interrupted call. Returns 0 when every byte is written, else the system's
// error code (EIO for a write that takes no bytes).
int WriteAllBytes(int handle, const void* buffer, size_t count) noexcept;

// True when `fileName` names an existing regular file (not a folder).
bool FileExists(const std::string& fileName);
// Deletes a file; false when it did not exist or could not be deleted.
bool DeleteFile(const std::string& fileName);
