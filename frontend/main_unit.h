// State of the main window that lives from start-up to exit and that the
// window's handlers share: where the engine is, the option string, the texts
// of the status bar and caption, the flags of the window's life cycle, the
// progress of a run and its totals. Sizes and totals are 64-bit.
#pragma once
#include <cstdint>
#include <string>

#include "frontend/status_text.h"

struct main_unit_state {
    // Builds of this program are 64-bit only; the flag keeps the locked
    // start-up of a 32-bit system in one place.
    bool is_64bit_os = sizeof(void*) == 8;
    std::string frontend_folder;  // folder of the program, with a trailing "/"
    std::string engine_path;      // frontend_folder + "core"
    std::string version = app_version;
    std::string probe_option = " -c500";
    int32_t probe_answer = 500;
    std::string engine_options;
    std::string status_text;
    std::string title_text;
    std::string title_savings_text;
    bool files_loaded = false;
    bool run_finished = false;
    bool stop_requested = false;
    // An engine start since the last Clear crashed or could not be started.
    bool engine_failed = false;
    // The settings could not be saved at the end of the last run.
    bool settings_unsaved = false;
    bool preview_failed = false;
    bool preview_open = false;
    uint8_t progress_percent = 0;
    int32_t selected_row = 0;
    uint32_t next_row = 0;
    uint64_t total_before = 0;
    uint64_t total_after = 0;
    int64_t total_saved = 0;
    double seconds_total = 0.0;
    uint64_t lossy_preview_size = 0;
    uint64_t source_preview_size = 0;
    uint64_t shown_preview_size = 0;
};
