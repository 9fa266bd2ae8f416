// Metadata gathering over saved-segment lists built in the test: what each
// mode keeps, the carry-over of unknown segments, ICC chains whole and
// broken, extended XMP whole, out of order, forged and hostile.
#include <gtest/gtest.h>

#include <md5.h>

#include <cctype>
#include <string>
#include <vector>

#include "core/jpg/jpeg_metadata.h"
#include "jpg/saved_segments.h"

namespace {

const int app0 = 0xE0, app1 = 0xE1, app2 = 0xE2, app13 = 0xED, app14 = 0xEE;

std::string bytes(const char* s, size_t n) { return std::string(s, n); }

// Exif block with one orientation entry, little- or big-endian.
std::string exif_with_orientation(int orientation, bool little = true) {
    std::string d = bytes("Exif\0\0", 6);
    if (little)
        d += bytes("II\x2A\0\x08\0\0\0", 8) + bytes("\x01\0", 2) + bytes("\x12\x01\x03\0\x01\0\0\0", 8) +
             std::string(1, char(orientation)) + bytes("\0\0\0", 3);
    else
        d += bytes("MM\0\x2A\0\0\0\x08", 8) + bytes("\0\x01", 2) + bytes("\x01\x12\0\x03\0\0\0\x01", 8) +
             bytes("\0", 1) + std::string(1, char(orientation)) + bytes("\0\0", 2);
    return d + bytes("\0\0\0\0", 4);
}

const std::string jfif = bytes("JFIF\0\x01\x02\0\0\x01\0\x01\0\0", 14);
const std::string adobe = bytes("Adobe\0\x64\0\0\0\0\0", 12);  // transform flag 0

std::string verbatim(int marker, const std::string& data) {
    const size_t n = data.size() + 2;
    return std::string{char(0xFF), char(marker), char(n >> 8), char(n & 0xFF)} + data;
}

image_job job_for(uint8_t mode, bool keep_exif = true, bool srgb = false, bool keep_icc = true) {
    image_job job{};
    job.metadata_mode = mode;
    job.keep_exif = keep_exif;
    job.srgb = srgb;
    job.keep_icc = keep_icc;
    return job;
}

sjpeg::EncoderParam gather(segment_list& list, const image_job& job) {
    sjpeg::EncoderParam p;
    p.ResetMetadata();
    gather_jpeg_metadata(list.head(), job, p);
    return p;
}

TEST(JpegMetadata, KeepAllCarriesFromTheFirstKnownSegment) {
    segment_list list;
    const std::string exif = exif_with_orientation(1);
    list.add(app0, jfif).add(app1, exif).add(app13, "Photoshop 3.0").add(app1, exif_with_orientation(3));
    list.add(app2, "not a profile");
    const sjpeg::EncoderParam p = gather(list, job_for(0));
    EXPECT_EQ(p.exif, exif.substr(6));  // the first Exif only, without its signature
    // JFIF came before anything was kept; the others follow kept segments.
    EXPECT_EQ(p.app_markers, verbatim(app13, "Photoshop 3.0") + verbatim(app2, "not a profile"));
    EXPECT_TRUE(p.xmp.empty());
    EXPECT_TRUE(p.iccp.empty());
}

TEST(JpegMetadata, DefaultModeKeepsOnlyARealOrientation) {
    struct mode1_case {
        const char* name;
        int orientation;
        bool keep_exif;
        bool kept;
    };
    const mode1_case cases[] = {
        {"orientation 1", 1, true, false},
        {"orientation 6", 6, true, true},
        {"orientation 6, Exif not wanted", 6, false, false},
    };
    for (const mode1_case& c : cases) {
        SCOPED_TRACE(c.name);
        segment_list list;
        const std::string exif = exif_with_orientation(c.orientation);
        list.add(app1, exif).add(app2, "other APP2").add(app1, bytes("http://ns.adobe.com/xap/1.0/\0<x/>", 33));
        list.add(app13, "after XMP");
        const sjpeg::EncoderParam p = gather(list, job_for(1, c.keep_exif));
        EXPECT_EQ(p.exif, c.kept ? exif.substr(6) : "");
        EXPECT_EQ(p.app_markers, c.kept ? verbatim(app2, "other APP2") : "");
        EXPECT_TRUE(p.xmp.empty());  // XMP never survives this mode, nor what follows it
    }
}

TEST(JpegMetadata, AdobeSegmentRulesAndTransformFlag) {
    // The flag is rewritten to YCbCr, the only colour layout the encoder writes.
    const std::string adobe_ycc = adobe.substr(0, 11) + char(1);
    {
        segment_list list;
        list.add(app13, "dropped").add(app14, adobe).add(app13, "carried");
        EXPECT_EQ(gather(list, job_for(1)).app_markers, verbatim(app14, adobe_ycc) + verbatim(app13, "carried"));
    }
    {  // with sRGB conversion the Adobe segment is carried only after a kept one
        segment_list list;
        list.add(app14, adobe);
        EXPECT_EQ(gather(list, job_for(1, true, true)).app_markers, "");
        segment_list after_exif;
        after_exif.add(app1, exif_with_orientation(8)).add(app14, adobe);
        EXPECT_EQ(gather(after_exif, job_for(1, true, true)).app_markers, verbatim(app14, adobe_ycc));
    }
    {  // stripping keeps nothing at all
        segment_list list;
        list.add(app14, adobe).add(app1, exif_with_orientation(6)).add(app2, icc_segment(1, 1, "profile"));
        const sjpeg::EncoderParam p = gather(list, job_for(2));
        EXPECT_TRUE(p.app_markers.empty() && p.exif.empty() && p.iccp.empty() && p.xmp.empty());
    }
}

TEST(JpegMetadata, IccChunksJoinInSequenceOrder) {
    segment_list list;
    list.add(app2, icc_segment(2, 3, "CCC")).add(app1, exif_with_orientation(1)).add(app2, icc_segment(3, 3, "DD"));
    list.add(app2, icc_segment(1, 3, "AB"));
    EXPECT_EQ(gather(list, job_for(0)).iccp, "ABCCCDD");
    EXPECT_EQ(gather(list, job_for(1)).iccp, "ABCCCDD");
    EXPECT_EQ(gather(list, job_for(1, true, false, false)).iccp, "");  // profile not wanted
}

TEST(JpegMetadata, BrokenIccChainDropsOnlyTheProfile) {
    struct chain_case {
        const char* name;
        std::vector<std::pair<int, int>> chunks;  // sequence, count
    };
    const chain_case cases[] = {
        {"missing last chunk", {{1, 3}, {2, 3}}},
        {"missing middle chunk", {{1, 3}, {3, 3}}},
        {"sequence 0", {{0, 1}}},
        {"count 0", {{1, 0}}},
        {"repeated sequence", {{1, 2}, {1, 2}}},
        {"counts differ", {{1, 2}, {2, 3}}},
        {"sequence above count", {{1, 1}, {2, 1}}},
    };
    for (const chain_case& c : cases) {
        SCOPED_TRACE(c.name);
        segment_list list;
        const std::string exif = exif_with_orientation(6);
        list.add(app1, exif);
        for (auto [sequence, count] : c.chunks) list.add(app2, icc_segment(sequence, count, "payload"));
        list.add(app13, "after");
        const sjpeg::EncoderParam p = gather(list, job_for(0));
        EXPECT_EQ(p.iccp, "");
        EXPECT_EQ(p.exif, exif.substr(6));
        EXPECT_EQ(p.app_markers, verbatim(app13, "after"));
    }
}

// The identifier of a text: its MD5 digest in upper-case hexadecimal.
std::string md5_hex(const std::string& text) {
    char lower[MD5_DIGEST_STRING_LENGTH];
    MD5Data(reinterpret_cast<const uint8_t*>(text.data()), text.size(), lower);
    std::string hex(lower);
    for (char& c : hex) c = char(std::toupper(static_cast<unsigned char>(c)));
    return hex;
}

std::string be32(uint32_t v) {
    return std::string{char(v >> 24), char((v >> 16) & 0xFF), char((v >> 8) & 0xFF), char(v & 0xFF)};
}

const std::string xmp_sig = bytes("http://ns.adobe.com/xap/1.0/\0", 29);
const std::string ext_sig = bytes("http://ns.adobe.com/xmp/extension/\0", 35);

std::string main_packet(const std::string& guid) {
    return "<x:xmpmeta><rdf:Description xmpNote:HasExtendedXMP=\"" + guid + "\"/></x:xmpmeta>";
}

// Extended-XMP chunk payload (after the signature).
std::string ext_chunk(const std::string& guid, uint32_t full, uint32_t offset, const std::string& data) {
    return guid + be32(full) + be32(offset) + data;
}

std::string extended_text(size_t n) {
    std::string t;
    for (size_t i = 0; t.size() < n; ++i) t += "<rdf:li>" + std::to_string(i * 7919 % 10007) + "</rdf:li>";
    t.resize(n);
    return t;
}

TEST(JpegMetadata, ExtendedXmpJoinedWhenItsDigestMatches) {
    const std::string text = extended_text(300);
    const std::string guid = md5_hex(text);
    const std::string a = ext_chunk(guid, 300, 0, text.substr(0, 120));
    const std::string b = ext_chunk(guid, 300, 120, text.substr(120));
    for (bool in_order : {true, false}) {
        SCOPED_TRACE(in_order ? "in order" : "out of order");
        segment_list list;
        list.add(app1, xmp_sig + main_packet(guid));
        list.add(app1, ext_sig + (in_order ? a : b)).add(app1, ext_sig + (in_order ? b : a));
        EXPECT_EQ(gather(list, job_for(0)).xmp, main_packet(guid) + text);
    }
    {  // a repeated chunk after the text was complete clears it again
        segment_list list;
        list.add(app1, xmp_sig + main_packet(guid)).add(app1, ext_sig + a).add(app1, ext_sig + b);
        list.add(app1, ext_sig + b);
        EXPECT_EQ(gather(list, job_for(0)).xmp, main_packet(guid));
    }
    {  // the text's digest is not its identifier: only the main packet
        std::string forged = text;
        forged[5] ^= 1;
        segment_list list;
        list.add(app1, xmp_sig + main_packet(guid));
        list.add(app1, ext_sig + ext_chunk(guid, 300, 0, forged));
        EXPECT_EQ(gather(list, job_for(0)).xmp, main_packet(guid));
    }
    {  // the main packet names another identifier
        segment_list list;
        list.add(app1, xmp_sig + main_packet(md5_hex("other")));
        list.add(app1, ext_sig + ext_chunk(guid, 300, 0, text));
        EXPECT_EQ(gather(list, job_for(0)).xmp, main_packet(md5_hex("other")));
    }
}

TEST(JpegMetadata, ExtendedXmpTooLongForOneSegmentGoesOutAsChunks) {
    const std::string text = extended_text(100000);
    const std::string guid = md5_hex(text);
    segment_list list;
    list.add(app1, xmp_sig + main_packet(guid));
    for (size_t at = 0; at < text.size(); at += 60000)
        list.add(app1, ext_sig + ext_chunk(guid, uint32_t(text.size()), uint32_t(at), text.substr(at, 60000)));
    const sjpeg::EncoderParam p = gather(list, job_for(0));
    EXPECT_EQ(p.xmp, main_packet(guid));
    // Read the chunks back as the decoder of the new file would and join them.
    std::string joined(text.size(), '\0');
    size_t at = 0, chunks = 0;
    while (at < p.app_markers.size()) {
        ASSERT_EQ(uint8_t(p.app_markers[at]), 0xFF);
        ASSERT_EQ(uint8_t(p.app_markers[at + 1]), app1);
        const size_t length = size_t(uint8_t(p.app_markers[at + 2])) << 8 | uint8_t(p.app_markers[at + 3]);
        const std::string data = p.app_markers.substr(at + 4, length - 2);
        ASSERT_EQ(data.substr(0, 35), ext_sig);
        EXPECT_EQ(data.substr(35, 32), guid);
        const std::string full = data.substr(67, 4), offset = data.substr(71, 4);
        EXPECT_EQ(full, be32(uint32_t(text.size())));
        const uint32_t o = uint32_t(uint8_t(offset[0])) << 24 | uint32_t(uint8_t(offset[1])) << 16 |
                           uint32_t(uint8_t(offset[2])) << 8 | uint8_t(offset[3]);
        joined.replace(o, data.size() - 75, data.substr(75));
        at += 2 + length;
        ++chunks;
    }
    EXPECT_EQ(chunks, 2u);
    EXPECT_EQ(joined, text);
}

TEST(JpegMetadata, HostileExtendedXmpChunksAreRefused) {
    const std::string text = extended_text(64);
    const std::string guid = md5_hex(text);
    struct hostile_case {
        const char* name;
        std::string payload;
    };
    const hostile_case cases[] = {
        {"declared length beyond what the file holds", ext_chunk(guid, 0xFFFFFFF0u, 0, text)},
        {"declared length zero", ext_chunk(guid, 0, 0, text)},
        {"offset past the declared length", ext_chunk(guid, 64, 0xFFFFFFC0u, text)},
        {"chunk ends past the declared length", ext_chunk(guid, 64, 1, text)},
        {"data longer than the declared length", ext_chunk(guid, 32, 0, text)},
        {"header cut short", guid + be32(64)},
    };
    for (const hostile_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string main = main_packet(guid);
        extended_xmp_state state;
        state.main_xmp = &main;
        state.available = 1000;
        EXPECT_EQ(check_extended_xmp(reinterpret_cast<const uint8_t*>(c.payload.data()), c.payload.size(), state),
                  0);
        EXPECT_FALSE(state.valid);
        EXPECT_LE(state.joined.size(), 1000u);
    }
    // A second chunk with another identifier is refused; the first was kept.
    const std::string main = main_packet(guid);
    extended_xmp_state state;
    state.main_xmp = &main;
    state.available = 64;
    const std::string first = ext_chunk(guid, 64, 0, text.substr(0, 32));
    const std::string stranger = ext_chunk(md5_hex("x"), 64, 32, text.substr(32));
    EXPECT_EQ(check_extended_xmp(reinterpret_cast<const uint8_t*>(first.data()), first.size(), state), 1);
    EXPECT_EQ(check_extended_xmp(reinterpret_cast<const uint8_t*>(stranger.data()), stranger.size(), state), 0);
    EXPECT_FALSE(state.valid);
}

TEST(JpegMetadata, DefaultModeReadsTheOrientationSafely) {
    struct orientation_case {
        const char* name;
        std::string data;
        int expected;
    };
    std::string far_directory = exif_with_orientation(6);
    far_directory[6 + 6] = 1;  // upper half of the directory offset set: 65536 + 8
    std::string no_entries = exif_with_orientation(6);
    no_entries[6 + 8] = 0;  // entry count 0
    const orientation_case cases[] = {
        {"little-endian 6", exif_with_orientation(6), 6},
        {"big-endian 6", exif_with_orientation(6, false), 6},
        {"value 0", exif_with_orientation(0), 1},
        {"value 9", exif_with_orientation(9), 1},
        {"directory beyond 64 KiB", far_directory, 1},
        {"no entries", no_entries, 1},
        {"cut before the entry", exif_with_orientation(6).substr(0, 20), 1},
        {"not Exif", bytes("Exik\0\0II\x2A\0\x08\0\0\0\x01\0\x12\x01\x03\0", 20), 1},
    };
    // By default an Exif block is kept only with a real orientation (2..8).
    for (const orientation_case& c : cases) {
        SCOPED_TRACE(c.name);
        segment_list list;
        list.add(app1, c.data);
        EXPECT_EQ(gather(list, job_for(1)).exif, c.expected != 1 ? c.data.substr(6) : "");
    }
}

}  // namespace
