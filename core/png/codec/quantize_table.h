// A compact open-addressing map from 32-bit keys to non-zero 32-bit values,
// used by the quantiser for its colour census and its finest cell histogram.
// One 8-byte slot per entry (a slot whose value is 0 is empty), linear
// probing, kept at most 70% full: millions of colours cost 11 to 23 bytes each.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

class quantize_key_table {
public:
    quantize_key_table() { rebuild(10); }

    size_t size() const { return size_; }

    // The value stored for key, 0 when the key is absent.
    uint32_t find(uint32_t key) const {
        for (size_t i = home(key);; i = (i + 1) & mask_) {
            const slot& s = slots_[i];
            if (s.value == 0 || s.key == key) return s.value;
        }
    }

    // The value slot of key; a new key gets value 0 and `added` set. The caller
    // must store a non-zero value before the next call on the table.
    uint32_t& value_for(uint32_t key, bool& added) {
        if ((size_ + 1) * 10 > slots_.size() * 7) rebuild(bits_ + 1);
        for (size_t i = home(key);; i = (i + 1) & mask_) {
            slot& s = slots_[i];
            if (s.value == 0) {
                s.key = key;
                ++size_;
                added = true;
                return s.value;
            }
            if (s.key == key) {
                added = false;
                return s.value;
            }
        }
    }

    // Calls f(key, value) for every entry, in no particular order.
    template <class F>
    void for_each(F f) const {
        for (const slot& s : slots_)
            if (s.value != 0) f(s.key, s.value);
    }

private:
    size_t home(uint32_t key) const { return size_t((key * 0x9E3779B97F4A7C15ull) >> (64 - bits_)); }

    struct slot {
        uint32_t key;
        uint32_t value;
    };

    void rebuild(unsigned bits) {
        std::vector<slot> old;
        old.swap(slots_);
        bits_ = bits;
        slots_.assign(size_t(1) << bits, slot{0, 0});
        mask_ = slots_.size() - 1;
        for (const slot& s : old) {
            if (s.value == 0) continue;
            size_t i = home(s.key);
            while (slots_[i].value != 0) i = (i + 1) & mask_;
            slots_[i] = s;
        }
    }

    std::vector<slot> slots_;
    unsigned bits_ = 0;
    size_t mask_ = 0;
    size_t size_ = 0;
};
