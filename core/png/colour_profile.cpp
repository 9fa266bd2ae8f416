#include "core/png/colour_profile.h"

#include <lcms2.h>
#include <png.h>

#include "core/platform.h"

#include <csetjmp>
#include <cstdio>

namespace {

[[noreturn]] void trap_png_error(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void ignore_png_warning(png_structp, png_const_charp) {}

// Runs libpng on an open file up to the first IDAT. Kept apart from the caller
// so that nothing with a destructor lives in the frame libpng can jump back to.
bool read_profile_from(FILE* file, std::vector<uint8_t>& profile) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, trap_png_error,
                                             ignore_png_warning);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return false;
    }
    png_bytep data = nullptr;
    png_uint_32 length = 0;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_init_io(png, file);
    png_read_info(png, info);
    png_charp name = nullptr;
    int compression = 0;
    const bool found = (png_get_iCCP(png, info, &name, &compression, &data, &length) & PNG_INFO_iCCP) != 0 &&
                       data != nullptr && length > 0;
    // No libpng call follows, so the copy may allocate (and throw) safely.
    png_bytep copy_from = found ? data : nullptr;
    const png_uint_32 copy_length = found ? length : 0;
    if (copy_from) {
        try {
            profile.assign(copy_from, copy_from + copy_length);
        } catch (...) {
            png_destroy_read_struct(&png, &info, nullptr);
            throw;
        }
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return found;
}

void ignore_lcms_error(cmsContext, cmsUInt32Number, const char*) {}

}  // namespace

bool transform_profile_to_srgb(const uint8_t* profile, size_t size, uint32_t input_format, const void* input,
                               uint32_t output_format, void* output, uint32_t count) {
    if (size > UINT32_MAX) return false;
    cmsContext context = cmsCreateContext(nullptr, nullptr);
    if (!context) return false;
    cmsSetLogErrorHandlerTHR(context, ignore_lcms_error);
    bool done = false;
    cmsHPROFILE source = cmsOpenProfileFromMemTHR(context, profile, cmsUInt32Number(size));
    cmsHPROFILE srgb = cmsCreate_sRGBProfileTHR(context);
    if (source && srgb) {
        cmsHTRANSFORM transform =
            cmsCreateTransformTHR(context, source, input_format, srgb, output_format, INTENT_PERCEPTUAL, 0);
        if (transform) {
            cmsDoTransform(transform, input, output, count);
            cmsDeleteTransform(transform);
            done = true;
        }
    }
    if (srgb) cmsCloseProfile(srgb);
    if (source) cmsCloseProfile(source);
    cmsDeleteContext(context);
    return done;
}

bool read_embedded_profile(const std::string& path, std::vector<uint8_t>& profile) {
    profile.clear();
    // The file is read through the platform layer, so a held input is read
    // from the descriptor the engine opened, never from a file swapped in at
    // the same path.
    std::vector<uint8_t> bytes;
    if (!read_whole_file(path, bytes) || bytes.empty()) return false;
    FILE* file = ::fmemopen(bytes.data(), bytes.size(), "rb");
    if (!file) return false;
    bool found = false;
    try {
        found = read_profile_from(file, profile);
    } catch (...) {
        std::fclose(file);
        throw;
    }
    std::fclose(file);
    if (!found) profile.clear();
    return found;
}

bool convert_icc_to_srgb(const std::string& path, std::vector<uint8_t>& image, image_job& job) {
    std::vector<uint8_t> profile;
    const bool converted = image.size() / 4 >= job.pixel_count && read_embedded_profile(path, profile) &&
                           transform_profile_to_srgb(profile.data(), profile.size(), TYPE_RGBA_8, image.data(),
                                                     TYPE_RGBA_8, image.data(), job.pixel_count);
    if (converted)
        job.keep_icc = 0;
    else if (job.metadata_mode != 2)
        job.keep_icc = 1;
    return converted;
}
