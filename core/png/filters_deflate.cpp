// Trial compression for the row filter strategies (interim: the engine's own
// deflate is not linked yet, so these strategies report a set-up failure).
#include "core/png/filters_deflate.h"

deflate_trial_kind deflate_trial_for_strategy(uint32_t strategy) {
    deflate_trial_kind kind;
    kind.persistent = strategy >= 10 && strategy <= 12;
    return kind;
}

struct row_compression_trials::impl {};
row_compression_trials::row_compression_trials() = default;
row_compression_trials::~row_compression_trials() = default;
bool row_compression_trials::start(const deflate_trial_kind&, uint64_t) { return false; }
bool row_compression_trials::compressed_size(const unsigned char*, uint64_t, uint64_t&) {
    return false;
}

struct persistent_stream_trials::impl {};
persistent_stream_trials::persistent_stream_trials() = default;
persistent_stream_trials::~persistent_stream_trials() = default;
bool persistent_stream_trials::start(const deflate_trial_kind&, uint64_t) { return false; }
bool persistent_stream_trials::measure_candidate(const unsigned char*, uint64_t, uint64_t&) {
    return false;
}
bool persistent_stream_trials::append_row(const unsigned char*, uint64_t) { return false; }
