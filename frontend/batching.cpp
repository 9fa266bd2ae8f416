// Batch mode, batch size and engine arguments; see batching.h.
#include "frontend/batching.h"

#include <algorithm>
#include <array>
#include <utility>

namespace {

// First band whose limit lies above the average gives the batch size. The
// band from 24576 to 32767 bytes gives 18, fewer than the next band's 24.
constexpr std::array<std::pair<uint64_t, uint32_t>, 7> size_bands = {{
    {2048, 128},
    {4096, 112},
    {8192, 96},
    {16384, 80},
    {24576, 64},
    {32768, 18},
    {40960, 24},
}};
constexpr uint32_t largest_files_batch = 16;

}  // namespace

bool single_file_mode(int32_t multitask_index, uint32_t row_count) {
    return multitask_index == background_multitask_index || row_count == 2;
}

uint64_t average_file_size(uint64_t size_sum, uint32_t row_count) {
    return row_count == 0 ? 0 : size_sum / row_count;
}

uint32_t batch_size_for(uint64_t average, uint32_t row_count, int32_t png_level_index, int32_t jpeg_level_index) {
    uint32_t size = largest_files_batch;
    for (const auto& [limit, files] : size_bands) {
        if (average < limit) {
            size = files;
            break;
        }
    }
    if (size > row_count) size = row_count / 2;
    if (png_level_index > 0 || jpeg_level_index > 0) size = std::min(size, 96u);
    if (png_level_index > 1 || jpeg_level_index > 1) size = std::min(size, 64u);
    if (png_level_index > 2) size = std::min(size, 16u);
    // A batch of none would never move the run forward.
    return std::max(size, 1u);
}

uint32_t batch_end(uint32_t next_row, uint32_t batch_size, uint32_t row_count) {
    const uint64_t end = uint64_t{next_row} + batch_size;
    return end < row_count ? static_cast<uint32_t>(end) : row_count;
}

std::vector<std::string> engine_arguments(const std::string& options, const std::vector<std::string>& paths) {
    std::vector<std::string> args;
    size_t start = 0;
    while (start < options.size()) {
        const size_t blank = options.find(' ', start);
        const size_t end = blank == std::string::npos ? options.size() : blank;
        if (end > start) args.push_back(options.substr(start, end - start));
        start = end + 1;
    }
    args.insert(args.end(), paths.begin(), paths.end());
    return args;
}

uint32_t expected_probe_status(int32_t probe_answer) { return static_cast<uint32_t>(probe_answer) & 0xFF; }
