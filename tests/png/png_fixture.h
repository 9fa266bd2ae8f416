// Small PNG files built in code for the output and colour-profile tests:
// chunks from type and data, stored-block zlib streams, images through the
// engine's encoder, and a chunk list reader.
#pragma once
#include <zlib.h>

#include <boost/filesystem.hpp>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/png/codec/codec_state.h"
#include "core/png/codec/encode.h"

namespace fixture {

using bytes = std::vector<uint8_t>;

inline void put_u32(bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
}

inline bytes text(const std::string& s) { return bytes(s.begin(), s.end()); }

// A zlib stream of stored blocks.
inline bytes zlib_stored(const bytes& data) {
    bytes out = {0x78, 0x01};
    size_t pos = 0;
    do {
        const size_t n = std::min<size_t>(65535, data.size() - pos);
        out.push_back(pos + n == data.size() ? 1 : 0);
        out.insert(out.end(), {uint8_t(n), uint8_t(n >> 8), uint8_t(~n), uint8_t(~n >> 8)});
        out.insert(out.end(), data.begin() + long(pos), data.begin() + long(pos + n));
        pos += n;
    } while (pos < data.size());
    put_u32(out, uint32_t(adler32(adler32(0, Z_NULL, 0), data.data(), uInt(data.size()))));
    return out;
}

// The data of an iCCP chunk holding `profile`.
inline bytes iccp_data(const bytes& profile, const std::string& name = "icc") {
    bytes data = text(name);
    data.push_back(0);
    data.push_back(0);  // compression method
    const bytes z = zlib_stored(profile);
    data.insert(data.end(), z.begin(), z.end());
    return data;
}

// One whole chunk: length, type, data, CRC.
inline bytes chunk(const char* type, const bytes& data) {
    bytes out;
    png_chunk_create(out, uint32_t(data.size()), type, data.data());
    return out;
}

struct chunk_view {
    std::string type;
    bytes whole;  // length, type, data and CRC
};

// The chunks of a well-formed file in order.
inline std::vector<chunk_view> chunks_of(const bytes& png) {
    std::vector<chunk_view> list;
    size_t pos = 8;
    while (pos + 12 <= png.size()) {
        const size_t length = png_chunk_length(&png[pos]);
        if (pos + 12 + length > png.size()) break;
        char type[5];
        png_chunk_type(type, &png[pos]);
        list.push_back({type, bytes(png.begin() + long(pos), png.begin() + long(pos + 12 + length))});
        pos += 12 + length;
    }
    return list;
}

inline std::vector<std::string> chunk_types(const bytes& png) {
    std::vector<std::string> types;
    for (const auto& c : chunks_of(png)) types.push_back(c.type);
    return types;
}

// The file with `extra` chunks inserted in front of the first chunk of type
// `before` (the whole chunks, in order).
inline bytes insert_before(const bytes& png, const char* before, const std::vector<bytes>& extra) {
    bytes out(png.begin(), png.begin() + 8);
    bool done = false;
    for (const auto& c : chunks_of(png)) {
        if (!done && c.type == before) {
            for (const auto& e : extra) out.insert(out.end(), e.begin(), e.end());
            done = true;
        }
        out.insert(out.end(), c.whole.begin(), c.whole.end());
    }
    return out;
}

// The RGBA8 image encoded with stored blocks: as RGBA when `rgba`, else with
// the encoder's automatic colour choice.
inline bytes encode_stored(const bytes& image, uint32_t width, uint32_t height, bool rgba) {
    lodepng::State state;
    state.encoder.compression.block_type = 0;
    state.encoder.auto_colour = rgba ? 0 : 1;
    state.encoder.filter_strategy_code = 0;
    state.file_info.colour.colour_type = 6;
    state.file_info.colour.bit_depth = 8;
    bytes out;
    encode_png(out, image, width, height, state, nullptr);
    return out;
}

// width x height RGBA8 pixels from a function of (x, y) giving {r, g, b, a}.
template <typename Colour>
bytes make_image(uint32_t width, uint32_t height, Colour colour) {
    bytes image;
    image.reserve(size_t(width) * height * 4);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const auto c = colour(x, y);
            image.insert(image.end(), {uint8_t(c[0]), uint8_t(c[1]), uint8_t(c[2]), uint8_t(c[3])});
        }
    return image;
}

// A temporary folder removed with its contents at the end of the test. With
// in_memory it is made in /dev/shm when that exists, so that tests writing
// megabytes through the safe replace (which syncs) stay fast.
struct scratch_folder {
    std::string path;
    explicit scratch_folder(bool in_memory = false) {
        boost::system::error_code ec;
        const boost::filesystem::path base = in_memory && boost::filesystem::is_directory("/dev/shm", ec)
                                                 ? boost::filesystem::path("/dev/shm")
                                                 : boost::filesystem::temp_directory_path();
        std::string pattern = (base / "velto-png-XXXXXX").string();
        const char* made = ::mkdtemp(pattern.data());
        path = made ? std::string(made) : std::string();
    }
    ~scratch_folder() {
        boost::system::error_code ec;
        boost::filesystem::remove_all(path, ec);
    }
    scratch_folder(const scratch_folder&) = delete;
    scratch_folder& operator=(const scratch_folder&) = delete;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

inline void write_bytes(const std::string& path, const bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

inline bytes read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool file_exists(const std::string& path) {
    boost::system::error_code ec;
    return boost::filesystem::exists(path, ec);
}

}  // namespace fixture
