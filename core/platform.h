// The only place of the engine that knows the operating system: the data folder,
// process priority, console title, file status and times, the write check,
// temporary files, the held input of a pipeline and the safe replacement of a
// file.
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
    bool link = false;  // a symbolic link itself (read_entry_info only)
};
bool read_file_info(const std::string& path, file_info& info);
// Status of the path itself: a symbolic link is not followed. On failure
// errno says why.
bool read_entry_info(const std::string& path, file_info& info);

// False when the file has no write permission bit set at all (a read-only file,
// even for root), or when access() denies writing.
bool path_writable(const std::string& path);

// Access time := now, modification time := mtime_ns. Returns false on failure.
bool set_file_mtime(const std::string& path, int64_t mtime_ns);

// Creates a new empty file with a unique name ("velto-" and six random
// characters) in `folder` and returns its path, or "" on failure (also in an
// append-only or immutable folder, where it could not be removed). The file
// stays in the table of live temporary files, which SIGINT, SIGTERM and SIGHUP
// empty before the process ends, until remove_temp_file removes it.
std::string create_temp_file(const std::string& folder);

// Removes a file made by create_temp_file and takes it out of the table. In a
// folder that refuses the removal (made append-only since) it is emptied.
void remove_temp_file(const std::string& path);

// The input file of the pipeline running on the calling thread. Made by the
// per-file dispatch before the first byte of the file is read and kept until
// the pipeline is done: the path is resolved once (a symbolic link given by
// the user means its target), its folder is opened, and the file is opened
// relative to it without following a link. An entry met in a folder walk is
// given with `walk_root_length`, the length of the walked folder's name at
// the start of `path`: that folder is opened as named, and every name after
// it is opened relative to the one before without following a link, so a
// link put in place of the entry or of a sub-folder is not followed. While it
// lives, read_whole_file, read_file_head and replace_file_contents given this
// same path string on this thread act on the held file: reads come from the
// held descriptor, and a replace happens only while the name in the held
// folder still names the file that was read (device, inode, size,
// modification and change time unchanged), so a file saved again or a link
// swapped in during the run is left alone. After a replace the new file is
// the held one.
struct held_file;
class held_input {
public:
    explicit held_input(const std::string& path, size_t walk_root_length = 0);
    ~held_input();
    held_input(const held_input&) = delete;
    held_input& operator=(const held_input&) = delete;

    // False when the path could not be resolved and opened as a regular file
    // (missing, a folder, a device, a FIFO - which is never opened - or no
    // read permission); nothing is held then.
    bool held() const;
    // Status of the file as it was opened.
    const file_info& opened() const;
    // path_writable for the held file and for its folder: false when either
    // has no write permission bit at all (even for root) or access() denies
    // writing, since the replace writes a new file into the folder; false
    // too when either carries the append-only or immutable attribute, which
    // refuses the rename (and the removal of a temporary) even to root.
    bool writable() const;
    // A replace went through this hold.
    bool replaced() const;
    // Status of the held file (after a replace, the new one) while the name in
    // the held folder still names it; false otherwise.
    bool status_now(file_info& info) const;
    // Access time := now, modification time := mtime_ns, on the held file and
    // only while the name in the held folder still names it.
    bool set_mtime(int64_t mtime_ns);

private:
    held_file* file_;
    held_file* previous_;  // the thread's held input before this one
};

// Reads the whole file at `path` into `bytes`. Pipelines read their input
// through here, never by opening the path themselves. Returns false (and
// leaves `bytes` empty) when the file cannot be read completely.
bool read_whole_file(const std::string& path, std::vector<uint8_t>& bytes);

// The same for a file of the data folder, never through a symbolic link. On
// failure errno says why: ENOENT for a missing file, ELOOP for a link, EINVAL
// for an entry that is no regular file.
bool read_whole_entry(const std::string& path, std::vector<uint8_t>& bytes);

// Reads up to `size` bytes from the start of the file; returns how many were
// read (0 when the file cannot be opened).
size_t read_file_head(const std::string& path, uint8_t* buffer, size_t size);

// Replaces the contents of the file at `path` with `size` bytes from `data`:
// the bytes go to a new temporary file (".velto-" and six random characters)
// in the same folder; every write is checked; the original's extended
// attributes (user.* and ACLs), owner and group (where permitted) and
// permission bits are put on it; it is flushed to disk, renamed over the
// input, and the folder is flushed too. A hard link to the input keeps the
// old bytes. When the path is a symbolic link its target is replaced. For the
// held input (see held_input) the rename happens only when the file is still
// the one that was read. A file made by create_temp_file is written as by
// write_whole_file instead: a link in its place is replaced, not followed.
// Nothing is written when the folder or the file carries the append-only or
// immutable attribute. On any failure the temporary file is removed (or, in a
// folder that refuses the removal, emptied), the file at the path stays as it
// was, and the function returns false. Every pipeline that rewrites an input
// goes through here.
bool replace_file_contents(const std::string& path, const void* data, size_t size);

// Writes a whole file (the data folder's previews, report and settings),
// never through a symbolic link, since others may be able to put one into the
// data folder. The folder is opened once and everything happens relative to
// it: an existing regular file is replaced as by replace_file_contents (its
// metadata kept); a missing name, a symbolic link (to a file, to a folder or
// dangling) or another entry that is no folder is replaced by a new file
// through a temporary file renamed over the name (permission bits 0666 less
// the umask), so the link itself goes and its target is never touched. The
// held input (see held_input) is replaced as by replace_file_contents. An
// append-only or immutable folder or file is refused before anything is
// written. Returns false on failure, with nothing left behind but, where the
// folder refuses its removal, an emptied temporary.
bool write_whole_file(const std::string& path, const void* data, size_t size);
