#include "core/exceptions.h"

#include <cerrno>

namespace {
std::string InOutText(int errorCode) {
    if (errorCode == EACCES || errorCode == EPERM || errorCode == EROFS)
        return "File access denied";
    return "I/O error " + std::to_string(errorCode);
}
}  // namespace

EInOutError::EInOutError(int errorCode) : Exception(InOutText(errorCode)), FErrorCode(errorCode) {}

EConvertError EConvertError::CannotAssign(const std::string& sourceClass,
                                          const std::string& targetClass) {
    return EConvertError("Cannot assign a " + sourceClass + " to a " + targetClass);
}

EJPEG::EJPEG(int code) : Exception("JPEG error #" + std::to_string(code)), FCode(code) {}
