// The frame limit of the animated road, end to end on animations of 65,535
// frames. Not a codec test: reading and writing that many frames takes
// seconds in the release build and far longer under the sanitizers, so it
// runs in the release suite only.
#include "png/apng_check.h"

namespace {

using namespace apng_test;

// The most frames an animation may have is 65,535 (a default image outside
// the animation comes on top); one more is refused before any frame is
// decoded. Frames of 1 x 1 pixel that alternate in colour, so that none merge.
TEST(ApngLimits, FrameCount) {
    struct row {
        uint32_t frames;
        bool hidden_default;
        int code;
    } rows[] = {{65535, false, 0}, {65535, true, 0}, {65536, false, 1}};
    for (const row& r : rows) {
        apng_spec spec;
        spec.width = 1, spec.height = 1, spec.colour_type = 2;
        spec.hidden_default = r.hidden_default;
        spec.default_pixels = {0, 0, 255};
        for (uint32_t f = 0; f < r.frames; ++f) spec.frames.push_back({.pixels = {uint8_t(f % 2 * 255), 0, 0}});
        bytes file = spec.build();
        // Text before the IEND, which the animated road drops, so that the
        // result is smaller.
        const bytes text = chunk("tEXt", bytes(120000, 'x'));
        file.insert(file.end() - 12, text.begin(), text.end());
        const std::string what = std::to_string(r.frames) + (r.hidden_default ? " and a hidden default" : "");
        const run_result result = optimise(file, true, 0);
        EXPECT_EQ(result.code, r.code) << what;
        if (r.code != 0) {
            EXPECT_EQ(result.after, file) << what;
            continue;
        }
        EXPECT_LT(result.after.size(), file.size()) << what;
        std::vector<shown_frame> got;
        bytes hidden;
        ASSERT_TRUE(our_frames(result.after, got, &hidden)) << what;
        EXPECT_EQ(got.size(), r.frames) << what;
        const bytes blue = {0, 0, 255, 255};
        EXPECT_EQ(hidden, r.hidden_default ? blue : bytes()) << what;
    }
}

}  // namespace
