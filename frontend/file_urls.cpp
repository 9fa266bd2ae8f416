// File URLs; see file_urls.h.
#include "frontend/file_urls.h"

#include <QByteArray>

QUrl local_file_url(const std::string& path) {
    return QUrl::fromEncoded("file://" + QByteArray::fromStdString(path).toPercentEncoding("/"), QUrl::StrictMode);
}

std::string local_path_of(const QUrl& url) {
    if (!url.isLocalFile()) return "";
    // The encoded form keeps a byte that is not UTF-8 as %XX; the decoded
    // text would have replaced it.
    const QByteArray path = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    if (path.isEmpty()) return "";
    const QString host = url.host();
    // A URL with a host names a network share, as Qt's own conversion has it.
    return host.isEmpty() ? path.toStdString() : "//" + host.toStdString() + path.toStdString();
}
