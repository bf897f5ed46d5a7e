// Exception classes shared by every part of the program.
//
// Every failure is an exception of its own class that carries a fixed
// message text. The UI's default handler shows `Message()`; the class is
// what callers and tests tell failures apart by.
#pragma once

#include <exception>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}
    const std::string& Message() const noexcept { return FMessage; }
    const char* what() const noexcept override { return FMessage.c_str(); }

private:
    std::string FMessage;
};

// Raised on purpose to end an operation quietly; never shown to the user.
class EAbort : public Exception {
public:
    EAbort() : Exception("Operation aborted") {}
};

// The codec's error (and general errors of our own).
class EError : public Exception {
public:
    using Exception::Exception;
};

// Stream errors.
class EStreamError : public Exception {
public:
    using Exception::Exception;
};
class EReadError : public EStreamError {
public:
    EReadError() : EStreamError("Stream read error") {}
};
class EWriteError : public EStreamError {
public:
    EWriteError() : EStreamError("Stream write error") {}
};
class EFOpenError : public EStreamError {
public:
    explicit EFOpenError(const std::string& fileName)
        : EStreamError("Cannot open file " + fileName) {}
};
class EFCreateError : public EStreamError {
public:
    explicit EFCreateError(const std::string& fileName)
        : EStreamError("Cannot create file " + fileName) {}
};

// Input/output error of text files: "File access denied" when the system
// refuses access, "I/O error N" otherwise.
class EInOutError : public Exception {
public:
    explicit EInOutError(int errorCode);
    int ErrorCode() const noexcept { return FErrorCode; }

private:
    int FErrorCode;
};

// Image errors.
class EInvalidGraphic : public Exception {
public:
    using Exception::Exception;
    EInvalidGraphic() : Exception("Bitmap image is not valid") {}
};
class EInvalidGraphicOperation : public Exception {
public:
    using Exception::Exception;
};
class EConvertError : public Exception {
public:
    using Exception::Exception;
    // "Cannot assign a <source class> to a <target class>"
    static EConvertError CannotAssign(const std::string& sourceClass,
                                      const std::string& targetClass);
};

// A fatal error of the JPEG library: "JPEG error #N" with the library's
// own message code; derived classes may carry a clearer text.
class EJPEG : public Exception {
public:
    explicit EJPEG(int code);
    EJPEG(int code, std::string message) : Exception(std::move(message)), FCode(code) {}
    int Code() const noexcept { return FCode; }

private:
    int FCode;
};
