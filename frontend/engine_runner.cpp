// Engine process runner; see engine_runner.h.
#include "frontend/engine_runner.h"

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QStringList>

#include "frontend/batching.h"

namespace {

constexpr int poll_ms = 1;
constexpr int end_grace_ms = 3000;

bool waiting_for_engine = false;

struct wait_cursor {
    wait_cursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~wait_cursor() { QApplication::restoreOverrideCursor(); }
};

struct waiting_flag {
    waiting_flag() { waiting_for_engine = true; }
    ~waiting_flag() { waiting_for_engine = false; }
};

void end_process(QProcess& process) {
    process.terminate();
    if (!process.waitForFinished(end_grace_ms)) {
        process.kill();
        process.waitForFinished(end_grace_ms);
    }
}

}  // namespace

uint32_t run_process(const std::string& program, const std::vector<std::string>& args, const std::string& folder,
                     const std::function<bool()>& window_visible) {
    if (waiting_for_engine || !window_visible()) return engine_run_failed;
    const waiting_flag waiting;
    const wait_cursor cursor;

    QProcess process;
    process.setProgram(QFile::decodeName(program.c_str()));
    QStringList arguments;
    for (const std::string& a : args) arguments << QFile::decodeName(a.c_str());
    process.setArguments(arguments);
    process.setWorkingDirectory(QFile::decodeName(folder.c_str()));
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start();
    if (!process.waitForStarted(-1)) return engine_run_failed;

    bool ended_here = false;
    for (;;) {
        QApplication::processEvents();
        if (process.state() == QProcess::NotRunning || process.waitForFinished(poll_ms)) break;
        if (!window_visible()) {
            end_process(process);
            ended_here = true;
            break;
        }
    }
    if (ended_here || process.exitStatus() != QProcess::NormalExit) return engine_run_failed;
    return static_cast<uint32_t>(process.exitCode()) & 0xFF;
}
