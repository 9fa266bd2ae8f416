// Metadata of a re-encoded JPEG: which APPn segments of the source survive,
// gathered from the decoder's saved-segment list into the four metadata
// strings of the encoder's parameters (Exif and XMP payloads, the joined ICC
// profile, other segments verbatim).
//
// By metadata mode: 0 keeps everything from the first segment the rules know
// (or the first Adobe segment) onwards; 1 keeps only an Exif block with a real
// orientation, the colour profile, the Adobe segment and unknown segments that
// follow a kept one; 2 keeps nothing (the step is not run). Extended XMP is
// reassembled and kept only when its MD5 digest matches the identifier the
// main packet names. A broken ICC chain drops the profile only.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <jpeglib.h>

#include "core/job.h"
#include "core/jpg/turbo_ext/encoder.h"

// Where a known segment's payload goes.
enum class metadata_target : uint8_t { exif, xmp, extended_xmp, icc };

// A segment matches a rule when its marker is the rule's and its data is
// longer than the signature and begins with it.
struct metadata_rule {
    uint8_t marker;
    const char* signature;
    size_t signature_length;
    metadata_target target;
};

// Reassembly of extended XMP (the chunks of text that did not fit the main
// packet), checked against the main packet's digest.
struct extended_xmp_state {
    const std::string* main_xmp = nullptr;  // the main packet, read when the last chunk arrives
    std::string joined;                      // the whole extended text, sized by the first chunk
    std::string first_guid;                  // identifier of the first chunk (32 hex digits)
    uint64_t received = 0;                   // chunk data bytes copied so far
    uint64_t available = 0;                  // chunk data bytes the saved segments hold in all
    bool valid = false;                      // the text is complete and verified
};

// Appends the payload when `destination` is empty and returns 1; else 0.
int append_if_empty(const uint8_t* payload, size_t length, std::string& destination);

// Adds one extended-XMP chunk (payload after the signature); 1 accepted, 0
// refused. Lengths and offsets are checked before anything is copied.
int check_extended_xmp(const uint8_t* payload, size_t length, extended_xmp_state& state);

// Two upper-case hexadecimal digits and a terminating zero.
void format_hex_byte(char buffer[3], uint8_t byte);

// Fills param.exif, xmp, iccp and app_markers (which the caller has emptied)
// from the saved segments, by job.metadata_mode, keep_icc, keep_exif, srgb.
void gather_jpeg_metadata(jpeg_saved_marker_ptr segments, const image_job& job, sjpeg::EncoderParam& param);
