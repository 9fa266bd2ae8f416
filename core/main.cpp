// Entry point of the engine: options, priority, file list, title, workers, exit code.
#include <atomic>
#include <cstdint>

#include "core/dispatch.h"
#include "core/options.h"
#include "core/platform.h"

int main(int argc, char** argv) {
    default_flags flags;
    init_default_flags(flags);
    command_line_outcome cl = parse_command_line(argc, argv, flags);
    if (cl.finished) {
        if (cl.bad_command_line) run_failed.store(1);
        return cl.exit_code;
    }

    if (flags.process_level == 0) enter_background_priority();

    std::atomic<uint64_t> next_file_index{0};
    std::atomic<uint32_t> run_result{0};
    input_collection inputs = collect_inputs(cl.paths, run_result);
    flags.single_file = names_single_file(inputs) ? 1 : 0;

    if (flags.verbose && run_result.load() == 0) set_console_title("(0%) - krast");

    run_file_workers(inputs.files, flags, next_file_index, run_result, flags.worker_threads);

    return run_exit_code(flags, inputs.path_arg_count, run_failed.load() != 0, run_result.load(),
                         preview_refused.load() != 0);
}
