// Closes the codec's files however a command ends.
#pragma once

#include "codec/unit2.h"

struct CodecFiles {
    CodecFiles() = default;
    CodecFiles(const CodecFiles&) = delete;
    CodecFiles& operator=(const CodecFiles&) = delete;
    ~CodecFiles() { unit2::CloseFiles(); }
};
