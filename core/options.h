// The engine's options record: defaults, command-line parsing, validation and
// the mapping of a finished run to the process exit code.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct default_flags {
    uint8_t png_enabled;
    uint8_t jpeg_enabled;
    uint8_t preview;
    uint8_t preview_original;
    uint8_t preview_check;
    uint8_t verbose;
    uint8_t inner_threads;
    uint8_t worker_threads;
    uint8_t process_level;
    uint8_t single_file;
    uint8_t notime;
    uint8_t png_level;
    uint8_t jpeg_level;
    uint8_t lossless;
    uint16_t quality;
    uint8_t quality_default;
    uint8_t noalpha;
    uint8_t srgb;
    uint16_t resize_target;
    uint8_t rotate;
    uint8_t metadata_mode;
};

// Marker stored by an out-of-range numeric option; it makes the command line bad.
constexpr uint16_t option_marker16 = 0xFFFF;
constexpr uint8_t option_marker8 = 0xFF;

// Upper bound of the file worker count.
constexpr uint8_t max_worker_threads = 32;

// Hardware thread count as the engine uses it, clamped to 2..32. The clamp comes
// before the narrowing to 8 bits, so a machine with 256 or 257 threads gets 32,
// not 2; a count of 0 (unknown) gets 2.
uint8_t clamp_thread_count(unsigned hardware_threads);

// Writes every default; inner_threads comes from the machine's thread count.
void init_default_flags(default_flags& flags);

// Returns 0 when the options can be used together; sets worker_threads and may
// lower inner_threads according to process_level.
int validate_flags(default_flags& flags);

// Exit codes the command line can decide on its own.
constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_bad_command_line = 2;
constexpr int exit_preview_refused = 22;
// Answer to "-c500"; a POSIX parent sees its low 8 bits (244).
constexpr int exit_probe_answer = 500;

// What the command line asks for. When `finished` is set the engine ends at once
// with `exit_code` and processes nothing; `bad_command_line` then tells whether
// run_failed is to be set. Otherwise `flags` is validated and `paths` holds the
// path arguments in their order.
struct command_line_outcome {
    bool finished = false;
    bool bad_command_line = false;
    int exit_code = exit_ok;
    std::vector<std::string> paths;
};

// Reads argv[1..argc-1] left to right into `flags`, which the caller has filled
// with init_default_flags, and runs validate_flags after the last argument.
command_line_outcome parse_command_line(int argc, const char* const* argv, default_flags& flags);

// The value of a "=" option: leading decimal digits with an optional sign, as
// atoi reads them (0 when there are none), taken modulo 65536.
uint16_t option_number(const char* text);

// The exit code of a run that got as far as starting its workers.
int run_exit_code(const default_flags& flags, uint32_t path_arg_count, bool run_failed,
                  uint32_t run_result, bool preview_refused);
