// Entry point of the front end `velto`: checks for a display, creates the main
// window with the paths named on the command line, and runs the event loop.
#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "frontend/engine_location.h"
#include "frontend/main_window.h"

namespace {

bool set(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

}  // namespace

int main(int argc, char** argv) {
    // Without a display the GUI library would abort; say what to do instead.
    if (!set("DISPLAY") && !set("WAYLAND_DISPLAY") && !set("QT_QPA_PLATFORM")) {
        std::fputs("velto: the front end needs a graphical display (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                   "To optimise files without one, run the engine: core [options] PATH...\n",
                   stderr);
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName("velto");

    frontend_start start;
    start.program_folder = running_program_folder();
    // The GUI library has taken its own options out of argv; the rest are paths.
    for (int i = 1; i < argc; ++i) start.paths.emplace_back(argv[i]);

    try {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        TfrmMain window(start);
        QApplication::restoreOverrideCursor();
        window.show();
        QApplication::exec();
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, "velto", QString::fromLocal8Bit(e.what()));
    }
    return 0;
}
