// Command line of the engine: defaults, option table, validation and the exit
// code of a run. Options are read once into default_flags and never re-read.
#include "options.h"

#include <cstring>
#include <thread>

uint8_t clamp_thread_count(unsigned hardware_threads) {
    if (hardware_threads < 2) return 2;
    if (hardware_threads > max_worker_threads) return max_worker_threads;
    return static_cast<uint8_t>(hardware_threads);
}

void init_default_flags(default_flags& flags) {
    flags = default_flags{};
    flags.png_enabled = 1;
    flags.jpeg_enabled = 1;
    flags.verbose = 1;
    flags.inner_threads = clamp_thread_count(std::thread::hardware_concurrency());
    flags.process_level = 4;
    flags.png_level = 255;
    flags.jpeg_level = 255;
    flags.quality = 90;
    flags.quality_default = 1;
    flags.metadata_mode = 1;
}

int validate_flags(default_flags& flags) {
    flags.worker_threads = flags.inner_threads > max_worker_threads ? max_worker_threads : flags.inner_threads;
    switch (flags.process_level) {
    case 3: flags.worker_threads = 2; break;
    case 2: flags.worker_threads = 1; break;
    case 1:
    case 0:
        flags.worker_threads = 1;
        flags.inner_threads = 1;
        break;
    default: break;
    }
    return (flags.lossless == 1 && flags.quality_default == 0) ? 1 : 0;
}

uint16_t option_number(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = (*text++ == '-');
    // Unsigned arithmetic wraps, so the value is exact modulo 65536 however long
    // the digit string is.
    uint16_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
        value = static_cast<uint16_t>(value * 10u + static_cast<unsigned>(*text - '0'));
    return negative ? static_cast<uint16_t>(0u - value) : value;
}

namespace {

bool starts_with(const char* arg, const char* prefix, const char** rest) {
    size_t n = std::strlen(prefix);
    if (std::strncmp(arg, prefix, n) != 0) return false;
    *rest = arg + n;
    return true;
}

// Applies one option; returns false when the argument matches none.
bool apply_option(const char* arg, default_flags& f) {
    static const struct { const char* name; uint8_t default_flags::*field; uint8_t value; } switches[] = {
        {"-preview", &default_flags::preview, 1},
        {"-preview-original", &default_flags::preview_original, 1},
        {"-preview-check", &default_flags::preview_check, 1},
        {"-png-s0", &default_flags::png_level, 0},
        {"-png-s1", &default_flags::png_level, 1},
        {"-png-s2", &default_flags::png_level, 2},
        {"-png-s3", &default_flags::png_level, 3},
        {"-png-s4", &default_flags::png_level, 4},
        {"-jpg-s0", &default_flags::jpeg_level, 0},
        {"-jpg-s1", &default_flags::jpeg_level, 1},
        {"-jpg-s2", &default_flags::jpeg_level, 2},
        {"-jpg-s3", &default_flags::jpeg_level, 3},
        {"-jpg-s4", &default_flags::jpeg_level, 4},
        {"-lossless", &default_flags::lossless, 1},
        {"-l", &default_flags::lossless, 1},
        {"-srgb", &default_flags::srgb, 1},
        {"-rotate", &default_flags::rotate, 1},
        {"-strip", &default_flags::metadata_mode, 2},
        {"-nostrip", &default_flags::metadata_mode, 0},
        {"-noalpha", &default_flags::noalpha, 1},
        {"-notime", &default_flags::notime, 1},
        {"-no-png", &default_flags::png_enabled, 0},
        {"-no-jpeg", &default_flags::jpeg_enabled, 0},
    };
    for (const auto& s : switches) {
        if (std::strcmp(arg, s.name) == 0) {
            f.*s.field = s.value;
            return true;
        }
    }
    const char* rest = nullptr;
    // "-q=" is tested before "-q", so it is always a quality.
    if (starts_with(arg, "-q=", &rest)) {
        uint16_t v = option_number(rest);
        f.quality_default = 0;
        f.quality = (v >= 1 && v <= 100) ? v : option_marker16;
        return true;
    }
    if (starts_with(arg, "-resize=", &rest)) {
        uint16_t v = option_number(rest);
        f.resize_target = (v >= 24 && v <= 4096) ? v : option_marker16;
        return true;
    }
    if (starts_with(arg, "-process=", &rest)) {
        uint16_t v = option_number(rest);
        f.process_level = v <= 4 ? static_cast<uint8_t>(v) : option_marker8;
        return true;
    }
    if (std::strcmp(arg, "-quiet") == 0 || std::strcmp(arg, "-q") == 0) {
        f.verbose = 0;
        return true;
    }
    return std::strcmp(arg, "-no-apng") == 0 || std::strcmp(arg, "-no-webp") == 0;
}

}  // namespace

command_line_outcome parse_command_line(int argc, const char* const* argv, default_flags& flags) {
    command_line_outcome out;
    if (argc <= 1) {
        out.finished = true;
        return out;
    }
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] != '-') {
            out.paths.emplace_back(arg);
            continue;
        }
        if (std::strcmp(arg, "-c500") == 0) {
            out.finished = true;
            out.exit_code = exit_probe_answer;
            return out;
        }
        if (std::strcmp(arg, "-help") == 0 || std::strcmp(arg, "-h") == 0) {
            out.finished = true;
            out.exit_code = exit_ok;
            return out;
        }
        if (!apply_option(arg, flags)) {
            out.finished = true;
            out.bad_command_line = true;
            out.exit_code = exit_bad_command_line;
            return out;
        }
    }
    bool marker = flags.quality == option_marker16 || flags.resize_target == option_marker16 ||
                  flags.process_level == option_marker8;
    if (validate_flags(flags) != 0 || marker) {
        out.finished = true;
        out.bad_command_line = true;
        out.exit_code = exit_bad_command_line;
    }
    return out;
}

int run_exit_code(const default_flags& flags, uint32_t path_arg_count, bool run_failed,
                  uint32_t run_result, bool preview_refused) {
    if (flags.verbose) {
        if (path_arg_count == 0) return exit_failed;
        if (run_failed) return exit_bad_command_line;
        if (run_result != 0) return exit_failed;
        if (preview_refused) return exit_preview_refused;
        return exit_ok;
    }
    if (preview_refused) return exit_preview_refused;
    return static_cast<int>(run_result);
}
