// Window, hash chains and the two parse routines of the zdeflate stream.
#pragma once

#include "core/deflate/zlib_state.h"

namespace zdeflate {

// Slides the window when needed, reads input into it, enters held-back
// positions into the hash chains and zero-fills the bytes a match may read
// past the data.
void refill_window(deflate_state* s);

// Takes every match found (levels 2 and 3).
parse_result parse_fast(deflate_state* s, int flush, uLong* measure);

// Defers each match by one byte to look for a longer one (levels 0, 1, 4-9).
parse_result parse_lazy(deflate_state* s, int flush, uLong* measure);

}  // namespace zdeflate
