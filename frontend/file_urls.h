// File names between the front end and Qt's URLs. Paths are kept as the
// bytes the system gave, which need not be valid UTF-8; a file URL carries
// them percent-encoded, so a dropped name and the report opened in the
// desktop's program name exactly the file they stand for.
#pragma once
#include <QUrl>
#include <string>

// The file URL of `path` (an absolute path).
QUrl local_file_url(const std::string& path);

// The path a local file URL names, as bytes; "" for a URL that names no
// local file.
std::string local_path_of(const QUrl& url);
