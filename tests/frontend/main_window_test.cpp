// The main window on the offscreen platform: paths from the command line and
// from drops into the grid, Clear, the settings panel through real clicks,
// the settings file, the report and the locked window.
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QSlider>
#include <QTableWidget>
#include <QUrl>

#include "frontend/file_urls.h"
#include "frontend/status_text.h"
#include "window_fixture.h"


namespace {

QString header(TfrmMain* w, int column) {
    return part<QTableWidget>(w, "int_grid_files")->horizontalHeaderItem(column)->text();
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    void commandLinePathsArriveAfterOneSecondAbsoluteAndOnce() {
        window_fixture fx;
        fx.write("files/a.png", QByteArray(2048, 'a'));
        fx.write("files/b.JPG", QByteArray(100, 'b'));
        fx.write("files/notes.txt", "x");
        const QString old = QDir::currentPath();
        QDir::setCurrent(fx.root.filePath("files"));
        auto w = fx.window({"a.png", "./b.JPG", fx.path("files"), "missing.png", "notes.txt"});
        QDir::setCurrent(old);
        QVERIFY(w);
        auto* grid = part<QTableWidget>(w.get(), "int_grid_files");
        QCOMPARE(grid->rowCount(), 0);
        QCOMPARE(header(w.get(), 0), QString("文件"));
        QTRY_COMPARE_WITH_TIMEOUT(grid->rowCount(), 2, 3000);
        QCOMPARE(cell(w.get(), 0, 0), QString::fromStdString(fx.path("files/a.png")));
        QCOMPARE(cell(w.get(), 0, 1), QString("2.00 KB"));
        QCOMPARE(cell(w.get(), 0, 2), QString());
        QCOMPARE(cell(w.get(), 1, 0), QString::fromStdString(fx.path("files/b.JPG")));
        QCOMPARE(status(w.get()), expected_status(status_click_to_preview));
        QVERIFY(part<QPushButton>(w.get(), "int_button_optimize")->isEnabled());
        QVERIFY(part<QPushButton>(w.get(), "int_button_clear")->isEnabled());
        QVERIFY(part<QLabel>(w.get(), "int_drag_drop_text")->isHidden());
        QVERIFY(w->acceptDrops());
        QVERIFY(w->unit().files_loaded);
    }

    void dropWalksFoldersAndADropOfNothingKeepsDropping() {
        window_fixture fx;
        fx.write("drop/b.txt", "x");
        fx.write("drop/sub/c.jpeg", QByteArray(3072, 'c'));
        fx.write("drop/a.PNG", QByteArray(10, 'a'));
        fx.write("junk/README", "r");
        fx.write("junk/archive.png.zip", "z");
        auto w = fx.window();
        QVERIFY(w);
        QVERIFY(w->acceptDrops());

        drop(w.get(), {fx.path("junk")});
        QCOMPARE(part<QTableWidget>(w.get(), "int_grid_files")->rowCount(), 0);
        QVERIFY(w->acceptDrops());
        QVERIFY(!part<QPushButton>(w.get(), "int_button_clear")->isEnabled());
        QVERIFY(!part<QLabel>(w.get(), "int_drag_drop_text")->isHidden());

        drop(w.get(), {fx.path("drop"), fx.path("drop/a.PNG")});
        QCOMPARE(part<QTableWidget>(w.get(), "int_grid_files")->rowCount(), 2);
        QCOMPARE(cell(w.get(), 0, 0), QString::fromStdString(fx.path("drop/a.PNG")));
        QCOMPARE(cell(w.get(), 1, 0), QString::fromStdString(fx.path("drop/sub/c.jpeg")));
        QCOMPARE(cell(w.get(), 1, 1), QString("3.00 KB"));
        QVERIFY(w->acceptDrops());
        QVERIFY(part<QPushButton>(w.get(), "int_button_optimize")->isEnabled());

        // A click on a file row selects it and opens its preview; the header
        // is not a file row.
        auto* grid = part<QTableWidget>(w.get(), "int_grid_files");
        bool previewed = false;
        fx.when_preview_opens([&](TfrmAbout&) { previewed = true; });
        click_row(w.get(), 2);
        QCOMPARE(w->unit().selected_row, 2);
        QVERIFY(previewed);
        const int starts = fx.engine_log().size();
        QTest::mouseClick(grid->horizontalHeader()->viewport(), Qt::LeftButton, {}, QPoint(20, 10));
        QCOMPARE(w->unit().selected_row, 2);
        QCOMPARE(fx.engine_log().size(), starts);
    }

    void clearEmptiesTheListAndResetsTheRun() {
        window_fixture fx;
        fx.write("a.png", "a");
        auto w = fx.window();
        QVERIFY(w);
        drop(w.get(), {fx.path("a.png")});
        w->unit().total_before = 5;
        w->unit().total_after = 3;
        w->unit().total_saved = 2;
        w->unit().next_row = 2;
        w->unit().seconds_total = 4.5;
        w->setWindowTitle(" 50%  - saved");
        click(part<QPushButton>(w.get(), "int_button_clear"));
        QCOMPARE(part<QTableWidget>(w.get(), "int_grid_files")->rowCount(), 0);
        QCOMPARE(header(w.get(), 0), QString("file"));
        QCOMPARE(header(w.get(), 1), QString("original"));
        QCOMPARE(header(w.get(), 2), QString("optimized"));
        QCOMPARE(w->windowTitle(), QString("velto"));
        QCOMPARE(w->unit().total_before, 0u);
        QCOMPARE(w->unit().total_saved, 0);
        QCOMPARE(w->unit().next_row, 1u);
        QCOMPARE(w->unit().seconds_total, 0.0);
        QVERIFY(!w->unit().files_loaded);
        QVERIFY(w->files().rows().empty());
        QCOMPARE(status(w.get()), expected_status(status_ready));
        QVERIFY(!part<QPushButton>(w.get(), "int_button_clear")->isEnabled());
        QVERIFY(!part<QPushButton>(w.get(), "int_button_optimize")->isEnabled());
        QVERIFY(!part<QLabel>(w.get(), "int_drag_drop_text")->isHidden());
        drop(w.get(), {fx.path("a.png")});  // the same file can be listed again
        QCOMPARE(part<QTableWidget>(w.get(), "int_grid_files")->rowCount(), 1);
    }

    void settingsButtonOpensAndClosesThePanel() {
        window_fixture fx;
        auto w = fx.window();
        QVERIFY(w);
        auto* panel = part<QGroupBox>(w.get(), "int_group_settings");
        click(part<QPushButton>(w.get(), "int_button_settings"));
        QVERIFY(panel->isVisible());
        QVERIFY(part<QTableWidget>(w.get(), "int_grid_files")->isHidden());
        QVERIFY(part<QPushButton>(w.get(), "int_button_clear")->isHidden());
        QVERIFY(part<QPushButton>(w.get(), "int_button_save")->isEnabled());
        QVERIFY(part<QPushButton>(w.get(), "int_button_reset")->isEnabled());
        QVERIFY(!w->acceptDrops());
        QCOMPARE(status(w.get()), expected_status(status_options));
        // Opening ran the rules: the lossy controls are usable.
        QVERIFY(part<QSlider>(w.get(), "settings_quality_bar")->isEnabled());

        click(part<QPushButton>(w.get(), "int_button_settings"));
        QVERIFY(panel->isHidden());
        QVERIFY(part<QTableWidget>(w.get(), "int_grid_files")->isVisible());
        QVERIFY(part<QPushButton>(w.get(), "int_button_save")->isHidden());
        QVERIFY(!part<QPushButton>(w.get(), "int_button_optimize")->isEnabled());
        QVERIFY(w->acceptDrops());
        QCOMPARE(status(w.get()), expected_status(status_ready));
    }

    void panelRulesThroughClicks() {
        window_fixture fx;
        auto w = fx.window();
        QVERIFY(w);
        click(part<QPushButton>(w.get(), "int_button_settings"));
        auto* method = part<QComboBox>(w.get(), "settings_enable_lossy");
        auto* srgb = part<QComboBox>(w.get(), "settings_srgb_transform");
        auto* resize = part<QCheckBox>(w.get(), "settings_image_resize");
        auto* resolution = part<QComboBox>(w.get(), "settings_resolution");
        auto* keep_rgb = part<QCheckBox>(w.get(), "settings_keep_rgb");
        auto* meta = part<QCheckBox>(w.get(), "settings_meta");
        auto* rotation = part<QCheckBox>(w.get(), "settings_jpeg_rotation");
        QCOMPARE(srgb->currentIndex(), 0);  // no settings file

        click(resize);
        QVERIFY(resize->isChecked());
        QVERIFY(resolution->isEnabled());
        QVERIFY(!keep_rgb->isEnabled());

        pick(method, 1);
        QCOMPARE(method->currentIndex(), 1);
        QCOMPARE(srgb->currentIndex(), 1);
        QVERIFY(!resize->isChecked());
        QVERIFY(!resize->isEnabled());
        QVERIFY(!resolution->isEnabled());
        QVERIFY(!part<QSlider>(w.get(), "settings_quality_bar")->isEnabled());
        QVERIFY(keep_rgb->isEnabled());
        click(keep_rgb);
        QVERIFY(keep_rgb->isChecked());
        w->set_flags(false);
        QCOMPARE(w->unit().engine_options, std::string("-notime -l -png-s1 -jpg-s0 -rotate -noalpha "));

        pick(method, 0);
        QVERIFY(!keep_rgb->isChecked());
        QVERIFY(!keep_rgb->isEnabled());

        click(meta);
        QVERIFY(!rotation->isChecked());
        QVERIFY(!rotation->isEnabled());
        QCOMPARE(srgb->currentIndex(), 1);
        QVERIFY(!srgb->isEnabled());
        click(meta);
        QVERIFY(rotation->isEnabled());
        QVERIFY(!rotation->isChecked());
        QVERIFY(srgb->isEnabled());

        pick(part<QComboBox>(w.get(), "int_compression_level"), 3);
        pick(part<QComboBox>(w.get(), "settings_multitask_list"), 4);
        pick(srgb, 2);
        w->set_flags(false);
        QCOMPARE(w->unit().engine_options, std::string("-notime -process=4 -png-s4 -jpg-s0 -q=84 -strip "));
    }

    void resetDisablesItselfUntilTheNextChangeAndSaveWritesTheFile() {
        window_fixture fx;
        fx.write("appdata/velto.ini", "; kept\n[Options]\nLossySetQuality=1\nKeepMeta=true\n");
        auto w = fx.window();
        QVERIFY(w);
        click(part<QPushButton>(w.get(), "int_button_settings"));
        auto* reset = part<QPushButton>(w.get(), "int_button_reset");
        QCOMPARE(part<QSlider>(w.get(), "settings_quality_bar")->value(), 1);
        QVERIFY(!part<QCheckBox>(w.get(), "settings_jpeg_rotation")->isChecked());  // forced by KeepMeta

        click(reset);
        QVERIFY(!reset->isEnabled());
        QCOMPARE(part<QSlider>(w.get(), "settings_quality_bar")->value(), 6);
        QCOMPARE(part<QComboBox>(w.get(), "settings_srgb_transform")->currentIndex(), 1);
        QVERIFY(part<QCheckBox>(w.get(), "settings_jpeg_rotation")->isChecked());
        QVERIFY(!part<QCheckBox>(w.get(), "settings_meta")->isChecked());
        pick(part<QComboBox>(w.get(), "settings_auto_run"), 0);
        QVERIFY(reset->isEnabled());

        click(part<QPushButton>(w.get(), "int_button_save"));
        QVERIFY(part<QGroupBox>(w.get(), "int_group_settings")->isHidden());
        QFile ini(QString::fromStdString(fx.path("appdata/velto.ini")));
        QVERIFY(ini.open(QIODevice::ReadOnly));
        const QByteArray text = ini.readAll();
        QVERIFY(text.startsWith("; kept\n[Options]\nLossySetQuality=6\nKeepMeta=false\n"));
        QVERIFY(text.contains("\nImageTosRGB=1\n"));
        QCOMPARE(status(w.get()), expected_status(status_ready));
    }

    void failedSaveIsShownInTheStatusBar() {
        window_fixture fx;
        QDir(fx.root.path()).mkpath("appdata/velto.ini");  // a folder in the file's place
        auto w = fx.window();
        QVERIFY(w);
        click(part<QPushButton>(w.get(), "int_button_settings"));
        click(part<QPushButton>(w.get(), "int_button_save"));
        QCOMPARE(status(w.get()), expected_status(status_settings_not_saved));
        QVERIFY(part<QGroupBox>(w.get(), "int_group_settings")->isHidden());
    }

    void reportIsWrittenOpenedAndItsFailureShown() {
        window_fixture fx;
        fx.write("p/a,b.png", QByteArray(2048, 'a'));
        auto w = fx.window();
        QVERIFY(w);
        drop(w.get(), {fx.path("p")});
        file_row& row = w->files().rows()[0];
        row.optimized = true;
        row.before = 2048;
        row.after = 1024;
        w->unit().total_before = 2048;
        w->unit().total_after = 1024;
        auto* report = part<QPushButton>(w.get(), "int_button_report");
        report->show();

        QDir(fx.root.path()).mkpath("appdata/krast.csv");
        std::string opened;
        w->open_report = [&](const std::string& p) { opened = p; };
        click(report);
        QCOMPARE(status(w.get()), expected_status(status_report_not_written));
        QVERIFY(report->isEnabled());
        QVERIFY(opened.empty());

        QDir(fx.root.filePath("appdata/krast.csv")).removeRecursively();
        click(report);
        QCOMPARE(opened, fx.path("appdata/krast.csv"));
        QFile csv(QString::fromStdString(opened));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf16(reinterpret_cast<const char16_t*>(csv.readAll().constData()),
                                                static_cast<qsizetype>(csv.size() / 2));
        QCOMPARE(text, QString("file,insize,outsize,savings,purcent\n\"%1\",2.00 KB,1.00 KB,1.00 KB,50%\n"
                               "total,2.00 KB,1.00 KB,1.00 KB,50%\n")
                           .arg(QString::fromStdString(fx.path("p/a,b.png"))));
        QVERIFY(report->isHidden());
        QVERIFY(part<QPushButton>(w.get(), "int_button_settings")->isVisible());
        QTRY_VERIFY(w->isMinimized());
    }

    void missingEngineLocksTheWindow() {
        window_fixture fx;
        QDir(fx.root.path()).mkpath("empty");
        fx.write("appdata/velto.ini", "[Options]\nLossySetQuality=1\n");
        const std::string named = fx.write("files/a.png", QByteArray(100, 'a'));
        auto w = fx.window({named}, "empty");
        QVERIFY(w);
        auto* grid = part<QTableWidget>(w.get(), "int_grid_files");
        auto* optimise = part<QPushButton>(w.get(), "int_button_optimize");
        auto* clear = part<QPushButton>(w.get(), "int_button_clear");
        QCOMPARE(status(w.get()), expected_status(status_error));
        QVERIFY(!part<QPushButton>(w.get(), "int_button_settings")->isEnabled());
        QVERIFY(!grid->isEnabled());
        // The settings file is not read: the form's design values stay.
        QCOMPARE(part<QSlider>(w.get(), "settings_quality_bar")->value(), 6);

        // The named path arrives a second later; the error stays in view and
        // nothing can start while the engine is missing, nor after a drop.
        QTRY_COMPARE_WITH_TIMEOUT(grid->rowCount(), 1, 3000);
        QTest::qWait(50);
        QCOMPARE(status(w.get()), expected_status(status_error));
        QVERIFY(!optimise->isEnabled());
        QVERIFY(!clear->isEnabled());
        w->do_drop_files({fx.write("more/b.png", QByteArray(100, 'b'))});
        QCOMPARE(grid->rowCount(), 2);
        QCOMPARE(status(w.get()), expected_status(status_error));
        QVERIFY(!optimise->isEnabled());

        // Once the engine is in place, files dropped make the window usable.
        QVERIFY(QFile::copy(VELTO_FAKE_CORE, fx.root.filePath("empty/core")));
        w->do_drop_files({fx.write("late/c.png", QByteArray(100, 'c'))});
        QCOMPARE(status(w.get()), expected_status(status_click_to_preview));
        QVERIFY(optimise->isEnabled());
        QVERIFY(clear->isEnabled());
    }

    void fileUrlsCarryTheBytesOfNames() {
        // A dropped URL and the report's URL name the file by its bytes.
        const std::string names[] = {"/d/bad\xFFname.png", "/d/a b%20#?.png", "/d/\xC3\xA9t\xC3\xA9.jpg",
                                     "/x\xE9/y.png"};
        for (const std::string& name : names) {
            const QUrl url = local_file_url(name);
            QVERIFY(url.isLocalFile());
            QCOMPARE(local_path_of(url), name);
        }
        QCOMPARE(local_file_url("/d/bad\xFFname.png").toEncoded(), QByteArray("file:///d/bad%FFname.png"));
        QCOMPARE(local_path_of(QUrl::fromLocalFile("/plain/x.png")), std::string("/plain/x.png"));
        QCOMPARE(local_path_of(QUrl("https://example.org/x.png")), std::string());
    }

    void escapeMinimisesTheWindow() {
        window_fixture fx;
        auto w = fx.window();
        QVERIFY(w);
        QTest::keyClick(w.get(), Qt::Key_Escape);
        QTRY_VERIFY(w->isMinimized());
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
