// Where the engine is: the program `core` in the front end's own folder.
#pragma once
#include <string>

// Folder of the running program with a trailing "/", "" when unknown.
std::string running_program_folder();

// `folder` + "core".
std::string engine_path_in(const std::string& folder);

// The engine at `path` exists as a regular file.
bool engine_exists(const std::string& path);
