// Trial compression for the row filter strategies that choose by size, on
// the engine's own deflate (raw streams, memory level 9).
//
// Per-row trials compress each candidate into a scratch buffer and reset the
// stream; persistent trials keep one measuring stream over the chosen rows and
// size each candidate on a copy of it, so every choice sees the real context
// of the rows before it without producing any output.
#include "core/png/codec/filters_deflate.h"

#include <climits>
#include <new>

#include "core/deflate/zlib_deflate.h"

namespace {

constexpr int deflate_method = 8;
constexpr int memory_level = 9;
// Free output space handed to measuring calls, which never consume it.
constexpr uInt measure_output_space = 4294967295u;

int bit_length(uint64_t x) {
    int n = 0;
    while (x) {
        ++n;
        x >>= 1;
    }
    return n;
}

// Raw deflate window for `bytes` of input: 2^9 .. 2^15.
int raw_window_bits(uint64_t bytes) {
    int bits = bit_length(bytes);
    if (bits < 9) bits = 9;
    if (bits > 15) bits = 15;
    return -bits;
}

bool open_stream(z_stream& strm, const deflate_trial_kind& kind, uint64_t bytes) {
    strm = z_stream{};
    return zdeflate::deflate_init2(&strm, kind.level, deflate_method, raw_window_bits(bytes),
                                   memory_level, kind.strategy, zdeflate::deflate_version,
                                   static_cast<int>(sizeof(z_stream))) == Z_OK;
}

void tune(z_stream& strm, const deflate_trial_kind& kind) {
    zdeflate::deflate_tune(&strm, kind.good_length, kind.max_lazy, kind.nice_length,
                           kind.max_chain);
}

}  // namespace

deflate_trial_kind deflate_trial_for_strategy(uint32_t strategy) {
    deflate_trial_kind kind;
    kind.persistent = strategy >= 10 && strategy <= 12;
    if (strategy == 9 || strategy == 11 || strategy == 12 || strategy == 13) {
        kind.level = 1;
        kind.strategy = 3;
    }
    if (strategy == 12 || strategy == 13) {
        kind.good_length = 1;
        kind.max_lazy = 8;
        kind.nice_length = 8;
        kind.max_chain = 24;
    }
    return kind;
}

struct row_compression_trials::impl {
    z_stream strm{};
    bool open = false;
    deflate_trial_kind kind;
    unsigned char* buffer = nullptr;
    uInt buffer_size = 0;

    ~impl() {
        if (open) zdeflate::deflate_end(&strm);
        delete[] buffer;
    }
};

row_compression_trials::row_compression_trials() = default;
row_compression_trials::~row_compression_trials() = default;

bool row_compression_trials::start(const deflate_trial_kind& kind, uint64_t row_bytes) {
    impl_.reset(new (std::nothrow) impl);
    if (!impl_ || row_bytes > UINT_MAX) return false;
    impl_->kind = kind;
    if (!open_stream(impl_->strm, kind, row_bytes)) return false;
    impl_->open = true;
    const uint64_t bound = zdeflate::deflate_bound(&impl_->strm, row_bytes);
    if (bound > UINT_MAX) return false;
    impl_->buffer = new (std::nothrow) unsigned char[bound];
    impl_->buffer_size = static_cast<uInt>(bound);
    return impl_->buffer != nullptr;
}

bool row_compression_trials::compressed_size(const unsigned char* row, uint64_t length,
                                             uint64_t& size) {
    z_stream& strm = impl_->strm;
    // A reset restores the level's parameters, so the tuning goes before each trial.
    tune(strm, impl_->kind);
    strm.next_in = const_cast<unsigned char*>(row);
    strm.avail_in = static_cast<uInt>(length);
    strm.next_out = impl_->buffer;
    strm.avail_out = impl_->buffer_size;
    const int ret = zdeflate::deflate_stream(&strm, Z_FINISH);
    size = strm.total_out;
    zdeflate::deflate_reset(&strm);
    return ret == Z_STREAM_END;
}

struct persistent_stream_trials::impl {
    z_stream main{}, trial{};
    bool main_open = false, trial_open = false;
    unsigned char placeholder = 0;

    ~impl() {
        if (trial_open) zdeflate::deflate_end(&trial);
        if (main_open) zdeflate::deflate_end(&main);
    }
};

persistent_stream_trials::persistent_stream_trials() = default;
persistent_stream_trials::~persistent_stream_trials() = default;

bool persistent_stream_trials::start(const deflate_trial_kind& kind, uint64_t total_bytes) {
    impl_.reset(new (std::nothrow) impl);
    if (!impl_) return false;
    if (!open_stream(impl_->main, kind, total_bytes)) return false;
    impl_->main_open = true;
    tune(impl_->main, kind);
    if (zdeflate::deflate_copy_state(&impl_->trial, &impl_->main, 1) != Z_OK) return false;
    impl_->trial_open = true;
    return true;
}

bool persistent_stream_trials::measure_candidate(const unsigned char* row, uint64_t length,
                                                 uint64_t& size) {
    if (length > UINT_MAX) return false;
    z_stream& trial = impl_->trial;
    if (zdeflate::deflate_copy_state(&trial, &impl_->main, 0) != Z_OK) {
        // A failed copy leaves the trial stream without state.
        impl_->trial_open = trial.state != nullptr;
        return false;
    }
    trial.next_in = const_cast<unsigned char*>(row);
    trial.avail_in = static_cast<uInt>(length);
    trial.next_out = &impl_->placeholder;
    trial.avail_out = measure_output_space;
    const int ret = zdeflate::deflate_measure(&trial, Z_FINISH);
    size = trial.total_out;
    return ret == Z_STREAM_END;
}

bool persistent_stream_trials::append_row(const unsigned char* row, uint64_t length) {
    if (length > UINT_MAX) return false;
    z_stream& main = impl_->main;
    main.next_in = const_cast<unsigned char*>(row);
    main.avail_in = static_cast<uInt>(length);
    main.next_out = &impl_->placeholder;
    main.avail_out = measure_output_space;
    const int ret = zdeflate::deflate_measure(&main, Z_NO_FLUSH);
    return ret == Z_OK && main.avail_in == 0;
}
