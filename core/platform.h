// The only place of the engine that knows the operating system: the data folder,
// process priority, console title, file status and times, the write check,
// temporary files and the safe replacement of an input file.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Folder for preview, settings, report and temporary files: LOCALAPPDATA when it
// is set and not empty, else $XDG_DATA_HOME/velto, else ~/.local/share/velto.
// The folder is created when missing. The result uses "/" as separator and has
// no trailing separator.
std::string data_folder();

// data_folder() + "/" + name.
std::string data_file_path(const std::string& name);

// Lowest CPU priority (nice 19) and idle I/O priority for the process; threads
// started later inherit both. When nice 19 is refused, a milder nice value is
// asked for; other failures are ignored.
void enter_background_priority();

// Sets the terminal title with an OSC sequence on standard output, only when
// standard output is a terminal; otherwise writes nothing.
void set_console_title(const std::string& title);
// The same on a given descriptor (tests use a pseudo-terminal and a pipe).
void set_console_title_on(int fd, const std::string& title);

// Status of a path, links followed.
struct file_info {
    uint64_t size = 0;
    int64_t mtime_ns = 0;  // modification time, nanoseconds since the epoch
    uint64_t device = 0;
    uint64_t inode = 0;
    bool regular = false;
    bool directory = false;
};
bool read_file_info(const std::string& path, file_info& info);

// False when the file has no write permission bit set at all (a read-only file,
// even for root), or when access() denies writing.
bool path_writable(const std::string& path);

// Access time := now, modification time := mtime_ns. Returns false on failure.
bool set_file_mtime(const std::string& path, int64_t mtime_ns);

// Creates a new empty file with a unique name in `folder` (mkstemp) and returns
// its path, or "" on failure. The caller removes it with remove_temp_file.
std::string create_temp_file(const std::string& folder);

// Removes a file made by create_temp_file.
void remove_temp_file(const std::string& path);

// Reads the whole file at `path` into `bytes`. Pipelines read their input
// through here, never by opening the path themselves. Returns false (and
// leaves `bytes` empty) when the file cannot be read completely.
bool read_whole_file(const std::string& path, std::vector<uint8_t>& bytes);

// Replaces the contents of the file at `path` with `size` bytes from `data`:
// the bytes go to a new temporary file in the same folder (every write checked,
// then fsync and close), which gets the original's permission bits and is then
// renamed over the input. When the path is a symbolic link its target is
// replaced. On any failure the temporary file is removed, the input stays as it
// was, and the function returns false. Every pipeline that rewrites an input
// goes through here.
bool replace_file_contents(const std::string& path, const void* data, size_t size);
