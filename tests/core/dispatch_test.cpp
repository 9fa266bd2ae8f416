#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/dispatch.h"
#include "core/fake_pipelines.h"
#include "core/platform.h"
#include "core/temp_folder.h"

namespace {

namespace fs = boost::filesystem;

default_flags base_flags() {
    default_flags f;
    init_default_flags(f);
    f.inner_threads = 4;
    validate_flags(f);
    return f;
}

void clear_run_flags() {
    run_failed.store(0);
    preview_refused.store(0);
}

const int64_t old_time = 978307200LL * 1000000000LL;  // 2001-01-01

TEST(DetectFormat, ByTheFirstThreeBytes) {
    temp_folder tmp;
    const struct { std::string bytes; int format; } cases[] = {
        {signed_bytes(png_signature, 40), format_png},
        {std::string("\x89PN", 3), format_png},
        {signed_bytes(jpeg_signature, 40), format_jpeg},
        {std::string("\xFF\xD8\xFE", 3) + "xxxxxxxxx", format_unknown},
        {signed_bytes(riff_signature, 40), format_webp},
        {"RIFX and more", format_webp},  // only three bytes decide
        {"RIXF and more", format_unknown},
        {"GIF89a........", format_unknown},
        {std::string("\x89P", 2), format_unknown},
        {"", format_unknown},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string f = tmp / ("f" + std::to_string(n++));
        write_file(f, c.bytes);
        EXPECT_EQ(detect_format(f), c.format) << n;
    }
    EXPECT_EQ(detect_format(tmp / "missing"), format_unknown);
}

TEST(CheckJobCompat, RefusesWhatThePipelinesCannotHonour) {
    const struct {
        uint8_t noalpha, lossless, srgb;
        uint16_t resize;
        int format;
        uint8_t result;
    } cases[] = {
        {1, 0, 0, 512, format_png, 1},  {1, 0, 0, 512, format_jpeg, 0}, {1, 0, 0, 0, format_png, 0},
        {0, 1, 1, 0, format_png, 1},    {0, 1, 1, 0, format_jpeg, 1},   {0, 1, 0, 512, format_png, 1},
        {0, 1, 0, 512, format_jpeg, 1}, {0, 1, 0, 0, format_png, 0},    {0, 0, 1, 512, format_jpeg, 0},
        {1, 1, 1, 512, format_webp, 0},
    };
    for (const auto& c : cases) {
        default_flags f = base_flags();
        f.noalpha = c.noalpha;
        f.lossless = c.lossless;
        f.srgb = c.srgb;
        f.resize_target = c.resize;
        image_job job;
        init_image_job(job, f, 1000);
        check_job_compat(job, c.format);
        EXPECT_EQ(job.result, c.result) << int(c.noalpha) << int(c.lossless) << int(c.srgb) << " " << c.resize
                                        << " format " << c.format;
    }
}

struct dispatch_case {
    const char* name;
    std::string bytes;
    mode_t mode;
    void (*adjust)(default_flags&);
    fake_pipeline_behaviour fake;
    uint8_t expected_result;
    char expected_pipeline;  // 0: no pipeline called
    bool expected_run_failed;
    bool expected_preview_refused;
};

void no_change(default_flags&) {}
void single(default_flags& f) { f.single_file = 1; }
void png_off(default_flags& f) { f.png_enabled = 0; }
void jpeg_off(default_flags& f) { f.jpeg_enabled = 0; }
void noalpha_resize_single(default_flags& f) {
    f.noalpha = 1;
    f.resize_target = 512;
    f.single_file = 1;
}
void noalpha_resize(default_flags& f) {
    f.noalpha = 1;
    f.resize_target = 512;
}
void lossless_srgb(default_flags& f) {
    f.lossless = 1;
    f.srgb = 1;
}

TEST(ProcessFile, ExtensionSizeAccessAndContentDecide) {
    const std::string png = signed_bytes(png_signature, 100);
    const std::string jpeg = signed_bytes(jpeg_signature, 100);
    const std::string riff = signed_bytes(riff_signature, 100);
    const std::string text(100, 't');
    const fake_pipeline_behaviour plain{};
    const fake_pipeline_behaviour fails{5, 0, 0, false};
    const fake_pipeline_behaviour refuses_preview{0, 1, 0, false};
    const dispatch_case cases[] = {
        {"a.Png", png, 0644, no_change, plain, 0, 0, false, false},
        {"a.PNG", png, 0644, no_change, plain, 0, 'p', false, false},
        {"a.png.txt", png, 0644, no_change, plain, 0, 0, false, false},
        {"a.png", text, 0644, no_change, plain, 1, 0, false, false},
        {"a.png", signed_bytes(png_signature, 37), 0644, no_change, plain, 1, 0, false, false},
        {"a.png", signed_bytes(png_signature, 38), 0644, no_change, plain, 0, 'p', false, false},
        {"a.jpg", jpeg, 0444, no_change, plain, 1, 0, false, false},
        {"a.JPEG", jpeg, 0644, no_change, plain, 0, 'j', false, false},
        {"a.jpg", png, 0644, no_change, plain, 0, 'p', false, false},
        {"a.png", jpeg, 0644, no_change, plain, 0, 'j', false, false},
        {"a.webp", riff, 0644, no_change, plain, 0, 0, false, false},
        {"a.jpg", riff, 0644, no_change, plain, 0, 0, false, false},
        {"a.WEBP", text, 0644, no_change, plain, 1, 0, false, false},
        {"a.jpeg", text, 0644, single, plain, 1, 0, false, false},
        {"a.png", png, 0644, png_off, plain, 0, 0, false, false},
        {"a.jpg", jpeg, 0644, jpeg_off, plain, 0, 0, false, false},
        {"a.jpg", jpeg, 0644, png_off, plain, 0, 'j', false, false},
        {"a.png", png, 0644, no_change, fails, 5, 'p', false, false},
        {"a.png", png, 0644, single, fails, 5, 'p', true, false},
        {"a.png", png, 0644, noalpha_resize_single, plain, 0, 0, true, false},
        {"a.png", png, 0644, noalpha_resize, plain, 0, 0, false, false},
        {"a.jpg", jpeg, 0644, noalpha_resize_single, plain, 0, 'j', false, false},
        {"a.jpg", jpeg, 0644, lossless_srgb, plain, 0, 0, false, false},
        {"a.png", png, 0644, no_change, refuses_preview, 0, 'p', false, true},
    };
    int n = 0;
    for (const dispatch_case& c : cases) {
        SCOPED_TRACE(std::to_string(n++) + ": " + c.name);
        temp_folder tmp;
        const std::string f = tmp / c.name;
        write_file(f, c.bytes);
        ::chmod(f.c_str(), c.mode);
        default_flags flags = base_flags();
        c.adjust(flags);
        clear_run_flags();
        reset_fakes(c.fake);

        EXPECT_EQ(process_file(f, flags), c.expected_result);
        std::vector<fake_call> calls = fake_calls();
        if (c.expected_pipeline) {
            ASSERT_EQ(calls.size(), 1u);
            EXPECT_EQ(calls[0].pipeline, c.expected_pipeline);
            EXPECT_EQ(calls[0].job.input_size, c.bytes.size());
            EXPECT_EQ(calls[0].job.single_file, flags.single_file);
        } else {
            EXPECT_TRUE(calls.empty());
        }
        EXPECT_EQ(run_failed.load() != 0, c.expected_run_failed);
        EXPECT_EQ(preview_refused.load() != 0, c.expected_preview_refused);
        EXPECT_EQ(read_file(f), c.bytes);
    }
}

TEST(ProcessFile, EntriesThatAreNotRegularFilesFailWithoutBeingOpened) {
    temp_folder tmp;
    fs::create_directory(tmp / "folder.png");
    // Opening a FIFO for reading would block, so this also shows it is not opened.
    ASSERT_EQ(::mkfifo((tmp / "pipe.jpg").c_str(), 0644), 0);
    reset_fakes();
    EXPECT_EQ(process_file(tmp / "folder.png", base_flags()), 1);
    EXPECT_EQ(process_file(tmp / "pipe.jpg", base_flags()), 1);
    EXPECT_EQ(process_file(tmp / "missing.png", base_flags()), 1);
    EXPECT_TRUE(fake_calls().empty());
}

TEST(ProcessFile, FilesOf2GiBOrMoreFailUntouched) {
    temp_folder tmp;
    const struct { const char* name; uint64_t size; uint8_t result; } cases[] = {
        {"just-below.png", 0x7FFFFFFFull, 0},
        {"two-gib.png", 0x80000000ull, 1},
        {"wraps-to-100.png", 0x100000064ull, 1},  // would read as 100 bytes if narrowed
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string f = tmp / c.name;
        write_file(f, signed_bytes(png_signature, 64));
        ASSERT_EQ(::truncate(f.c_str(), static_cast<off_t>(c.size)), 0);  // sparse
        reset_fakes();
        EXPECT_EQ(process_file(f, base_flags()), c.result);
        EXPECT_EQ(fake_calls().size(), c.result == 0 ? 1u : 0u);
        EXPECT_EQ(fs::file_size(f), c.size);
        ::unlink(f.c_str());
    }
    EXPECT_EQ(file_size(tmp.path), -1);
}

TEST(ProcessFile, NotimePutsBackTheTimeOnlyOfFilesThatGotSmaller) {
    const struct {
        bool notime;
        fake_pipeline_behaviour fake;
        bool keeps_old_time;
    } cases[] = {
        {true, {0, 0, 10, false}, true},
        {true, {0, 0, 0, true}, false},   // rewritten, not smaller
        {false, {0, 0, 10, false}, false},
        {true, {1, 0, 10, false}, false},  // failed file
        {true, {0, 0, 0, false}, true},    // untouched keeps its time anyway
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(n++);
        temp_folder tmp;
        const std::string f = tmp / "a.png";
        write_file(f, signed_bytes(png_signature, 200));
        ASSERT_TRUE(restore_mtime(f, old_time));
        ASSERT_EQ(file_mtime(f), old_time);
        default_flags flags = base_flags();
        flags.notime = c.notime;
        reset_fakes(c.fake);
        process_file(f, flags);
        EXPECT_EQ(file_mtime(f) == old_time, c.keeps_old_time);
    }
}

TEST(ProcessFile, NotimeNeverTouchesAFileThatTookTheNameAfterTheRewrite) {
    temp_folder tmp;
    const std::string f = tmp / "a.png";
    write_file(f, signed_bytes(png_signature, 200));
    ASSERT_TRUE(restore_mtime(f, old_time));
    const std::string intruder = tmp / "intruder";
    write_file(intruder, signed_bytes(png_signature, 50));
    const int64_t intruder_time = file_mtime(intruder);

    reset_fakes({0, 0, 10, false});
    set_after_rewrite([&](const std::string& path) { ::rename(intruder.c_str(), path.c_str()); });
    default_flags flags = base_flags();
    flags.notime = 1;
    EXPECT_EQ(process_file(f, flags), 0);
    EXPECT_EQ(fs::file_size(f), 50u);
    EXPECT_EQ(file_mtime(f), intruder_time);
}

std::vector<std::string> relative_to(const std::string& root, const std::vector<std::string>& paths) {
    std::vector<std::string> out;
    for (const std::string& p : paths) out.push_back(p.rfind(root, 0) == 0 ? p.substr(root.size()) : p);
    return out;
}

std::vector<std::string> relative_to(const std::string& root, const file_list& files) {
    std::vector<std::string> paths;
    for (const listed_file& f : files) paths.push_back(f.path);
    return relative_to(root, paths);
}

TEST(CollectInputs, FoldersAreWalkedAndEveryFileEntersOnce) {
    temp_folder tmp;
    fs::create_directories(tmp / "root/sub");
    write_file(tmp / "root/a.png", "a");
    write_file(tmp / "root/notes.txt", "n");
    write_file(tmp / "root/sub/b.png", "b");
    write_file(tmp / "c.jpg", "c");
    fs::create_symlink(tmp / "c.jpg", tmp / "root/link-to-c.jpg");
    fs::create_directory(tmp / "elsewhere");
    write_file(tmp / "elsewhere/hidden.png", "h");
    fs::create_directory_symlink(tmp / "elsewhere", tmp / "root/folder-link");

    std::atomic<uint32_t> run_result{0};
    input_collection in = collect_inputs(
        {tmp / "c.jpg", tmp / "root", tmp / "c.jpg", tmp / "root/a.png", tmp / "missing.png", tmp / "root"},
        run_result);
    EXPECT_EQ(run_result.load(), 1u);  // the missing path
    EXPECT_EQ(in.path_arg_count, 6u);
    std::vector<std::string> got = relative_to(tmp.path, in.files);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0], "/c.jpg");
    std::vector<std::string> sorted(got.begin() + 1, got.end());
    std::sort(sorted.begin(), sorted.end());
    // The two links are entries but are neither listed nor followed.
    EXPECT_EQ(sorted, (std::vector<std::string>{"/root/a.png", "/root/notes.txt", "/root/sub", "/root/sub/b.png"}));
    EXPECT_EQ(in.folder_entry_count, 6u);
    auto pos = [&](const char* name) { return std::find(got.begin(), got.end(), name) - got.begin(); };
    EXPECT_LT(pos("/root/sub"), pos("/root/sub/b.png"));
    EXPECT_FALSE(names_single_file(in));
    // Walked entries know where their walk began; a named file does not.
    EXPECT_EQ(in.files[0].walk_root_length, 0u);
    for (size_t i = 1; i < in.files.size(); ++i) EXPECT_EQ(in.files[i].walk_root_length, (tmp / "root").size());
}

TEST(CollectInputs, ALinkMetInAWalkDoesNotHideItsTarget) {
    // The walk of "root" meets links to a file and a folder of "other" before
    // "other" is walked; both must still be listed and walked there.
    temp_folder tmp;
    fs::create_directories(tmp / "root");
    fs::create_directories(tmp / "other/sub");
    write_file(tmp / "other/t.png", "t");
    write_file(tmp / "other/sub/u.png", "u");
    fs::create_symlink(tmp / "other/t.png", tmp / "root/link.png");
    fs::create_directory_symlink(tmp / "other/sub", tmp / "root/folder-link");
    std::atomic<uint32_t> run_result{0};
    input_collection in = collect_inputs({tmp / "root", tmp / "other"}, run_result);
    std::vector<std::string> got = relative_to(tmp.path, in.files);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"/other/sub", "/other/sub/u.png", "/other/t.png"}));
    EXPECT_EQ(run_result.load(), 0u);
}

TEST(CollectInputs, SingleFileRule) {
    temp_folder tmp;
    fs::create_directories(tmp / "empty");
    fs::create_directories(tmp / "one");
    write_file(tmp / "one/a.png", "a");
    write_file(tmp / "b.png", "b");
    const struct { std::vector<std::string> args; bool single; } cases[] = {
        {{tmp / "b.png"}, true},
        {{tmp / "empty"}, true},
        {{tmp / "one"}, false},
        {{tmp / "b.png", tmp / "b.png"}, false},
        {{tmp / "missing"}, true},
        {{}, false},
    };
    for (const auto& c : cases) {
        std::atomic<uint32_t> run_result{0};
        EXPECT_EQ(names_single_file(collect_inputs(c.args, run_result)), c.single)
            << (c.args.empty() ? "" : c.args[0]);
    }
}

TEST(CollectInputs, UnreadableFolderFailsTheRunAndTheWalkGoesOn) {
    temp_folder tmp;
    fs::create_directories(tmp / "root/locked");
    fs::create_directories(tmp / "root/open");
    write_file(tmp / "root/locked/x.png", "x");
    write_file(tmp / "root/open/y.png", "y");
    write_file(tmp / "root/z.png", "z");
    ::chmod(tmp.path.c_str(), 0755);
    ::chmod((tmp / "root/locked").c_str(), 0);

    const struct {
        std::vector<std::string> args;
        std::vector<std::string> files;
        uint32_t run_result;
    } cases[] = {
        {{tmp / "root"}, {"/root/locked", "/root/open", "/root/open/y.png", "/root/z.png"}, 1},
        {{tmp / "root/locked"}, {}, 1},
        {{tmp / "root/locked/x.png"}, {}, 1},  // no readable status
        {{tmp / "root/open"}, {"/root/open/y.png"}, 0},
    };
    // Root reads every folder, so the walk runs in a child without privileges.
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(100);
        int wrong = 0;
        for (size_t i = 0; i < std::size(cases); ++i) {
            std::atomic<uint32_t> run_result{0};
            std::vector<std::string> got = relative_to(tmp.path, collect_inputs(cases[i].args, run_result).files);
            std::sort(got.begin(), got.end());
            if (got != cases[i].files || run_result.load() != cases[i].run_result) wrong |= 1 << i;
        }
        ::_exit(wrong);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "bit i set: case i went wrong";
}

file_list png_files(const temp_folder& tmp, int count) {
    file_list files;
    for (int i = 0; i < count; ++i) {
        files.push_back({tmp / ("f" + std::to_string(i) + ".png")});
        write_file(files.back().path, signed_bytes(png_signature, 64));
    }
    return files;
}

TEST(FileWorkers, EveryFileIsProcessedExactlyOnceWhateverThreadsStart) {
    temp_folder tmp;
    const file_list files = png_files(tmp, 25);
    const struct { unsigned count; unsigned max_started; unsigned ran; } cases[] = {
        {4, UINT_MAX, 4},
        {4, 2, 2},  // two threads refused: the started ones take their share
        {4, 0, 1},  // no thread at all: the calling thread does the work
        {1, UINT_MAX, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.max_started);
        reset_fakes({2, 0, 0, false});
        std::atomic<uint64_t> next{0};
        std::atomic<uint32_t> run_result{0};
        EXPECT_EQ(run_file_workers(files, base_flags(), next, run_result, c.count, c.max_started), c.ran);
        std::map<std::string, int> seen;
        for (const fake_call& call : fake_calls()) ++seen[call.path];
        EXPECT_EQ(seen.size(), files.size());
        for (const auto& [path, times] : seen) EXPECT_EQ(times, 1) << path;
        EXPECT_EQ(run_result.load(), 2u);
        EXPECT_EQ(next.load(), files.size() + c.ran);  // one extra take per worker at the end
    }
}

TEST(FileWorkers, EmptyListStillRunsAndEnds) {
    std::atomic<uint64_t> next{0};
    std::atomic<uint32_t> run_result{0};
    EXPECT_EQ(run_file_workers({}, base_flags(), next, run_result, 3), 3u);
    EXPECT_EQ(run_result.load(), 0u);
}

// A tree the user walks, with links to a private file and folder outside it.
struct tree_with_links {
    temp_folder tmp;
    const std::string victim_bytes = signed_bytes(png_signature, 200);
    tree_with_links() {
        fs::create_directories(tmp / "tree");
        fs::create_directories(tmp / "private");
        write_file(tmp / "private/victim.png", victim_bytes);
        write_file(tmp / "tree/real.png", signed_bytes(png_signature, 200));
        fs::create_symlink(tmp / "private/victim.png", tmp / "tree/innocent.png");
        fs::create_symlink("../private/victim.png", tmp / "tree/relative.png");
        fs::create_directory_symlink(tmp / "private", tmp / "tree/folder.png");
        fs::create_directory_symlink(tmp / "private", tmp / "folder-link");
    }
};

TEST(FileWorkers, LinksAreFollowedOnlyWhenNamedOnTheCommandLine) {
    const struct {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::string> optimised;  // relative to the temporary folder
    } cases[] = {
        {"links met in a walk", {"tree"}, {"/tree/real.png"}},
        {"a link to a file named", {"tree/innocent.png"}, {"/tree/innocent.png"}},
        {"a link to a folder named", {"folder-link"}, {"/folder-link/victim.png"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tree_with_links t;
        std::vector<std::string> args;
        for (const std::string& a : c.args) args.push_back(t.tmp / a);
        std::atomic<uint32_t> run_result{0};
        const input_collection in = collect_inputs(args, run_result);
        reset_fakes({0, 0, 10, false});
        std::atomic<uint64_t> next{0};
        run_file_workers(in.files, base_flags(), next, run_result, 2);
        EXPECT_EQ(run_result.load(), 0u);
        std::vector<std::string> called;
        for (const fake_call& call : fake_calls()) called.push_back(call.path);
        EXPECT_EQ(relative_to(t.tmp.path, called), c.optimised);
        const bool victim_named = c.optimised[0] != "/tree/real.png";
        EXPECT_EQ(read_file(t.tmp / "private/victim.png").size(), victim_named ? 190u : 200u);
        EXPECT_TRUE(fs::is_symlink(t.tmp / "tree/innocent.png"));
    }
}

TEST(FileWorkers, AWalkedEntryThatBecameALinkIsLeftAlone) {
    const struct {
        const char* name;
        const char* swapped;  // replaced by a link to the same name under "private"
        const char* entry;
    } cases[] = {
        {"the file itself", "tree/a.png", "/tree/a.png"},
        {"a folder above it", "tree/sub", "/tree/sub/b.png"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        temp_folder tmp;
        fs::create_directories(tmp / "tree/sub");
        fs::create_directories(tmp / "private/sub");
        const std::string bytes = signed_bytes(png_signature, 200);
        for (const char* f : {"tree/a.png", "tree/sub/b.png", "private/a.png", "private/sub/b.png"})
            write_file(tmp / f, bytes);
        std::atomic<uint32_t> run_result{0};
        const input_collection in = collect_inputs({tmp / "tree"}, run_result);
        file_list entry;
        for (const listed_file& f : in.files)
            if (f.path == tmp.path + c.entry) entry.push_back(f);
        ASSERT_EQ(entry.size(), 1u);

        // Between the listing and the opening.
        fs::remove_all(tmp / c.swapped);
        fs::create_symlink(tmp / "private" / fs::path(c.swapped).filename(), tmp / c.swapped);

        reset_fakes({0, 0, 10, false});
        std::atomic<uint64_t> next{0};
        run_file_workers(entry, base_flags(), next, run_result, 1);
        EXPECT_EQ(run_result.load(), 1u);
        EXPECT_TRUE(fake_calls().empty());
        EXPECT_EQ(read_file(tmp / "private/a.png"), bytes);
        EXPECT_EQ(read_file(tmp / "private/sub/b.png"), bytes);
    }
}

TEST(FileWorkers, SameFileNamedTwiceIsOptimisedOnce) {
    temp_folder tmp;
    fs::create_directories(tmp / "folder");
    const std::string f = tmp / "folder/a.png";
    write_file(f, signed_bytes(png_signature, 64));
    fs::create_symlink(f, tmp / "alias.png");
    std::atomic<uint32_t> run_result{0};
    input_collection in = collect_inputs({f, f, tmp / "folder", tmp / "alias.png", tmp / "folder/../folder/a.png"},
                                         run_result);
    reset_fakes();
    std::atomic<uint64_t> next{0};
    run_file_workers(in.files, base_flags(), next, run_result, 4);
    EXPECT_EQ(fake_calls().size(), 1u);
    EXPECT_EQ(run_result.load(), 0u);
}

}  // namespace
