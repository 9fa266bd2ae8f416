// Status bar texts; see status_text.h.
#include "frontend/status_text.h"

#include "frontend/size_text.h"

std::string savings_part(int64_t total_saved) {
    if (total_saved == 0) return " 无节省";
    if (total_saved < 1024) return "  " + std::to_string(total_saved) + " 字节";
    return "  " + size_text_signed(total_saved);
}

std::string status_message(int code, const std::string& version, int64_t total_saved) {
    switch (code) {
        case status_ready: return "  " + version + " - 就绪 ";
        case status_click_to_preview: return " 单击文件预览或操作";
        case status_finished: {
            std::string s = "  已完成 -" + savings_part(total_saved);
            if (total_saved != 0) s += " 已保存";
            return s;
        }
        case status_paused: return "  已暂停 ";
        case status_error: return "  错误 ";
        case status_options: return "  " + version + " - options ";
        case status_needs_64bit: return "  错误：需要 64 位系统 ";
        case status_enable_lossy: return " 在设置中启用有损";
        case status_cannot_preview: return "  不能预览这个文件 ";
        case status_settings_not_saved: return "  错误：无法保存设置 velto.ini ";
        case status_report_not_written: return "  错误：无法写入报告 krast.csv ";
        case status_run_failed: return "  错误：引擎运行失败 ";
        default: return "";
    }
}
