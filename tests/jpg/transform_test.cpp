// The lossless-transform layer against jpegtran: every transform, exact or
// trimmed, on 4:2:0, 4:2:2, 4:4:4, grey and CMYK sources of whole and partial
// MCU sizes, with and without grey reduction, must give the same pixels as
// jpegtran with the same switches, and must refuse exactly where jpegtran's
// -perfect refuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/temp_folder.h"
#include "core/jpg/turbo_ext/lossless_transform.h"
#include "jpg/jpeg_fixture.h"

namespace {

using namespace jpeg_fixture;

struct outcome {
    bool granted = false;
    bytes file;
};

// Transcodes `input` through the transform layer, the way a coefficient
// transcoder uses it.
outcome transform_with_layer(const bytes& input, JXFORM_CODE code, bool trim, bool grey) {
    outcome r;
    jpeg_decompress_struct src;
    jpeg_compress_struct dst;
    raising_error err;
    src.err = jpeg_std_error(&err);
    dst.err = &err;
    err.error_exit = jump_out;
    err.emit_message = quiet;
    unsigned char* out = nullptr;
    unsigned long out_size = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&dst);
        jpeg_destroy_decompress(&src);
        std::free(out);
        ADD_FAILURE() << "library error in the transform";
        return {};
    }
    jpeg_create_decompress(&src);
    jpeg_create_compress(&dst);
    jpeg_mem_src(&src, input.data(), static_cast<unsigned long>(input.size()));
    jpeg_read_header(&src, TRUE);
    jpeg_transform_info info;
    info.transform = code;
    info.perfect = trim ? FALSE : TRUE;
    info.trim = trim ? TRUE : FALSE;
    info.force_grayscale = grey ? TRUE : FALSE;
    r.granted = jtransform_request_workspace(&src, &info);
    if (r.granted) {
        jvirt_barray_ptr* src_arrays = jpeg_read_coefficients(&src);
        jpeg_copy_critical_parameters(&src, &dst);
        jvirt_barray_ptr* arrays = jtransform_adjust_parameters(&src, &dst, src_arrays, &info);
        jpeg_mem_dest(&dst, &out, &out_size);
        jtransform_execute_transform(&src, &dst, src_arrays, &info);
        jpeg_write_coefficients(&dst, arrays);
        jpeg_finish_compress(&dst);
        r.file.assign(out, out + out_size);
    }
    jpeg_destroy_compress(&dst);
    jpeg_destroy_decompress(&src);
    std::free(out);
    return r;
}

std::vector<std::string> switches_of(JXFORM_CODE code) {
    switch (code) {
        case JXFORM_FLIP_H: return {"-flip", "horizontal"};
        case JXFORM_FLIP_V: return {"-flip", "vertical"};
        case JXFORM_TRANSPOSE: return {"-transpose"};
        case JXFORM_TRANSVERSE: return {"-transverse"};
        case JXFORM_ROT_90: return {"-rotate", "90"};
        case JXFORM_ROT_180: return {"-rotate", "180"};
        case JXFORM_ROT_270: return {"-rotate", "270"};
        case JXFORM_NONE: break;
    }
    return {};
}

outcome transform_with_jpegtran(const temp_folder& tmp, const bytes& input, JXFORM_CODE code, bool trim, bool grey) {
    const std::string in = tmp / "in.jpg", out = tmp / "out.jpg";
    write_file(in, std::string(input.begin(), input.end()));
    std::vector<std::string> args = {"jpegtran", trim ? "-trim" : "-perfect"};
    if (grey) args.push_back("-grayscale");
    for (const std::string& s : switches_of(code)) args.push_back(s);
    args.insert(args.end(), {"-outfile", out, in});
    outcome r;
    r.granted = run_program(args) == 0;
    if (r.granted) {
        const std::string s = read_file(out);
        r.file.assign(s.begin(), s.end());
    }
    return r;
}

struct layout {
    const char* name;
    J_COLOR_SPACE input;
    int h0, v0;
};

const layout layouts[] = {
    {"4:2:0", JCS_RGB, 2, 2}, {"4:2:2", JCS_RGB, 2, 1}, {"4:4:4", JCS_RGB, 1, 1},
    {"grey", JCS_GRAYSCALE, 1, 1}, {"CMYK", JCS_CMYK, 1, 1},
};

const JXFORM_CODE transforms[] = {JXFORM_NONE,       JXFORM_FLIP_H, JXFORM_FLIP_V,  JXFORM_TRANSPOSE,
                                  JXFORM_TRANSVERSE, JXFORM_ROT_90, JXFORM_ROT_180, JXFORM_ROT_270};

// Sizes with whole MCUs in both directions, with a partial MCU in both, and
// with a partial block as well.
const int sizes[][2] = {{48, 32}, {45, 29}, {40, 19}};

void compare_all(const char* name, const bytes& source, bool grey) {
    temp_folder tmp;
    for (JXFORM_CODE code : transforms) {
        for (bool trim : {false, true}) {
            SCOPED_TRACE(testing::Message() << name << " transform " << code << (trim ? " trim" : " perfect")
                                            << (grey ? " grey" : ""));
            const outcome ours = transform_with_layer(source, code, trim, grey);
            const outcome theirs = transform_with_jpegtran(tmp, source, code, trim, grey);
            ASSERT_EQ(ours.granted, theirs.granted);
            if (!ours.granted) continue;
            const decoded a = decode(ours.file), b = decode(theirs.file);
            ASSERT_TRUE(a.ok);
            ASSERT_TRUE(b.ok);
            EXPECT_EQ(a.width, b.width);
            EXPECT_EQ(a.height, b.height);
            EXPECT_EQ(a.components, b.components);
            EXPECT_TRUE(a.pixels == b.pixels);
            EXPECT_EQ(a.warnings, 0);
        }
    }
}

TEST(LosslessTransform, MatchesJpegtranOnEveryLayout) {
    if (!have_jpegtran()) GTEST_SKIP() << "jpegtran (libjpeg-turbo-progs) is not installed";
    for (const layout& l : layouts) {
        for (const auto& size : sizes) {
            encode_options o;
            o.input = l.input;
            o.h0 = l.h0;
            o.v0 = l.v0;
            o.width = size[0];
            o.height = size[1];
            const bytes source = encode(o);
            ASSERT_FALSE(source.empty());
            compare_all((std::string(l.name) + " " + std::to_string(size[0]) + "x" + std::to_string(size[1])).c_str(),
                        source, false);
        }
    }
}

TEST(LosslessTransform, GreyReductionMatchesJpegtran) {
    if (!have_jpegtran()) GTEST_SKIP() << "jpegtran (libjpeg-turbo-progs) is not installed";
    for (const layout& l : layouts) {
        if (l.input != JCS_RGB) continue;
        for (const auto& size : sizes) {
            encode_options o;
            o.h0 = l.h0;
            o.v0 = l.v0;
            o.width = size[0];
            o.height = size[1];
            const bytes source = encode(o);
            compare_all((std::string(l.name) + " " + std::to_string(size[0]) + "x" + std::to_string(size[1])).c_str(),
                        source, true);
        }
    }
}

// Transforms are their own pixel-exact inverses where they should be: a turn
// and its reverse give back the original decoded pixels.
TEST(LosslessTransform, TurnAndTurnBackRestoresPixels) {
    encode_options o;  // 48x32, 4:2:0: every transform is exact
    const bytes source = encode(o);
    const decoded original = decode(source);
    const std::pair<JXFORM_CODE, JXFORM_CODE> pairs[] = {
        {JXFORM_ROT_90, JXFORM_ROT_270}, {JXFORM_ROT_180, JXFORM_ROT_180}, {JXFORM_FLIP_H, JXFORM_FLIP_H},
        {JXFORM_FLIP_V, JXFORM_FLIP_V},  {JXFORM_TRANSPOSE, JXFORM_TRANSPOSE}, {JXFORM_TRANSVERSE, JXFORM_TRANSVERSE},
    };
    for (const auto& [there, back] : pairs) {
        const outcome once = transform_with_layer(source, there, false, false);
        ASSERT_TRUE(once.granted);
        const outcome twice = transform_with_layer(once.file, back, false, false);
        ASSERT_TRUE(twice.granted);
        EXPECT_TRUE(decode(twice.file).pixels == original.pixels) << there << " then " << back;
    }
}

// Layouts where dropping the colour components cannot give the image: the
// request is refused instead of producing wrong pixels.
TEST(LosslessTransform, GreyReductionRefusedWhereLumaIsNotTheImage) {
    encode_options cmyk;
    cmyk.input = JCS_CMYK;
    cmyk.h0 = cmyk.v0 = 1;
    EXPECT_FALSE(transform_with_layer(encode(cmyk), JXFORM_NONE, false, true).granted);

    // Luma sampled below the largest factor (its blocks cover two pixels).
    encode_options odd;
    odd.h0 = odd.v0 = 1;
    odd.h_rest = odd.v_rest = 2;
    const bytes file = encode(odd);
    EXPECT_FALSE(transform_with_layer(file, JXFORM_NONE, false, true).granted);
    EXPECT_TRUE(transform_with_layer(file, JXFORM_NONE, false, false).granted);
}

// Trimming an image narrower than one MCU would leave nothing: refused.
TEST(LosslessTransform, TrimToNothingIsRefused) {
    encode_options o;
    o.width = 7;
    o.height = 7;
    const bytes source = encode(o);
    EXPECT_FALSE(transform_with_layer(source, JXFORM_FLIP_H, true, false).granted);
    EXPECT_TRUE(transform_with_layer(source, JXFORM_TRANSPOSE, true, false).granted);
}

}  // namespace
