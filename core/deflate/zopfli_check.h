// Guards for the Zopfli-style compressor that stay active in release builds.
// A failed guard means the stream about to be written would be broken; the
// engine then ends with exit code 1 instead of writing it.
#pragma once

#include "core/fatal.h"

#define ZOPFLI_CHECK(cond)                     \
    do {                                       \
        if (!(cond)) ::fatal_exit();           \
    } while (0)
