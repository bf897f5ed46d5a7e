#include "core/file_names.h"

std::string FolderOf(const std::string& fileName) {
    const size_t slash = fileName.rfind('/');
    if (slash == std::string::npos) return std::string();
    if (slash == 0) return "/";
    return fileName.substr(0, slash);
}

std::string ExtensionOf(const std::string& fileName) {
    const size_t dot = fileName.rfind('.');
    if (dot == std::string::npos) return {};
    if (fileName.find_first_of("/\\:", dot) != std::string::npos) return {};
    return fileName.substr(dot + 1);
}
