#include "core/jpg/jpeg_colour.h"

#include <lcms2.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "core/png/colour_profile.h"

namespace {

bool is_icc_chunk(const jpeg_marker_struct& s) {
    return s.marker == JPEG_APP0 + 2 && s.data_length >= 14 && std::memcmp(s.data, "ICC_PROFILE", 12) == 0;
}

}  // namespace

int compare_icc_chunks(const void* a, const void* b) {
    return static_cast<const icc_chunk*>(a)->sequence - static_cast<const icc_chunk*>(b)->sequence;
}

bool read_jpeg_icc(jpeg_saved_marker_ptr segments, std::string& profile) {
    profile.clear();
    icc_chunk chunks[255];
    bool seen[256] = {};
    int found = 0, count = 0;
    size_t total = 0;
    for (jpeg_saved_marker_ptr s = segments; s; s = s->next) {
        if (!is_icc_chunk(*s)) continue;
        const int sequence = s->data[12], declared = s->data[13];
        if ((found > 0 && declared != count) || sequence == 0 || sequence > declared || seen[sequence]) return false;
        count = declared;
        seen[sequence] = true;
        chunks[found++] = {s->data + 14, s->data_length - 14u, sequence};
        total += s->data_length - 14u;
    }
    // No repeats and none above the count: the chain is whole when there are
    // as many chunks as it declares.
    if (found == 0 || found != count || total == 0) return false;
    std::qsort(chunks, size_t(found), sizeof(icc_chunk), compare_icc_chunks);
    try {
        profile.reserve(total);
        for (int i = 0; i < found; ++i) profile.append(reinterpret_cast<const char*>(chunks[i].payload), chunks[i].length);
    } catch (const std::bad_alloc&) {
        profile.clear();
        return false;
    }
    return true;
}

bool convert_jpeg_to_srgb(jpeg_saved_marker_ptr segments, std::vector<uint8_t>& pixels, image_job& job) {
    const uint64_t n = job.pixel_count;
    const unsigned bpp = job.bytes_per_pixel;
    if ((bpp != 3 && bpp != 4) || pixels.size() < n * bpp) return false;
    std::string profile;
    if (!read_jpeg_icc(segments, profile)) return false;
    const auto* icc = reinterpret_cast<const uint8_t*>(profile.data());
    if (bpp == 3) {
        if (!transform_profile_to_srgb(icc, profile.size(), TYPE_RGB_8, pixels.data(), TYPE_RGB_8, pixels.data(),
                                       job.pixel_count))
            return false;
    } else {
        std::vector<uint8_t> rgb;
        try {
            rgb.assign(size_t(n) * 3 + jpeg_pixel_spare, 0);
        } catch (const std::bad_alloc&) {
            return false;
        }
        if (!transform_profile_to_srgb(icc, profile.size(), TYPE_CMYK_8_REV, pixels.data(), TYPE_RGB_8, rgb.data(),
                                       job.pixel_count))
            return false;
        pixels.swap(rgb);
    }
    job.keep_icc = 0;
    job.bytes_per_pixel = 3;
    return true;
}
