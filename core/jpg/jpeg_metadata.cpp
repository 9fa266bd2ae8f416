#include "core/jpg/jpeg_metadata.h"

#include <md5.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/jpg/jpeg_colour.h"
#include "core/jpg/jpeg_exif.h"

namespace {

const char xmp_signature[] = "http://ns.adobe.com/xap/1.0/";            // 29 with the zero
const char extended_xmp_signature[] = "http://ns.adobe.com/xmp/extension/";  // 35 with the zero
const size_t extended_header = 40;  // GUID (32), full length (4), offset (4)

const metadata_rule rules[] = {
    {JPEG_APP0 + 1, "Exif\0", 6, metadata_target::exif},
    {JPEG_APP0 + 1, xmp_signature, 29, metadata_target::xmp},
    {JPEG_APP0 + 1, extended_xmp_signature, 35, metadata_target::extended_xmp},
    {JPEG_APP0 + 2, "ICC_PROFILE", 12, metadata_target::icc},
};

const metadata_rule* matching_rule(const jpeg_marker_struct& s) {
    for (const metadata_rule& r : rules)
        if (s.marker == r.marker && s.data_length > r.signature_length &&
            std::memcmp(s.data, r.signature, r.signature_length) == 0)
            return &r;
    return nullptr;
}

inline uint32_t read_be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// Copy of a segment as it stands in a file: FF, marker, length, data.
void append_verbatim(const jpeg_marker_struct& s, std::string& out) {
    const size_t length = size_t(s.data_length) + 2;
    out.push_back(char(0xFF));
    out.push_back(char(s.marker));
    out.push_back(char(length >> 8));
    out.push_back(char(length & 0xFF));
    const size_t data_start = out.size();
    out.append(reinterpret_cast<const char*>(s.data), s.data_length);
    // The encoder writes YCbCr; an Adobe segment whose transform flag says
    // otherwise would make decoders read the new colours as RGB or CMYK.
    if (s.marker == JPEG_APP0 + 14 && s.data_length >= 12 && std::memcmp(s.data, "Adobe", 5) == 0)
        out[data_start + 11] = 1;
}

// Sum of the data bytes all extended-XMP chunks carry: no declared length
// beyond it can ever be filled.
uint64_t extended_xmp_bytes(jpeg_saved_marker_ptr segments) {
    uint64_t sum = 0;
    for (jpeg_saved_marker_ptr s = segments; s; s = s->next) {
        const metadata_rule* r = matching_rule(*s);
        if (r && r->target == metadata_target::extended_xmp && s->data_length >= 35 + extended_header)
            sum += s->data_length - 35 - extended_header;
    }
    return sum;
}

// Extended text that does not fit the main packet's segment goes out again as
// extended-XMP chunks, after the main packet.
void append_extended_chunks(const extended_xmp_state& state, std::string& app_markers) {
    const size_t max_data = 65533 - 35 - extended_header;
    const uint32_t full = uint32_t(state.joined.size());
    for (size_t offset = 0; offset < state.joined.size(); offset += max_data) {
        const size_t n = std::min(max_data, state.joined.size() - offset);
        const size_t length = 2 + 35 + extended_header + n;
        std::string seg = {char(0xFF), char(JPEG_APP0 + 1), char(length >> 8), char(length & 0xFF)};
        seg.append(extended_xmp_signature, 35);
        seg += state.first_guid;
        for (uint32_t v : {full, uint32_t(offset)})
            for (int shift = 24; shift >= 0; shift -= 8) seg.push_back(char((v >> shift) & 0xFF));
        seg.append(state.joined, offset, n);
        app_markers += seg;
    }
}

}  // namespace

int append_if_empty(const uint8_t* payload, size_t length, std::string& destination) {
    if (!destination.empty()) return 0;
    destination.assign(reinterpret_cast<const char*>(payload), length);
    return 1;
}

void format_hex_byte(char buffer[3], uint8_t byte) {
    static const char digits[] = "0123456789ABCDEF";
    buffer[0] = digits[byte >> 4];
    buffer[1] = digits[byte & 15];
    buffer[2] = 0;
}

int check_extended_xmp(const uint8_t* payload, size_t length, extended_xmp_state& state) {
    state.valid = false;
    if (length < extended_header) return 0;
    const std::string guid(reinterpret_cast<const char*>(payload), 32);
    if (state.first_guid.empty())
        state.first_guid = guid;
    else if (guid != state.first_guid)
        return 0;
    const uint64_t full = read_be32(payload + 32);
    const uint64_t offset = read_be32(payload + 36);
    const uint64_t data = length - extended_header;
    if (state.joined.empty()) {
        // The declared length is allocated only when the chunks present can fill it.
        if (full == 0 || full > state.available) return 0;
        state.joined.assign(size_t(full), '\0');
    } else if (state.joined.size() != full) {
        return 0;
    }
    if (data > full || offset > full - data) return 0;
    std::memcpy(state.joined.data() + offset, payload + extended_header, size_t(data));
    state.received += data;
    if (state.received > full) return 0;
    if (state.received < full) return 1;

    MD5_CTX md5;
    MD5Init(&md5);
    MD5Update(&md5, reinterpret_cast<const uint8_t*>(state.joined.data()), state.joined.size());
    uint8_t digest[MD5_DIGEST_LENGTH];
    MD5Final(digest, &md5);
    std::string hex;
    for (uint8_t b : digest) {
        char two[3];
        format_hex_byte(two, b);
        hex += two;
    }
    if (hex != state.first_guid || !state.main_xmp) return 0;
    static const char property[] = "xmpNote:HasExtendedXMP=\"";
    const size_t at = state.main_xmp->find(property);
    if (at == std::string::npos || state.main_xmp->size() - at < 57) return 0;
    if (state.main_xmp->compare(at + 24, 32, hex) != 0) return 0;
    state.valid = true;
    return 1;
}

void gather_jpeg_metadata(jpeg_saved_marker_ptr segments, const image_job& job, sjpeg::EncoderParam& param) {
    if (job.metadata_mode == 2) return;
    // A broken chain leaves the profile out and everything else as it is.
    if (job.keep_icc) read_jpeg_icc(segments, param.iccp);

    extended_xmp_state extended;
    extended.main_xmp = &param.xmp;
    extended.available = extended_xmp_bytes(segments);
    bool kept_previous = false;
    for (jpeg_saved_marker_ptr s = segments; s; s = s->next) {
        const metadata_rule* rule = matching_rule(*s);
        if (rule) {
            const uint8_t* payload = s->data + rule->signature_length;
            const size_t length = s->data_length - rule->signature_length;
            if (job.metadata_mode == 0) {
                if (rule->target == metadata_target::exif)
                    append_if_empty(payload, length, param.exif);
                else if (rule->target == metadata_target::xmp)
                    append_if_empty(payload, length, param.xmp);
                else if (rule->target == metadata_target::extended_xmp)
                    check_extended_xmp(payload, length, extended);
                kept_previous = true;
            } else {
                kept_previous = false;
                if (rule->target == metadata_target::exif && job.keep_exif) {
                    // Only an orientation that turns the image is worth its Exif block.
                    if (read_exif_orientation(s->data, s->data_length).value >= 2) {
                        append_if_empty(payload, length, param.exif);
                        kept_previous = true;
                    }
                }
            }
        } else if (s->marker == JPEG_APP0 + 14 && !job.srgb) {
            append_verbatim(*s, param.app_markers);
            kept_previous = true;
        } else if (kept_previous) {
            append_verbatim(*s, param.app_markers);
        }
    }
    if (extended.valid) {
        if (param.xmp.size() + extended.joined.size() <= sjpeg::max_xmp_payload)
            param.xmp += extended.joined;
        else
            append_extended_chunks(extended, param.app_markers);
    }
}
