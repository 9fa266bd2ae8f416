// Size texts and status bar texts.
#include <gtest/gtest.h>

#include "frontend/size_text.h"
#include "frontend/status_text.h"

namespace {

TEST(SizeText, UnitLimits) {
    const std::pair<uint64_t, const char*> cases[] = {
        {0, "0.00 KB"},
        {1023, "1.00 KB"},
        {1048575, "1024.00 KB"},
        {1048576, "1.00 MB"},
        {2526020, "2.41 MB"},
        {1073741823, "1024.00 MB"},
        {1073741824, "1.00 GB"},
        {4294967296, "4.00 GB"},  // beyond 32 bits
        {5368709120, "5.00 GB"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(size_text(bytes), text) << bytes;
    EXPECT_EQ(size_text_kb(524288), "512.00 KB");
    EXPECT_EQ(size_text_signed(-512), "-0.50 KB");
    EXPECT_EQ(size_text_signed(-2097152), "-2048.00 KB");  // negatives stay in KB
    EXPECT_EQ(size_text_signed(2097152), "2.00 MB");
}

TEST(StatusText, MessageTable) {
    const std::pair<int, const char*> cases[] = {
        {status_ready, "  v0.62 - 就绪 "},
        {status_click_to_preview, " 单击文件预览或操作"},
        {status_empty, ""},
        {status_paused, "  已暂停 "},
        {status_error, "  错误 "},
        {status_options, "  v0.62 - options "},
        {status_needs_64bit, "  错误：需要 64 位系统 "},
        {status_enable_lossy, " 在设置中启用有损"},
        {status_cannot_preview, "  不能预览这个文件 "},
        {status_settings_not_saved, "  错误：无法保存设置 velto.ini "},
        {status_report_not_written, "  错误：无法写入报告 krast.csv "},
        {status_run_failed, "  错误：引擎运行失败 "},
        {4, ""},
    };
    for (const auto& [code, text] : cases) EXPECT_EQ(status_message(code, app_version, 0), text) << code;
}

TEST(StatusText, FinishedRunWithItsSavings) {
    const std::pair<int64_t, const char*> cases[] = {
        {500, "  已完成 -  500 字节 已保存"},
        {0, "  已完成 - 无节省"},
        {-20, "  已完成 -  -20 字节 已保存"},
        {1023, "  已完成 -  1023 字节 已保存"},
        {1024, "  已完成 -  1.00 KB 已保存"},
        {int64_t{3} << 30, "  已完成 -  3.00 GB 已保存"},
    };
    for (const auto& [saved, text] : cases) EXPECT_EQ(status_message(status_finished, app_version, saved), text);
}

}  // namespace
