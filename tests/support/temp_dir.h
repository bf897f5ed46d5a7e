// A fresh folder under /tmp for one test, removed with everything in it
// when the test ends.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

struct TempDir {
    std::filesystem::path path;
    TempDir() {
        char tmpl[] = "/tmp/vg-test-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};
