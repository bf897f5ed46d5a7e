// Parts of file names, taken from the text alone (the file system is not
// asked).
#pragma once

#include <string>

// The folder of a file name: everything before the last "/", or "/" for a
// file in the root folder, or "" for a bare name.
std::string FolderOf(const std::string& fileName);

// The part of the name after the last dot, unless a path separator (slash
// or backslash) or a colon follows that dot: then the dot belongs to a folder.
std::string ExtensionOf(const std::string& fileName);
