// Parts of file names, taken from the text alone (the file system is not
// asked).
#pragma once

#include <string>

// The folder of a file name: everything before the last "/", or "/" for a
// file in the root folder, or "" for a bare name.
std::string FolderOf(const std::string& fileName);
