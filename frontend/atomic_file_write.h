// Whole-file writes of the front end's own files (velto.ini, the report) that
// never leave a half-written file: the bytes go to a temporary file in the
// same folder, which is renamed over the target only when every write and the
// flush to disk succeeded.
#pragma once
#include <cstddef>
#include <string>

// Writes `size` bytes from `data` as the new content of `path`. The file keeps
// its permission bits when it exists, else gets 0644. On failure the
// temporary file is removed, `path` is as it was, and the result is false.
bool write_file_atomically(const std::string& path, const void* data, size_t size);
