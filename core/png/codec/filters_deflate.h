// Trial compression of candidate rows with the engine's deflate, for the row
// filter strategies that choose by compressed size. Internal to the filters.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

struct deflate_trial_kind {
    bool persistent = false;  // one stream over the image instead of each row alone
    int level = 9;
    int strategy = 1;         // zlib strategy: 1 filtered, 3 run length
    int good_length = 4, max_lazy = 32, nice_length = 32, max_chain = 25;
};

// Parameters of strategies 5 and 9-13 (other codes give strategy 5's).
deflate_trial_kind deflate_trial_for_strategy(uint32_t strategy);

// Each row compressed alone into a scratch buffer; the size is the whole
// raw deflate stream for that row.
class row_compression_trials {
public:
    row_compression_trials();
    ~row_compression_trials();
    row_compression_trials(const row_compression_trials&) = delete;
    row_compression_trials& operator=(const row_compression_trials&) = delete;

    // False when the stream or its output buffer cannot be set up.
    bool start(const deflate_trial_kind& kind, uint64_t row_bytes);
    // False when the stream fails.
    bool compressed_size(const unsigned char* row, uint64_t length, uint64_t& size);

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

// One main stream that has seen every chosen row so far, measured (never
// written); each candidate is measured on a copy of it as if the stream ended
// after that row.
class persistent_stream_trials {
public:
    persistent_stream_trials();
    ~persistent_stream_trials();
    persistent_stream_trials(const persistent_stream_trials&) = delete;
    persistent_stream_trials& operator=(const persistent_stream_trials&) = delete;

    // `total_bytes` is the size of all filtered data (it sizes the window).
    bool start(const deflate_trial_kind& kind, uint64_t total_bytes);
    // Size of the whole stream if it ended after `row` (type byte included).
    bool measure_candidate(const unsigned char* row, uint64_t length, uint64_t& size);
    // Feeds the chosen row to the main stream.
    bool append_row(const unsigned char* row, uint64_t length);

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};
