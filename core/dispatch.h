// Input collection, file workers and per-file dispatch: which files are
// optimised, by which pipeline, and how their results reach the exit code.
#pragma once
#include <atomic>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "core/job.h"
#include "core/options.h"

// One entry of the file list. For an entry met in a folder walk,
// walk_root_length is the length of the walked folder's argument at the start
// of the path; the entry is opened below that folder without following links
// (see held_input). 0 for a file named on the command line.
struct listed_file {
    std::string path;
    size_t walk_root_length = 0;
};
using file_list = std::vector<listed_file>;

// Process-wide flags, only ever set to 1 (by several workers at once) and read
// by main after every worker has been joined.
extern std::atomic<uint8_t> run_failed;
extern std::atomic<uint8_t> preview_refused;

// Format codes of detect_format.
enum : int {
    format_unknown = 0,
    format_png = 1,
    format_jpeg = 2,
    format_webp = 3,
};

struct input_collection {
    file_list files;
    uint32_t path_arg_count = 0;
    uint32_t folder_entry_count = 0;
};

// Builds the file list from the path arguments in their order. A regular file
// (or a link to one) enters as given; a folder (or a link to one) is walked
// recursively and every entry, file or sub-folder, enters in walk order; any
// other argument sets run_result to 1. A symbolic link met in a walk, to a
// file or a folder, counts as an entry but is not followed and does not enter
// the list: it is skipped as a file of another kind would be (result 0), so
// whoever may write into a walked folder cannot point the engine at a file
// outside it. An entry whose device and inode are already in the list is left
// out, so a file named twice is optimised once. A folder that cannot be
// listed (given or met in a walk) or an entry whose status cannot be read (a
// path beyond the system's length limit) sets run_result to 1; the walk goes
// on with the rest.
input_collection collect_inputs(const std::vector<std::string>& paths, std::atomic<uint32_t>& run_result);

// single_file: exactly one path argument and no folder entries.
bool names_single_file(const input_collection& inputs);

// Body of every worker thread: takes indices from next_file_index until the
// list is done and ORs each file's result into run_result.
void file_worker(const file_list& files, std::atomic<uint64_t>& next_file_index,
                 const default_flags& flags, std::atomic<uint32_t>& run_result);

// Starts `count` worker threads, each with its own copy of the list and the
// flags, and joins them. A thread that cannot be started is not retried: the
// started ones take its share from the shared index, and when none starts the
// calling thread does the work itself, so no file is lost. `max_started` lets
// tests imitate a system that refuses threads. Returns how many threads ran
// file workers (the calling thread included when it had to step in).
unsigned run_file_workers(const file_list& files, const default_flags& flags,
                          std::atomic<uint64_t>& next_file_index, std::atomic<uint32_t>& run_result,
                          unsigned count, unsigned max_started = UINT_MAX);

// Optimises one file when its extension, size, write access (of the file and
// of its folder) and content allow it; returns the file's result code for the
// OR in run_result. The file is held (see held_input) from its checks to the
// end of its pipeline, so the pipeline's reads and replace act on the file
// that was checked, and a file saved again or swapped for a link meanwhile is
// left alone (result 1 from the pipeline's refused replace). A path that
// cannot be resolved and opened (missing, beyond the system's length limit,
// not a regular file) gives 1; so does an entry of a walk (walk_root_length
// not 0) that has become a link, or lies below a sub-folder that has.
uint8_t process_file(const std::string& path, const default_flags& flags, size_t walk_root_length = 0);

// Format by the first bytes: PNG, JPEG, WebP (RIFF), or format_unknown when
// the file cannot be read or holds fewer than three bytes. Reads the held
// input when the path is held on this thread.
int detect_format(const std::string& path);

// Sets job.result to 1 when the options cannot be honoured for the format.
void check_job_compat(image_job& job, int format);

// Size of a regular file; -1 when stat fails, the path is not a regular file
// (a folder or a device), or the size does not fit in 31 bits (2 GiB or more).
int32_t file_size(const std::string& path);
bool file_exists(const std::string& path);
bool file_writable(const std::string& path);
// Modification time in nanoseconds since the epoch, -1 when stat fails.
int64_t file_mtime(const std::string& path);
// Access time := now, modification time := the saved value.
bool restore_mtime(const std::string& path, int64_t mtime);
