// The files of one run of a command: its input (a file, or standard input
// read into memory), its output (a file replaced safely, or standard
// output) and the failures about them, each naming its file and reason.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

// A failure about one file: the tool prints "COMMAND: FILE: REASON" (or
// FILE and the reason joined otherwise, as in "FILE already exists").
class EFileFailure : public std::exception {
public:
    EFileFailure(std::string file, std::string reason, const std::string& joiner = ": ")
        : FFile(std::move(file)), FReason(std::move(reason)), FText(FFile + joiner + FReason) {}
    const std::string& File() const noexcept { return FFile; }
    const std::string& Reason() const noexcept { return FReason; }
    const char* what() const noexcept override { return FText.c_str(); }

private:
    std::string FFile, FReason, FText;
};

// "-", /dev/stdin and /dev/stdout stand for the standard streams.
bool IsStandardInput(const std::string& name);
bool IsStandardOutput(const std::string& name);
// The name a message gives a file: "standard input" and "standard output"
// for the streams.
std::string InputLabel(const std::string& name);
std::string OutputLabel(const std::string& name);

// The reason a failure gives, in words, for a message about `file`.
std::string ReasonOf(const std::exception& failure, const std::string& file);

// Runs `step`; what it raises comes out as EFileFailure about `file`.
template <class Step>
decltype(auto) About(const std::string& file, Step&& step) {
    try {
        return step();
    } catch (const EFileFailure&) {
        throw;
    } catch (const std::exception& e) {
        throw EFileFailure(file, ReasonOf(e, file));
    }
}

// An input, opened and checked at once: a regular file stays where it is;
// standard input and anything else that can be read only once (a pipe) is
// read into memory, since the codec reads its input twice.
class TInput {
public:
    explicit TInput(const std::string& name);

    const std::string& Label() const { return FLabel; }
    // The file's name; empty when the bytes are in memory.
    const std::string& Path() const { return FPath; }
    bool InMemory() const { return FPath.empty(); }
    // The bytes read into memory (once).
    std::vector<uint8_t> TakeBytes() { return std::move(FBytes); }
    // Same device and inode: the same file.
    bool SameFileAs(const struct stat& other) const;

private:
    std::string FLabel, FPath;
    std::vector<uint8_t> FBytes;
    bool FHasIdentity = false;
    dev_t FDevice = 0;
    ino_t FInode = 0;
};

// An output, checked before any work: never the input itself, an existing
// file only with `force`, a symbolic link only when it leads to a file.
class TOutput {
public:
    TOutput(const std::string& name, bool force, const TInput& input);

    const std::string& Label() const { return FLabel; }
    bool ToStandardOutput() const { return FStandard; }

    // Fills a new file through `fill` and then, after `beforeDone`, puts it
    // in place: renamed over the target, or copied to standard output. A
    // failure leaves the target as it was and no temporary file behind.
    void Write(const std::function<void(const std::string& fileName)>& fill,
               const std::function<void()>& beforeDone = nullptr);

private:
    std::string FName, FLabel;
    bool FStandard = false;
};

// Writes all of `text` to standard output and flushes it; EFileFailure
// about "standard output" with the system's reason when it cannot.
void WriteStandardOutput(const std::string& text);
