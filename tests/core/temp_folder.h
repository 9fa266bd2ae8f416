// A temporary folder for one test, removed with everything in it at the end,
// and small helpers to write and read fixture files.
#pragma once
#include <boost/filesystem.hpp>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

// Passed to temp_folder for a folder in /dev/shm where it exists, for tests
// that flush many files to disk.
enum temp_folder_place { on_disk, in_memory };

struct temp_folder {
    std::string path;

    explicit temp_folder(temp_folder_place place = on_disk) {
        boost::system::error_code ec;
        const boost::filesystem::path base = place == in_memory && boost::filesystem::is_directory("/dev/shm", ec)
                                                 ? boost::filesystem::path("/dev/shm")
                                                 : boost::filesystem::temp_directory_path();
        std::string pattern = (base / "velto-test-XXXXXX").string();
        char* made = ::mkdtemp(pattern.data());
        path = made ? std::string(made) : std::string();
    }
    ~temp_folder() {
        boost::system::error_code ec;
        // Folders a test locked are opened again so they can be removed.
        for (boost::filesystem::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
            boost::filesystem::permissions(it->path(), boost::filesystem::owner_all | boost::filesystem::add_perms, ec);
        boost::filesystem::remove_all(path, ec);
    }
    temp_folder(const temp_folder&) = delete;
    temp_folder& operator=(const temp_folder&) = delete;

    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string read_file_head(const std::string& path, size_t limit = 4096) {
    std::ifstream in(path, std::ios::binary);
    std::string head(limit, '\0');
    in.read(head.data(), static_cast<std::streamsize>(limit));
    head.resize(static_cast<size_t>(in.gcount()));
    return head;
}

// Fixture content: a format signature padded with 'x' to `size` bytes.
inline std::string signed_bytes(const std::string& signature, size_t size) {
    std::string s = signature.substr(0, size);
    s.resize(size, 'x');
    return s;
}

inline const std::string png_signature = std::string("\x89PNG\r\n\x1a\n", 8);
inline const std::string jpeg_signature = std::string("\xFF\xD8\xFF\xE0", 4);
inline const std::string riff_signature = std::string("RIFF\x10\0\0\0WEBP", 12);
