#include <gtest/gtest.h>

#include "core/job.h"
#include "core/options.h"

namespace {

default_flags plain_flags() {
    default_flags f{};
    f.png_enabled = f.jpeg_enabled = 1;
    f.verbose = 1;
    f.inner_threads = 6;
    f.process_level = 4;
    f.png_level = f.jpeg_level = 255;
    f.quality = 90;
    f.quality_default = 1;
    f.metadata_mode = 1;
    return f;
}

TEST(ImageJob, FreshRecordHoldsTheInitialValues) {
    image_job job;
    init_image_job(job, plain_flags(), 1000);
    EXPECT_EQ(job.input_size, 1000u);
    EXPECT_EQ(job.current_size, 1000u);
    EXPECT_EQ(job.png_level, 255);
    EXPECT_EQ(job.jpeg_level, 255);
    EXPECT_EQ(job.quality, 90);
    EXPECT_EQ(job.quality_default, 1);
    EXPECT_EQ(job.colour_type, 6);
    EXPECT_EQ(job.max_colours, 256);
    EXPECT_EQ(job.colour_limit, 8192u);
    EXPECT_EQ(job.strategy11_pixel_limit, 409600u);
    EXPECT_EQ(job.zopfli_setting, 261);
    EXPECT_EQ(job.changed_threshold, 72);
    EXPECT_EQ(job.is_grey, 1);
    EXPECT_EQ(job.may_clean_transparent, 1);
    EXPECT_EQ(job.single_alpha, 1);
    EXPECT_EQ(job.alphas_above_250, 1);
    EXPECT_EQ(job.dct_scale, 1);
    EXPECT_EQ(job.orientation, 1);
    EXPECT_EQ(job.keep_icc, 1);
    EXPECT_EQ(job.keep_exif, 1);
    EXPECT_EQ(job.metadata_mode, 1);
    EXPECT_EQ(job.threads, 6);
    EXPECT_EQ(job.deflate_threads, 6);
    EXPECT_EQ(job.mode, 0);
    EXPECT_EQ(job.result, 0);
    EXPECT_EQ(job.width, 0u);
    EXPECT_EQ(job.colour_count, 0u);
    EXPECT_EQ(job.stat_same, 0u);
    EXPECT_EQ(job.translucent_count, 0u);
}

TEST(ImageJob, QualityTakesTheLowByteOfTheOption) {
    default_flags f = plain_flags();
    f.quality = 70;
    f.quality_default = 0;
    image_job job;
    init_image_job(job, f, 50);
    EXPECT_EQ(job.quality, 70);
    EXPECT_EQ(job.quality_default, 0);
}

}  // namespace
