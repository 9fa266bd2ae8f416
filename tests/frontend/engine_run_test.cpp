// Engine runs from the main window on the offscreen platform, with the test
// engine in place of `core`: how the rows are split into engine starts, the
// texts during and after a run, pause and resume, failed and vanished files,
// a crashing or missing engine, closing during a run, auto-run, and that no
// second engine run starts while one is in progress.
#include <QProgressBar>
#include <QSlider>
#include <csignal>
#include <sys/stat.h>

#include "window_fixture.h"

namespace {

QPushButton* button(TfrmMain* w, const char* name) { return part<QPushButton>(w, name); }

// Files "files/NNN.png" of the given sizes; their absolute paths.
std::vector<std::string> make_files(const window_fixture& fx, const std::vector<int>& sizes) {
    std::vector<std::string> paths;
    for (size_t i = 0; i < sizes.size(); ++i)
        paths.push_back(fx.write(QString("files/%1.png").arg(i, 3, 10, QChar('0')), QByteArray(sizes[i], 'x')));
    return paths;
}

// Paths handed to the engine in each start that was not the handshake.
QList<int> paths_per_run(const window_fixture& fx) {
    QList<int> counts;
    for (const QString& run : fx.engine_runs()) {
        int paths = 0;
        for (const QString& arg : run.split('\t'))
            if (!arg.startsWith('-')) ++paths;
        counts << paths;
    }
    return counts;
}

// The report's text, read as UTF-16LE.
QString report_text(const std::string& path) {
    QFile csv(QFile::decodeName(path.c_str()));
    if (!csv.open(QIODevice::ReadOnly)) return QString();
    const QByteArray bytes = csv.readAll();
    return QString::fromUtf16(reinterpret_cast<const char16_t*>(bytes.constData()), bytes.size() / 2);
}

}  // namespace

class EngineRunTest : public QObject {
    Q_OBJECT

private slots:
    void batchSplits_data() {
        QTest::addColumn<QString>("ini");
        QTest::addColumn<int>("files");
        QTest::addColumn<int>("size");
        QTest::addColumn<QList<int>>("runs");
        QTest::addColumn<QString>("options");
        QTest::newRow("one file") << "" << 1 << 50000 << QList<int>{1} << "-notime -png-s1 -jpg-s0 -rotate -q=84 -srgb";
        QTest::newRow("two files of 1 KB") << "" << 2 << 1024 << QList<int>{1, 1}
                                           << "-notime -png-s1 -jpg-s0 -rotate -q=84 -srgb";
        QTest::newRow("ten files of 30000 bytes") << "" << 10 << 30000 << QList<int>{5, 5}
                                                  << "-notime -png-s1 -jpg-s0 -rotate -q=84 -srgb";
        QList<int> sixteens(12, 16);
        sixteens << 8;
        QTest::newRow("200 files of 1 KB at PNG level index 3")
            << "PNGCompressionLevel=3\n" << 200 << 1024 << sixteens << "-notime -png-s4 -jpg-s0 -rotate -q=84 -srgb";
        QTest::newRow("background: one start per file")
            << "Multithreading=4\nEnableLossyCompression=1\n" << 4 << 100 << QList<int>{1, 1, 1, 1}
            << "-notime -process=4 -l -png-s1 -jpg-s0 -rotate";
    }

    void batchSplits() {
        QFETCH(QString, ini);
        QFETCH(int, files);
        QFETCH(int, size);
        QFETCH(QList<int>, runs);
        QFETCH(QString, options);
        window_fixture fx;
        fx.write("appdata/velto.ini", "[Options]\n" + ini.toUtf8());
        const auto paths = make_files(fx, std::vector<int>(static_cast<size_t>(files), size));
        auto w = fx.window();
        QVERIFY(w);
        w->do_drop_files({fx.path("files")});
        click(button(w.get(), "int_button_optimize"));

        QCOMPARE(paths_per_run(fx), runs);
        QCOMPARE(fx.engine_log().first(), QString("-c500"));  // the handshake comes first
        QVERIFY(!fx.engine_log().contains("overlap"));
        QVERIFY(fx.engine_runs().first().startsWith(options.replace(' ', '\t') + '\t'));
        // Paths are passed in grid order, each exactly once.
        QStringList handed;
        for (const QString& run : fx.engine_runs())
            for (const QString& arg : run.split('\t'))
                if (!arg.startsWith('-')) handed << arg;
        QCOMPARE(handed.size(), files);
        for (int i = 0; i < files; ++i) QCOMPARE(handed[i], QString::fromStdString(paths[static_cast<size_t>(i)]));
        QCOMPARE(cell(w.get(), files - 1, 4), QString::number(size / 2));
    }

    void textsDuringAndAfterARun() {
        window_fixture fx;
        ::setenv("VELTO_FAKE_SLEEP_MS", "150", 1);
        make_files(fx, {4096, 2048, 0});
        auto w = fx.window();
        QVERIFY(w);
        w->do_drop_files({fx.path("files")});
        QStringList captions, texts;
        bool paused_button_seen = false;
        fx.repeat_until([&] {
            if (!captions.contains(w->windowTitle())) captions << w->windowTitle();
            if (!texts.contains(status(w.get()))) texts << status(w.get());
            paused_button_seen = paused_button_seen || button(w.get(), "int_button_stop")->isVisible();
            return !w->busy() && captions.size() > 1;
        });
        click(button(w.get(), "int_button_optimize"));

        // R = 4 and two files a start: the first start ends at 1 * 100 / 4.
        QVERIFY2(captions.contains(" 25%  -  3.00 KB saved"), qPrintable(captions.join('|')));
        QVERIFY2(texts.contains("  processing -  3.00 KB saved"), qPrintable(texts.join('|')));
        QVERIFY(paused_button_seen);
        QCOMPARE(w->windowTitle(), QString("velto"));
        QCOMPARE(cell(w.get(), 0, 2), QString("2.00 KB"));
        QCOMPARE(cell(w.get(), 0, 3), QString("4096"));
        QCOMPARE(cell(w.get(), 0, 4), QString("2048"));
        QCOMPARE(cell(w.get(), 2, 2), QString("-"));  // a file of size 0 shows "-"
        const QString done = status(w.get());
        QVERIFY2(done.startsWith(expected_status(status_finished, 3072) + "  "), qPrintable(done));
        QVERIFY2(done.endsWith(" 秒"), qPrintable(done));
        QVERIFY(w->unit().seconds_total >= 0.3);
        QVERIFY(w->unit().run_finished);
        QVERIFY(part<QProgressBar>(w.get(), "ProgressBar")->isHidden());
        QVERIFY(button(w.get(), "int_button_report")->isVisible());
        QVERIFY(button(w.get(), "int_button_stop")->isHidden());
        QVERIFY(!button(w.get(), "int_button_optimize")->isEnabled());
        QVERIFY(!button(w.get(), "int_button_settings")->isEnabled());
        QVERIFY(button(w.get(), "int_button_clear")->isEnabled());
        QVERIFY(part<QTableWidget>(w.get(), "int_grid_files")->isEnabled());
        QVERIFY(QFile::exists(QString::fromStdString(fx.path("appdata/velto.ini"))));  // saved by the run

        // Nothing was saved: the texts say so.
        click(button(w.get(), "int_button_clear"));
        make_files(fx, {0, 0});
        QFile::remove(fx.root.filePath("files/002.png"));
        w->do_drop_files({fx.path("files")});
        texts.clear();
        fx.repeat_until([&] {
            if (!texts.contains(status(w.get()))) texts << status(w.get());
            return !w->busy() && texts.size() > 1;
        });
        click(button(w.get(), "int_button_optimize"));
        QVERIFY2(texts.contains("  processing - no savings"), qPrintable(texts.join('|')));
        QVERIFY(status(w.get()).startsWith(expected_status(status_finished, 0) + "  "));
    }

    void pauseInTheThirdBatchAndResume() {
        window_fixture fx;
        fx.write("appdata/velto.ini", "[Options]\nPNGCompressionLevel=3\n");
        ::setenv("VELTO_FAKE_SLEEP_MS", "100", 1);
        const auto paths = make_files(fx, std::vector<int>(50, 100));  // starts of 16, 16, 16 and 2
        auto w = fx.window();
        QVERIFY(w);
        w->do_drop_files({fx.path("files")});
        auto* resume = button(w.get(), "int_button_resume");
        bool resume_disabled_while_waiting = false;
        fx.repeat_until([&] {
            if (fx.engine_runs().size() < 3) return false;
            click(button(w.get(), "int_button_stop"));
            resume_disabled_while_waiting = resume->isVisible() && !resume->isEnabled() && w->busy();
            return true;
        });
        click(button(w.get(), "int_button_optimize"));

        QCOMPARE(paths_per_run(fx), (QList<int>{16, 16, 16}));  // the third batch completed
        QVERIFY(resume_disabled_while_waiting);
        QVERIFY(resume->isVisible());
        QVERIFY(resume->isEnabled());
        QVERIFY(button(w.get(), "int_button_optimize")->isEnabled());
        QVERIFY(!button(w.get(), "int_button_settings")->isEnabled());
        QCOMPARE(status(w.get()), expected_status(status_paused));
        QCOMPARE(w->windowTitle(), QString(" 64%  -  2.34 KB saved"));  // 33 * 100 / 51, kept
        QCOMPARE(w->unit().next_row, 49u);
        QCOMPARE(cell(w.get(), 48, 2), QString());  // not handed to the engine yet
        QVERIFY(!w->unit().run_finished);

        const double seconds = w->unit().seconds_total;
        click(resume);
        QCOMPARE(paths_per_run(fx), (QList<int>{16, 16, 16, 2}));
        QCOMPARE(fx.engine_log().count("-c500"), 2);  // the resume repeats the handshake
        QCOMPARE(cell(w.get(), 49, 4), QString("50"));
        QCOMPARE(w->unit().total_before, 5000u);  // totals cover both runs
        QCOMPARE(w->unit().total_after, 2500u);
        QVERIFY(w->unit().seconds_total > seconds);
        QVERIFY(status(w.get()).startsWith(expected_status(status_finished, 2500)));
        QCOMPARE(w->windowTitle(), QString("velto"));
        QVERIFY(resume->isHidden());
        QVERIFY(size_on_disk(paths[0]) == 50);
    }

    void vanishedAndUnreadableFilesShowAsFailed() {
        window_fixture fx;
        const std::string kept = fx.write("files/a.png", QByteArray(2000, 'a'));
        const std::string gone = fx.write("files/b.png", QByteArray(2000, 'b'));
        const std::string readonly = fx.write("files/c.png", QByteArray(2000, 'c'));
        const std::string vanishes = fx.write("files/d-vanish.png", QByteArray(2000, 'd'));
        auto w = fx.window();
        QVERIFY(w);
        w->do_drop_files({fx.path("files")});
        QFile::remove(QString::fromStdString(gone));
        ::chmod(readonly.c_str(), 0444);
        click(button(w.get(), "int_button_optimize"));

        // Only the files the engine can rewrite are handed to it (two to a start).
        QCOMPARE(paths_per_run(fx), (QList<int>{1, 1}));
        QVERIFY(fx.engine_runs()[0].endsWith(QString::fromStdString("\t" + kept)));
        QVERIFY(fx.engine_runs()[1].endsWith(QString::fromStdString("\t" + vanishes)));
        const QString expected[4] = {"0.98 KB", "-", "-", "-"};
        for (int r = 0; r < 4; ++r) QCOMPARE(cell(w.get(), r, 2), expected[r]);
        QCOMPARE(size_on_disk(readonly), 2000);
        QCOMPARE(w->unit().total_before, 2000u);
        QCOMPARE(w->unit().total_after, 1000u);
        QVERIFY(status(w.get()).startsWith(expected_status(status_finished, 1000)));
    }

    void crashingOrMissingEngine_data() {
        QTest::addColumn<QString>("crash_on");
        QTest::addColumn<bool>("remove_engine");
        QTest::addColumn<bool>("locked");
        QTest::newRow("crash answering the handshake") << "-c500" << false << true;
        QTest::newRow("engine gone before the run") << "" << true << true;
        QTest::newRow("crash in the run") << "-notime" << false << false;
    }

    void crashingOrMissingEngine() {
        QFETCH(QString, crash_on);
        QFETCH(bool, remove_engine);
        QFETCH(bool, locked);
        window_fixture fx;
        ::setenv("VELTO_FAKE_CRASH", crash_on.toUtf8().constData(), 1);
        const auto paths = make_files(fx, {3000, 3000});
        auto w = fx.window();
        QVERIFY(w);
        w->do_drop_files({fx.path("files")});
        if (remove_engine) QFile::remove(fx.root.filePath("program/core"));
        click(button(w.get(), "int_button_optimize"));

        for (const std::string& p : paths) QCOMPARE(size_on_disk(p), 3000);
        if (locked) {
            QCOMPARE(status(w.get()), expected_status(status_error));
            QVERIFY(!button(w.get(), "int_button_optimize")->isEnabled());
            QVERIFY(!button(w.get(), "int_button_settings")->isEnabled());
            QVERIFY(!part<QTableWidget>(w.get(), "int_grid_files")->isEnabled());
            QVERIFY(fx.engine_runs().isEmpty());
        } else {
            // The run goes to its end; its files show as failed, not as
            // unchanged, and the status says that the engine failed.
            QCOMPARE(cell(w.get(), 0, 2), QString("-"));
            QCOMPARE(cell(w.get(), 1, 2), QString("-"));
            QCOMPARE(w->unit().total_before, 0u);
            QCOMPARE(w->unit().total_after, 0u);
            QCOMPARE(status(w.get()), expected_status(status_run_failed));
        }
    }

    void aCrashOnOneFileIsShownAndKeepsAnAutoRunOpen() {
        window_fixture fx;
        fx.write("appdata/velto.ini", "[Options]\nAutorun=2\nMultithreading=4\n");
        const auto paths = make_files(fx, {1000, 2000, 4000});
        ::setenv("VELTO_FAKE_CRASH", paths[1].c_str(), 1);
        auto w = fx.window({fx.path("files")});
        QVERIFY(w);
        QTRY_VERIFY_WITH_TIMEOUT(fx.engine_runs().size() == 3 && !w->busy(), 5000);
        QTest::qWait(50);

        // The other files are optimised and counted; the crashed one is not.
        QCOMPARE(size_on_disk(paths[1]), 2000);
        const QString expected[3] = {"0.49 KB", "-", "1.95 KB"};
        for (int r = 0; r < 3; ++r) QCOMPARE(cell(w.get(), r, 2), expected[r]);
        QCOMPARE(w->unit().total_before, 5000u);
        QCOMPARE(w->unit().total_after, 2500u);
        // A failed run does not close the program: its message stays in view.
        QVERIFY(w->isVisible());
        QCOMPARE(status(w.get()), expected_status(status_run_failed));
        QVERIFY(button(w.get(), "int_button_clear")->isEnabled());

        // Clear forgets the failure: the next run that goes well says so.
        ::unsetenv("VELTO_FAKE_CRASH");
        click(button(w.get(), "int_button_clear"));
        const std::string again = fx.write("again/a.png", QByteArray(600, 'a'));
        w->do_drop_files({again});
        QTRY_VERIFY_WITH_TIMEOUT(w->isHidden(), 5000);
        QVERIFY(status(w.get()).startsWith(expected_status(status_finished, 300)));
    }

    void namesThatAreNotUtf8AreOptimisedAndReported() {
        window_fixture fx;
        const std::string files = fx.path("files");
        const std::string odd = window_fixture::write_bytes(files + "/bad\xFFname.png", QByteArray(3000, 'o'));
        const std::string plain = fx.write("files/a.png", QByteArray(2000, 'a'));
        const std::string in_odd_folder = window_fixture::write_bytes(files + "/lat\xE9/x.png", QByteArray(1000, 'x'));
        auto w = fx.window();
        QVERIFY(w);
        // Dropped as the desktop sends them: file URLs with the bytes
        // percent-encoded; the folder is walked into the oddly named one.
        drop(w.get(), {odd, files});
        QCOMPARE(w->files().rows().size(), 3u);
        QCOMPARE(w->files().rows()[0].path, odd);
        QCOMPARE(w->files().rows()[2].path, in_odd_folder);
        QCOMPARE(cell(w.get(), 0, 0), QString::fromStdString(files) + "/bad\uFFFDname.png");
        click(button(w.get(), "int_button_optimize"));

        QCOMPARE(size_on_disk(odd), 1500);
        QCOMPARE(size_on_disk(plain), 1000);
        QCOMPARE(size_on_disk(in_odd_folder), 500);
        const QString expected[3] = {"1.46 KB", "0.98 KB", "0.49 KB"};
        for (int r = 0; r < 3; ++r) QCOMPARE(cell(w.get(), r, 2), expected[r]);
        QCOMPARE(w->unit().total_before, 6000u);
        QCOMPARE(w->unit().total_after, 3000u);

        // The report shows each byte that is not UTF-8 as U+FFFD.
        std::string opened;
        w->open_report = [&](const std::string& p) { opened = p; };
        click(button(w.get(), "int_button_report"));
        QVERIFY(!opened.empty());
        const QStringList lines = report_text(opened).split('\n');
        QCOMPARE(lines.value(1), QString::fromStdString(files) + "/bad\uFFFDname.png,2.93 KB,1.46 KB,1.46 KB,50%");
        QCOMPARE(lines.value(3), QString::fromStdString(files) + "/lat\uFFFD/x.png,0.98 KB,0.49 KB,0.49 KB,50%");
    }

    void closingDuringARunEndsTheEngineAndSavesTheSettings() {
        window_fixture fx;
        ::setenv("VELTO_FAKE_SLEEP_MS", "20000", 1);
        fx.write("appdata/velto.ini", "[Options]\nMultithreading=4\nLossySetQuality=2\n");
        make_files(fx, {100, 100, 100});
        auto w = fx.window();
        QVERIFY(w);
        w->do_drop_files({fx.path("files")});
        QFile::remove(fx.root.filePath("appdata/velto.ini"));
        fx.repeat_until([&] {
            if (fx.engine_runs().isEmpty()) return false;
            w->close();
            return true;
        });
        QElapsedTimer clock;
        clock.start();
        click(button(w.get(), "int_button_optimize"));

        QVERIFY2(clock.elapsed() < 10000, "the run waited for the engine");
        QVERIFY(w->isHidden());
        QCOMPARE(fx.engine_runs().size(), 1);  // nothing started after the close
        QFile pid_file(fx.root.filePath("engine.log.pid"));
        QVERIFY(pid_file.open(QIODevice::ReadOnly));
        const pid_t pid = pid_file.readAll().trimmed().toInt();
        QVERIFY(pid > 0);
        QVERIFY2(::kill(pid, 0) != 0, "the engine still runs");
        QFile ini(fx.root.filePath("appdata/velto.ini"));
        QVERIFY(ini.open(QIODevice::ReadOnly));
        QVERIFY(ini.readAll().contains("LossySetQuality=2\n"));
        QVERIFY(!w->busy());
    }

    // A settings file that cannot be written at the end of a run (a folder
    // in its place) keeps its error in view after the run's own text, for a
    // finished and for a paused run, and keeps an auto-run window open.
    void failedSettingsSaveStaysVisibleAfterARun() {
        window_fixture fx;
        fx.write("appdata/velto.ini", "[Options]\nMultithreading=4\n");  // one file a start
        make_files(fx, {400, 400});
        auto w = fx.window();
        QVERIFY(w);
        w->do_drop_files({fx.path("files")});
        QFile::remove(fx.root.filePath("appdata/velto.ini"));
        QDir(fx.root.path()).mkpath("appdata/velto.ini");
        const QString error = expected_status(status_settings_not_saved);

        ::setenv("VELTO_FAKE_SLEEP_MS", "100", 1);
        fx.repeat_until([&] {
            if (fx.engine_runs().isEmpty()) return false;
            click(button(w.get(), "int_button_stop"));
            return true;
        });
        click(button(w.get(), "int_button_optimize"));
        QCOMPARE(status(w.get()), expected_status(status_paused) + error);

        click(button(w.get(), "int_button_resume"));
        const QString done = status(w.get());
        QVERIFY2(done.startsWith(expected_status(status_finished, 400) + "  "), qPrintable(done));
        QVERIFY2(done.endsWith(" 秒" + error), qPrintable(done));

        window_fixture autorun;
        autorun.write("appdata/velto.ini", "[Options]\nAutorun=2\n");
        make_files(autorun, {100});
        auto a = autorun.window();
        QVERIFY(a);
        QFile::remove(autorun.root.filePath("appdata/velto.ini"));
        QDir(autorun.root.path()).mkpath("appdata/velto.ini");
        a->do_drop_files({autorun.path("files")});
        QTRY_VERIFY_WITH_TIMEOUT(!autorun.engine_runs().isEmpty() && !a->busy(), 5000);
        QTest::qWait(50);
        QVERIFY(a->isVisible());
        QVERIFY2(status(a.get()).endsWith(error), qPrintable(status(a.get())));
    }

    void autoRunClosesTheProgramOnlyAfterARunToItsEnd() {
        window_fixture fx;
        fx.write("appdata/velto.ini", "[Options]\nAutorun=2\n");
        const auto paths = make_files(fx, {100, 100, 100});
        auto w = fx.window({fx.path("files")});
        QVERIFY(w);
        QTRY_VERIFY_WITH_TIMEOUT(w->isHidden(), 5000);
        QCOMPARE(size_on_disk(paths[2]), 50);

        window_fixture paused;
        paused.write("appdata/velto.ini", "[Options]\nAutorun=2\nMultithreading=4\n");
        ::setenv("VELTO_FAKE_SLEEP_MS", "100", 1);
        make_files(paused, {100, 100, 100});
        auto p = paused.window({paused.path("files")});
        QVERIFY(p);
        paused.repeat_until([&] {
            if (paused.engine_runs().isEmpty()) return false;
            click(button(p.get(), "int_button_stop"));
            return true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(paused.engine_runs().size() == 1 && !p->busy(), 5000);
        QTest::qWait(50);
        QVERIFY(p->isVisible());
        QCOMPARE(status(p.get()), expected_status(status_paused));
    }

    void noSecondRunFromTheTimerOrADropDuringARun() {
        window_fixture fx;
        fx.write("appdata/velto.ini", "[Options]\nAutorun=1\n");
        ::setenv("VELTO_FAKE_SLEEP_MS", "700", 1);
        const auto dropped = make_files(fx, {400, 400});  // one file a start
        const std::string named = fx.write("named/n.png", QByteArray(400, 'n'));
        const std::string late = fx.write("late/l.png", QByteArray(400, 'l'));
        auto w = fx.window({named});
        QVERIFY(w);
        bool drop_refused = false;
        fx.repeat_until([&] {
            if (fx.engine_runs().isEmpty()) return false;
            // A restore accepts drops again; not while the engine runs.
            w->showMinimized();
            w->showNormal();
            drop_refused = !w->acceptDrops();
            w->do_drop_files({late});
            return true;
        });
        // Dropped within the first second with auto-run on: the run starts at
        // once and is still going when the timer brings the named path.
        w->do_drop_files({fx.path("files")});
        QTRY_VERIFY_WITH_TIMEOUT(fx.engine_runs().size() == 3 && !w->busy(), 10000);

        QVERIFY(drop_refused);
        QVERIFY(!fx.engine_log().contains("overlap"));
        QCOMPARE(paths_per_run(fx), (QList<int>{1, 1, 1}));  // the named file after the dropped ones
        QCOMPARE(w->files().rows().size(), 3u);             // the late drop was not taken
        for (const std::string& p : dropped) QCOMPARE(size_on_disk(p), 200);
        QCOMPARE(size_on_disk(named), 200);
        QCOMPARE(size_on_disk(late), 400);
        QCOMPARE(w->unit().total_before, 1200u);
    }

    void filesAddedAfterAFinishedRunAreOptimisedOnce_data() {
        QTest::addColumn<QString>("ini");
        QTest::newRow("batches") << "Autorun=1\n";
        QTest::newRow("one file a start") << "Autorun=1\nMultithreading=4\n";
    }

    void filesAddedAfterAFinishedRunAreOptimisedOnce() {
        QFETCH(QString, ini);
        window_fixture fx;
        fx.write("appdata/velto.ini", "[Options]\n" + ini.toUtf8());
        const auto first = make_files(fx, {400, 400, 400});
        const std::string later = fx.write("later/l.png", QByteArray(400, 'l'));
        auto w = fx.window();
        QVERIFY(w);
        w->do_drop_files({fx.path("files")});
        QVERIFY(w->unit().run_finished);
        w->do_drop_files({later});

        for (const std::string& p : first) QCOMPARE(size_on_disk(p), 200);
        QCOMPARE(size_on_disk(later), 200);
        QCOMPARE(w->unit().total_before, 1600u);
        QCOMPARE(w->unit().total_after, 800u);
    }

    void noRunOrSecondCheckDuringAPreviewCheck() {
        window_fixture fx;
        ::setenv("VELTO_FAKE_SLEEP_MS", "400", 1);
        make_files(fx, {100, 100});
        auto w = fx.window();
        QVERIFY(w);
        w->do_drop_files({fx.path("files")});
        fx.repeat_until([&] {
            if (fx.engine_runs().isEmpty()) return false;
            click_row(w.get(), 2);
            click(button(w.get(), "int_button_optimize"));
            return true;
        });
        bool opened = false;
        fx.when_preview_opens([&](TfrmAbout&) { opened = true; });
        click_row(w.get(), 1);

        QVERIFY(opened);
        QVERIFY(!fx.engine_log().contains("overlap"));
        QCOMPARE(fx.engine_runs().size(), 2);
        QVERIFY(fx.engine_runs()[0].startsWith("-preview-check\t"));
        QVERIFY(fx.engine_runs()[1].startsWith("-preview-original\t"));
        QCOMPARE(w->unit().selected_row, 1);
        QCOMPARE(cell(w.get(), 0, 2), QString());  // no run started
    }
};

QTEST_MAIN(EngineRunTest)
#include "engine_run_test.moc"
