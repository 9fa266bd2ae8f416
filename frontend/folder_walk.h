// Expands a dropped or named path into the files below it: a file stands for
// itself; a folder is walked depth first with its entries sorted by name, so
// the grid's order does not depend on the file system. Symbolic links to
// folders met inside a walk are not followed, which keeps a link back into
// its own tree from looping; links to files are taken. Entries that cannot be
// read are skipped.
#pragma once
#include <functional>
#include <string>

// Calls `found` with the path of every regular file at or below `path`
// (links to regular files included). A missing path calls nothing.
void walk_path(const std::string& path, const std::function<void(const std::string&)>& found);
