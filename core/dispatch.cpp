// Input collection, file workers and per-file dispatch.
#include "dispatch.h"

#include <boost/filesystem.hpp>
#include <cerrno>
#include <cstring>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "core/jpg/jpeg_optimizer.h"
#include "core/platform.h"
#include "core/png/png_optimizer.h"

std::atomic<uint8_t> run_failed{0};
std::atomic<uint8_t> preview_refused{0};

namespace {

namespace fs = boost::filesystem;

// Files below this size cannot hold a useful image.
constexpr int32_t min_file_size = 38;

using file_key = std::pair<uint64_t, uint64_t>;  // device, inode

struct collector {
    input_collection& out;
    std::atomic<uint32_t>& run_result;
    std::set<file_key> seen;

    // Returns true when the path was new (or has no readable status) and
    // entered the list.
    bool add(const std::string& path) {
        file_info info;
        if (read_file_info(path, info) && !seen.insert({info.device, info.inode}).second) return false;
        out.files.push_back({path, 0});
        return true;
    }

    // Pre-order walk, the order of a recursive directory iteration: an entry,
    // then the contents of that entry when it is a folder. A link is counted
    // as an entry but neither listed nor followed. A folder already listed is
    // not walked again. A folder that cannot be listed (no permission) or an
    // entry whose status cannot be read (a path beyond the system's length
    // limit) fails the run; the walk goes on with the rest. An entry that
    // vanished meanwhile is no failure. `root_length` is the length of the
    // folder argument the walk started from.
    void walk(const std::string& folder, size_t root_length) {
        boost::system::error_code ec;
        fs::directory_iterator it(folder, ec);
        if (ec) {
            run_result.fetch_or(1);
            return;
        }
        const std::string prefix = folder.back() == '/' ? folder : folder + "/";
        for (const fs::directory_iterator end; it != end;) {
            const std::string entry = prefix + it->path().filename().string();
            file_info info;
            if (!read_entry_info(entry, info)) {
                if (errno != ENOENT) run_result.fetch_or(1);
                out.files.push_back({entry, root_length});
                ++out.folder_entry_count;
            } else if (info.link) {
                ++out.folder_entry_count;
            } else if (seen.insert({info.device, info.inode}).second) {
                out.files.push_back({entry, root_length});
                ++out.folder_entry_count;
                if (info.directory) walk(entry, root_length);
            }
            it.increment(ec);
            if (ec) {  // the listing of this folder broke off
                run_result.fetch_or(1);
                return;
            }
        }
    }
};

bool accepted_extension(const std::string& path) {
    static const char* const extensions[] = {"PNG", "png", "jpg", "JPG", "JPEG", "jpeg", "webp", "WEBP"};
    size_t dot = path.rfind('.');
    const char* ext = dot == std::string::npos ? path.c_str() : path.c_str() + dot + 1;
    for (const char* e : extensions)
        if (std::strcmp(ext, e) == 0) return true;
    return false;
}

}  // namespace

input_collection collect_inputs(const std::vector<std::string>& paths, std::atomic<uint32_t>& run_result) {
    input_collection out;
    collector c{out, run_result, {}};
    for (const std::string& arg : paths) {
        ++out.path_arg_count;
        file_info info;
        if (!read_file_info(arg, info) || (!info.regular && !info.directory)) {
            run_result.fetch_or(1);
            continue;
        }
        if (info.regular) {
            c.add(arg);
            continue;
        }
        if (c.seen.insert({info.device, info.inode}).second) c.walk(arg, arg.size());
    }
    return out;
}

bool names_single_file(const input_collection& inputs) {
    return inputs.path_arg_count == 1 && inputs.folder_entry_count == 0;
}

void file_worker(const file_list& files, std::atomic<uint64_t>& next_file_index,
                 const default_flags& flags, std::atomic<uint32_t>& run_result) {
    for (;;) {
        uint64_t i = next_file_index.fetch_add(1);
        if (i >= files.size()) return;
        run_result.fetch_or(process_file(files[i].path, flags, files[i].walk_root_length));
    }
}

unsigned run_file_workers(const file_list& files, const default_flags& flags,
                          std::atomic<uint64_t>& next_file_index, std::atomic<uint32_t>& run_result,
                          unsigned count, unsigned max_started) {
    std::vector<std::thread> workers;
    workers.reserve(count);
    for (unsigned i = 0; i < count && workers.size() < max_started; ++i) {
        try {
            workers.emplace_back([files, flags, &next_file_index, &run_result] {
                file_worker(files, next_file_index, flags, run_result);
            });
        } catch (const std::system_error&) {
            break;  // the system refuses more threads
        } catch (const std::bad_alloc&) {
            break;
        }
    }
    unsigned ran = static_cast<unsigned>(workers.size());
    if (workers.empty() && count > 0) {
        file_worker(files, next_file_index, flags, run_result);
        ran = 1;
    }
    for (std::thread& t : workers) t.join();
    return ran;
}

uint8_t process_file(const std::string& path, const default_flags& flags, size_t walk_root_length) {
    if (!accepted_extension(path)) return 0;

    // Resolved and opened once: the checks below, the pipeline's reads and its
    // replace all act on this file, and the replace is refused when the name
    // no longer names it (saved again or swapped for a link during the run).
    held_input input(path, walk_root_length);
    if (!input.held() || input.opened().size > static_cast<uint64_t>(INT32_MAX)) return 1;
    const int32_t size = static_cast<int32_t>(input.opened().size);
    if (size < min_file_size || !input.writable()) return 1;

    const int format = detect_format(path);
    if (format != format_png && format != format_jpeg && format != format_webp) return 1;

    image_job job;
    init_image_job(job, flags, static_cast<uint32_t>(size));

    uint8_t result = 0;
    bool optimised = false;
    if ((format == format_png && flags.png_enabled) || (format == format_jpeg && flags.jpeg_enabled)) {
        check_job_compat(job, format);
        if (job.result == 0) {
            if (format == format_png)
                optimize_png_file(path, job);
            else
                optimize_jpeg_file(path, job);
            optimised = true;
            result = job.result;
        }
    }

    if (job.preview_refused) preview_refused.store(1);
    if (job.result != 0 && job.single_file) run_failed.store(1);

    // The time goes back on the file this run wrote, never on one that took
    // its name meanwhile.
    file_info now;
    if (job.result == 0 && flags.notime && optimised && input.replaced() && input.status_now(now) &&
        now.size < static_cast<uint64_t>(size))
        input.set_mtime(input.opened().mtime_ns);
    return result;
}

int detect_format(const std::string& path) {
    uint8_t head[12] = {};
    const size_t n = read_file_head(path, head, sizeof head);
    if (n < 3) return format_unknown;
    if (head[0] == 0x89 && head[1] == 'P' && head[2] == 'N') return format_png;
    if (head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) return format_jpeg;
    if (head[0] == 'R' && head[1] == 'I' && head[2] == 'F') return format_webp;
    return format_unknown;
}

void check_job_compat(image_job& job, int format) {
    if (format == format_png && job.noalpha && job.resize_target != 0) job.result = job_failed;
    if ((format == format_png || format == format_jpeg) && job.mode == mode_lossless &&
        (job.srgb || job.resize_target != 0))
        job.result = job_failed;
}

int32_t file_size(const std::string& path) {
    file_info info;
    if (!read_file_info(path, info) || !info.regular || info.size > static_cast<uint64_t>(INT32_MAX)) return -1;
    return static_cast<int32_t>(info.size);
}

bool file_exists(const std::string& path) {
    file_info info;
    return read_file_info(path, info);
}

bool file_writable(const std::string& path) { return path_writable(path); }

int64_t file_mtime(const std::string& path) {
    file_info info;
    return read_file_info(path, info) ? info.mtime_ns : -1;
}

bool restore_mtime(const std::string& path, int64_t mtime) { return set_file_mtime(path, mtime); }
