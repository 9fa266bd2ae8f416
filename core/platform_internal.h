// Shared by the source files of the platform layer only.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <sys/types.h>

// Some write permission bit is set. access() says yes to root even for a file
// or folder marked read-only, so the bits are looked at too.
bool has_write_bit(mode_t mode);

// The file or folder open as `fd` carries the append-only or the immutable
// attribute. In such a folder, or over such a file, a rename is refused even
// to root, and in an append-only folder so is removing a file: a temporary
// made there could neither take the name nor go away. A file system without
// these attributes has none.
bool append_only_or_immutable(int fd);

// Writes all bytes, retrying short writes and interrupted calls.
bool write_all(int fd, const void* data, size_t size);

// The times for utimensat/futimens: access time now, modification time
// mtime_ns (nanoseconds since the epoch, may be negative).
void times_now_and_modified(int64_t mtime_ns, struct timespec times[2]);

// Opens a folder for the *at calls (platform_input.cpp), with `extra_flags`
// such as O_NOFOLLOW. A folder that may be written but not listed (mode -wx)
// is opened as a bare handle, which serves every *at call but cannot be
// flushed.
int open_folder(const std::string& folder, int extra_flags);
// The same relative to the folder open as `at` (or AT_FDCWD).
int open_folder_at(int at, const std::string& folder, int extra_flags);

// Live temporary files (platform_temp.cpp): every temporary file the engine
// makes is entered in a fixed table when it is created and taken out when it
// is removed or renamed into place. A handler for SIGINT, SIGTERM and SIGHUP
// removes the files still in the table with async-signal-safe calls only, then
// ends the process by the same signal, so its exit status stays honest.

// Creates a new file named `prefix` and six random characters in the folder
// open as `folder_fd` (O_CREAT | O_EXCL, never following a link), opened for
// reading and writing, and enters it in the table. When `lookup_folder` is
// not empty, remove_temp_file finds the file by that folder joined with its
// name; otherwise only by its slot.
// Returns the descriptor, its name and its slot, or -1 when no file could be
// made or the table is full.
int create_live_temp(int folder_fd, const char* prefix, mode_t mode, const std::string& lookup_folder,
                     std::string& name, int& slot);

// Takes a file out of the table without removing it (it was removed, or
// renamed into place).
void forget_live_temp(int slot);

// The slot of the live file found by `path`, or -1.
int find_live_temp(const std::string& path);
