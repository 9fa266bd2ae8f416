// Shared set-up of the window tests: a data folder of their own (LOCALAPPDATA),
// a folder with a stand-in `core` so the window finds an engine, helpers to
// write fixture files and to reach the window's components by name.
#pragma once
#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <cstdlib>
#include <memory>
#include <string>

#include "frontend/main_window.h"

struct window_fixture {
    QTemporaryDir root;

    window_fixture() {
        QDir(root.path()).mkpath("appdata");
        QDir(root.path()).mkpath("program");
        ::setenv("LOCALAPPDATA", path("appdata").c_str(), 1);
        write("program/core", "#!/bin/sh\nexit 0\n");
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
