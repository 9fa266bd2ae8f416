// Shared set-up of the window tests: a data folder of their own (LOCALAPPDATA),
// a folder with the test engine (fake_core.cpp) as `core`, its log, helpers to
// write fixture files and to reach the window's components by name.
#pragma once
#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QElapsedTimer>
#include <QUrl>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "frontend/main_window.h"
#include "frontend/preview_window.h"
#include "frontend/status_text.h"

struct window_fixture {
    QTemporaryDir root;
    // Parent of the test's timers: they end with the fixture, after its windows.
    QObject timers;

    window_fixture() {
        QDir(root.path()).mkpath("appdata");
        QDir(root.path()).mkpath("program");
        ::setenv("LOCALAPPDATA", path("appdata").c_str(), 1);
        ::setenv("VELTO_FAKE_LOG", path("engine.log").c_str(), 1);
        for (const char* name : {"VELTO_FAKE_SLEEP_MS", "VELTO_FAKE_CRASH", "VELTO_FAKE_VIEW"}) ::unsetenv(name);
        QFile::copy(VELTO_FAKE_CORE, root.filePath("program/core"));
    }

    // Removes the tree by the bytes of its names: QTemporaryDir goes by text
    // and would leave a name that is not UTF-8 behind.
    ~window_fixture() {
        std::error_code ec;
        std::filesystem::remove_all(QFile::encodeName(root.path()).toStdString(), ec);
    }

    // The engine's starts so far, one line of tab-separated arguments each.
    QStringList engine_log() const {
        QFile f(root.filePath("engine.log"));
        if (!f.open(QIODevice::ReadOnly)) return {};
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }

    // The starts that were not the handshake.
    QStringList engine_runs() const {
        QStringList runs;
        for (const QString& line : engine_log())
            if (line != "-c500") runs << line;
        return runs;
    }

    std::string path(const QString& relative) const {
        return QFile::encodeName(root.filePath(relative)).toStdString();
    }

    // Writes `bytes` to a file below the root, creating its folder.
    std::string write(const QString& relative, const QByteArray& bytes) const {
        const QString full = root.filePath(relative);
        QDir().mkpath(QFileInfo(full).path());
        QFile f(full);
        if (f.open(QIODevice::WriteOnly)) f.write(bytes);
        return QFile::encodeName(full).toStdString();
    }

    // Writes `bytes` to the file named by the bytes of `full_path` (which may
    // be no valid UTF-8), creating its folder.
    static std::string write_bytes(const std::string& full_path, const QByteArray& bytes) {
        const size_t slash = full_path.rfind('/');
        if (slash != std::string::npos) ::mkdir(full_path.substr(0, slash).c_str(), 0755);
        std::ofstream(full_path, std::ios::binary | std::ios::trunc).write(bytes.constData(), bytes.size());
        return full_path;
    }

    // Calls `act` every `interval_ms` while the event loop runs (a run or a
    // preview waits in it) until `act` returns true or `limit_ms` passed.
    void repeat_until(std::function<bool()> act, int interval_ms = 5, int limit_ms = 20000) {
        auto* timer = new QTimer(&timers);
        auto clock = std::make_shared<QElapsedTimer>();
        clock->start();
        QObject::connect(timer, &QTimer::timeout, [timer, clock, act, limit_ms] {
            if (act() || clock->elapsed() > limit_ms) {
                timer->stop();
                timer->deleteLater();
            }
        });
        timer->start(interval_ms);
    }

    // Runs `act` on the preview window once it is shown, from inside its
    // modal wait. A window still open afterwards is closed, so a failed check
    // cannot leave the test waiting.
    void when_preview_opens(std::function<void(TfrmAbout&)> act) {
        repeat_until([act] {
            auto* about = qobject_cast<TfrmAbout*>(QApplication::activeModalWidget());
            if (!about || !about->isVisible()) return false;
            act(*about);
            if (about->isVisible()) about->do_close();
            return true;
        });
    }

    // A shown main window whose engine folder is `program/`.
    std::unique_ptr<TfrmMain> window(std::vector<std::string> paths = {}, const QString& program = "program") const {
        frontend_start start;
        start.program_folder = path(program) + "/";
        start.paths = std::move(paths);
        auto w = std::make_unique<TfrmMain>(start);
        w->show();
        if (!QTest::qWaitForWindowExposed(w.get())) return nullptr;
        return w;
    }
};

// Size of the file named by the bytes of `path`; -1 when it is missing.
inline qint64 size_on_disk(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<qint64>(st.st_size) : -1;
}

template <typename T>
T* part(QWidget* w, const char* name) {
    T* found = w->findChild<T*>(name);
    if (!found) qFatal("no component %s", name);
    return found;
}

// Picks item `index` of a combo box the way a user does: a click opens the
// list, the arrow keys move to the item and Return takes it.
inline void pick(QComboBox* combo, int index) {
    QTest::mouseClick(combo, Qt::LeftButton);
    QAbstractItemView* view = combo->view();
    QTRY_VERIFY(view->isVisible());
    const int from = view->currentIndex().row();
    for (int i = from; i < index; ++i) QTest::keyClick(view, Qt::Key_Down);
    for (int i = from; i > index; --i) QTest::keyClick(view, Qt::Key_Up);
    QTest::keyClick(view, Qt::Key_Return);
    QTRY_VERIFY(!view->isVisible());
}

inline void click(QWidget* widget) { QTest::mouseClick(widget, Qt::LeftButton, {}, widget->rect().center()); }

inline QString cell(TfrmMain* w, int row, int column) {
    const QTableWidgetItem* item = part<QTableWidget>(w, "int_grid_files")->item(row, column);
    return item ? item->text() : QString();
}

inline QString status(QWidget* w) { return part<QLabel>(w, "status_panel")->text(); }

inline QString expected_status(int code, int64_t saved = 0) {
    return QString::fromStdString(status_message(code, app_version, saved));
}

// Drags `paths` onto the grid and drops them, as the desktop delivers a drop:
// file URLs that carry each name's bytes percent-encoded; the drag reaches the
// widget under the pointer, and the drop goes to the widget that accepted the
// drag. A window that refuses drops gets nothing.
inline void drop(TfrmMain* w, const std::vector<std::string>& paths) {
    QMimeData mime;
    QByteArray uri_list;
    for (const std::string& p : paths)
        uri_list += "file://" + QByteArray::fromStdString(p).toPercentEncoding("/") + "\r\n";
    mime.setData("text/uri-list", uri_list);
    QWidget* target = part<QTableWidget>(w, "int_grid_files")->viewport();
    const QPoint at(100, 100);
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted()) return;
    QDropEvent event(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

// A click on the visible cell of file row `row` (counted from 1).
inline void click_row(TfrmMain* w, int row) {
    auto* grid = part<QTableWidget>(w, "int_grid_files");
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualItemRect(grid->item(row - 1, 1)).center());
}

