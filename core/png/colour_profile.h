// Conversion of the work image from the colour space of the file's embedded
// ICC profile to sRGB ("-srgb").
//
// The profile is read again from the file (through the platform layer) with libpng and applied with
// LittleCMS. Neither library may end the process or print: libpng's errors
// come back through its setjmp trap and LittleCMS reports into a silent
// handler of a context private to the call, so a damaged file or an unusable
// profile only leaves the image as it was.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/job.h"

// Converts the job.pixel_count RGBA8 pixels of `image` (alpha untouched) with
// the perceptual intent and clears job.keep_icc, so the output drops the
// profile. When the file cannot be read, has no usable profile or LittleCMS
// cannot build the transform, the pixels stay unchanged and the profile is
// kept (job.keep_icc := 1 unless metadata is stripped, mode 2), because the
// unconverted pixels still need it. True when the pixels were converted.
bool convert_icc_to_srgb(const std::string& path, std::vector<uint8_t>& image, image_job& job);

// The profile bytes of the iCCP chunk of the PNG file at `path`, read up to
// the image data; false (profile empty) when there is none or libpng fails.
bool read_embedded_profile(const std::string& path, std::vector<uint8_t>& profile);

// Applies the ICC profile `profile` -> sRGB with the perceptual intent to
// `count` pixels of LittleCMS format `input_format` at `input`, writing them in
// `output_format` to `output` (which may be `input` only when both formats
// have the same pixel size). LittleCMS reports into a silent handler of a
// context private to the call; false, with `output` untouched, when it cannot
// use the profile for these formats.
bool transform_profile_to_srgb(const uint8_t* profile, size_t size, uint32_t input_format, const void* input,
                               uint32_t output_format, void* output, uint32_t count);
