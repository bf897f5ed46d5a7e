// The codec's input from a command's input: the file itself, or the bytes
// read into memory.
#pragma once

#include "codec/unit2.h"
#include "pack/pack_steps.h"
#include "tools/cli/cli_files.h"

inline void OpenCodecInput(TInput& input) {
    if (input.InMemory())
        pack::OpenInputBytes(input.TakeBytes());
    else
        unit2::OpenInputFile(input.Path());
}
