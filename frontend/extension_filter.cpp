// Extension filter; see extension_filter.h.
#include "frontend/extension_filter.h"

std::string get_extension(const std::string& text) {
    const size_t dot = text.rfind('.');
    return dot == std::string::npos ? std::string() : text.substr(dot);
}

bool has_image_extension(const std::string& path) {
    std::string ext = get_extension(path);
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    // Blanks around both sides make ".jp" or "" miss, as a whole-word search.
    const std::string accepted = " .jpg .jpeg .png ";
    return accepted.find(" " + ext + " ") != std::string::npos;
}
