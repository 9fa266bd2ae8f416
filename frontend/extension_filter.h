// Which dropped or named files the grid takes: .jpg, .jpeg and .png in any
// letter case.
#pragma once
#include <string>

// The text from the last "." to the end, the "." included; "" without a ".".
std::string get_extension(const std::string& text);

// The lower-case extension of `path` is one of .jpg, .jpeg, .png.
bool has_image_extension(const std::string& path);
