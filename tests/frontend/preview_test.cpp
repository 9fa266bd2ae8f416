// The preview from the main window on the offscreen platform, with the test
// engine in place of `core`: the check, the window with the view of the
// unchanged file, lossy pictures at the window's quality position, the
// stored lossy picture, the texts, closing, and the cases that show no window.
#include <QSlider>

#include "frontend/preview_rules.h"
#include "window_fixture.h"

namespace {

const QByteArray jpeg_bytes = QByteArray("\xFF\xD8\xFF\xE0", 4) + QByteArray(2996, 'j');
const QByteArray png_bytes = QByteArray("\x89PNG", 4) + QByteArray(500, 'p');

// A shown window listing one PNG file.
std::unique_ptr<TfrmMain> window_with_a_png(const window_fixture& fx) {
    const std::string photo = fx.write("files/a.png", png_bytes);
    auto w = fx.window();
    if (w) w->do_drop_files({photo});
    return w;
}

QImage shown_picture(TfrmAbout& about) { return part<QLabel>(&about, "Image2")->pixmap().toImage(); }

bool preview_file_exists(const window_fixture& fx, const char* name) {
    return QFile::exists(fx.root.filePath(QString("appdata/") + name));
}

}  // namespace

class PreviewTest : public QObject {
    Q_OBJECT

private slots:
    void previewOfTheUnchangedFileAndOfLossyResults() {
        window_fixture fx;
        fx.write("appdata/velto.ini", "[Options]\nLossySetQuality=4\n");
        // The extension's letter case does not keep the lossy size from being read.
        const std::string photo = fx.write("files/photo.Jpg", jpeg_bytes);
        auto w = fx.window();
        QVERIFY(w);
        w->do_drop_files({photo});

        bool checked = false;
        fx.when_preview_opens([&](TfrmAbout& about) {
            auto* lossy = part<QPushButton>(&about, "int_button_view_lossy");
            auto* original = part<QPushButton>(&about, "int_button_view_original");
            auto* bar = part<QSlider>(&about, "preview_quality_bar");
            QVERIFY(!part<QTableWidget>(w.get(), "int_grid_files")->isEnabled());
            QCOMPARE(fx.engine_runs().size(), 2);
            QVERIFY(fx.engine_runs()[0].startsWith("-preview-check\t"));
            QCOMPARE(fx.engine_runs()[1], "-preview-original\t" + QString::fromStdString(photo));
            QCOMPARE(shown_picture(about).size(), QSize(320, 200));
            const QImage unchanged = shown_picture(about);
            QCOMPARE(status(&about), QString("  = 2.93 KB - 原始 "));
            QVERIFY(lossy->isEnabled());
            QVERIFY(!original->isEnabled());
            QVERIFY(part<QPushButton>(&about, "int_button_exit")->isEnabled());
            QCOMPARE(bar->value(), 4);
            QVERIFY(!about.isMaximized());

            // The first F1 renders, at the window's position.
            QTest::keyClick(&about, Qt::Key_F1);
            QCOMPARE(fx.engine_runs().size(), 3);
            QVERIFY(fx.engine_runs()[2].contains("\t-q=84\t"));
            QVERIFY(fx.engine_runs()[2].endsWith("\t-preview\t" + QString::fromStdString(photo)));
            QCOMPARE(status(&about), QString("  ~ 0.92 KB - 有损 "));  // 940 bytes at quality 84
            QVERIFY(shown_picture(about) != unchanged);
            QVERIFY(!lossy->isEnabled());
            QVERIFY(original->isEnabled());
            QTest::keyClick(&about, Qt::Key_F1);  // the lossy button is disabled: nothing
            QCOMPARE(fx.engine_runs().size(), 3);

            // Back and forth without moving the bar: stored pictures, no engine run.
            QTest::keyClick(&about, Qt::Key_F2);
            QCOMPARE(status(&about), QString("  = 2.93 KB - 原始 "));
            QCOMPARE(shown_picture(about), unchanged);
            const QImage lossy_picture = [&] {
                QTest::keyClick(&about, Qt::Key_F1);
                return shown_picture(about);
            }();
            QCOMPARE(fx.engine_runs().size(), 3);
            QCOMPARE(status(&about), QString("  ~ 0.92 KB - 有损 "));
            QVERIFY(lossy_picture != unchanged);

            // A moved bar asks for a new picture.
            bar->setValue(2);
            QVERIFY(lossy->isEnabled());
            QTest::keyClick(&about, Qt::Key_F1);
            QCOMPARE(fx.engine_runs().size(), 4);
            QVERIFY(fx.engine_runs()[3].contains("\t-q=70\t"));
            QCOMPARE(status(&about), QString("  ~ 0.78 KB - 有损 "));
            QVERIFY(shown_picture(about) != lossy_picture);
            QVERIFY(preview_file_exists(fx, preview_view_file));
            QVERIFY(preview_file_exists(fx, preview_jpg_result_file));

            QTest::keyClick(&about, Qt::Key_Escape);
            QVERIFY(about.isHidden());
            checked = true;
        });
        click_row(w.get(), 1);

        QVERIFY(checked);
        QVERIFY(!w->unit().preview_open);
        QVERIFY(!preview_file_exists(fx, preview_view_file));
        QVERIFY(!preview_file_exists(fx, preview_jpg_result_file));
        QCOMPARE(status(w.get()), expected_status(status_click_to_preview));
        QVERIFY(part<QTableWidget>(w.get(), "int_grid_files")->isEnabled());
        // The window's position is the main setting now: the next run sends it.
        QCOMPARE(part<QSlider>(w.get(), "settings_quality_bar")->value(), 2);
        w->set_flags(false);
        QVERIFY(w->unit().engine_options.find("-q=70 ") != std::string::npos);
    }

    void namesThatAreNotUtf8_data() {
        QTest::addColumn<QByteArray>("file");         // below the root
        QTest::addColumn<QByteArray>("data_folder");  // below the root
        QTest::newRow("file name") << QByteArray("files/bad\xFFname.png") << QByteArray("appdata");
        QTest::newRow("data folder") << QByteArray("files/a.png") << QByteArray("app\xFF" "data");
    }

    void namesThatAreNotUtf8() {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, data_folder);
        window_fixture fx;
        const std::string root = QFile::encodeName(fx.root.path()).toStdString() + "/";
        const std::string data = root + data_folder.toStdString();
        ::mkdir(data.c_str(), 0755);
        ::setenv("LOCALAPPDATA", data.c_str(), 1);
        const std::string photo = window_fixture::write_bytes(root + file.toStdString(), png_bytes);
        auto w = fx.window();
        QVERIFY(w);
        w->do_drop_files({photo});

        bool checked = false;
        fx.when_preview_opens([&](TfrmAbout& about) {
            QCOMPARE(shown_picture(about).size(), QSize(320, 200));
            QCOMPARE(status(&about), QString("  = 0.49 KB - 原始 "));
            QTest::keyClick(&about, Qt::Key_F1);
            QCOMPARE(status(&about), QString("  ~ 0.92 KB - 有损 "));  // 940 bytes at quality 84
            QVERIFY(size_on_disk(data + "/" + preview_png_result_file) > 0);
            QTest::keyClick(&about, Qt::Key_Escape);
            checked = true;
        });
        click_row(w.get(), 1);

        QVERIFY(checked);
        QCOMPARE(size_on_disk(data + "/" + preview_view_file), -1);  // removed on close
        QCOMPARE(size_on_disk(data + "/" + preview_png_result_file), -1);
        QCOMPARE(size_on_disk(photo), png_bytes.size());  // a preview leaves the file alone
    }

    void aLossyPictureThatCannotBeMadeIsSaid() {
        window_fixture fx;
        auto w = window_with_a_png(fx);
        QVERIFY(w);
        bool checked = false;
        fx.when_preview_opens([&](TfrmAbout& about) {
            const QImage unchanged = shown_picture(about);
            ::setenv("VELTO_FAKE_VIEW", "none", 1);
            QTest::keyClick(&about, Qt::Key_F1);
            QCOMPARE(status(&about), expected_status(status_cannot_preview));
            QCOMPARE(shown_picture(about), unchanged);  // the last picture stays
            checked = true;
        });
        click_row(w.get(), 1);
        QVERIFY(checked);
        QVERIFY(part<QTableWidget>(w.get(), "int_grid_files")->isEnabled());
    }

    void largeViewsOpenTheWindowMaximised_data() {
        QTest::addColumn<QString>("view");
        QTest::addColumn<bool>("maximised");
        QTest::newRow("1200 x 800") << "1200x800" << true;
        QTest::newRow("800 x 500") << "800x500" << false;
        QTest::newRow("600 x 540") << "600x540" << true;
    }

    void largeViewsOpenTheWindowMaximised() {
        QFETCH(QString, view);
        QFETCH(bool, maximised);
        window_fixture fx;
        ::setenv("VELTO_FAKE_VIEW", view.toUtf8().constData(), 1);
        auto w = window_with_a_png(fx);
        QVERIFY(w);
        bool checked = false;
        fx.when_preview_opens([&](TfrmAbout& about) {
            QCOMPARE(about.isMaximized(), maximised);
            checked = true;
        });
        click_row(w.get(), 1);
        QVERIFY(checked);
    }

    void noWindow_data() {
        QTest::addColumn<QString>("ini");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("fake");  // VELTO_FAKE_CRASH or VELTO_FAKE_VIEW setting
        QTest::addColumn<bool>("run_first");
        QTest::addColumn<bool>("remove_file");
        QTest::addColumn<int>("message");  // status code, 0 for no message
        QTest::newRow("refused by the engine") << "" << "a-no-preview.png" << "" << false << false << 14;
        QTest::newRow("lossless method") << "EnableLossyCompression=1\n" << "a.png" << "" << false << false << 13;
        QTest::newRow("after a run") << "" << "a.png" << "" << true << false << 0;
        QTest::newRow("file gone") << "" << "a.png" << "" << false << true << 0;
        QTest::newRow("check crashes") << "" << "a.png" << "crash:-preview-check" << false << false << 14;
        QTest::newRow("no view") << "" << "a.png" << "view:none" << false << false << 14;
        QTest::newRow("view too short") << "" << "a.png" << "view:short" << false << false << 14;
        QTest::newRow("handshake fails") << "" << "a.png" << "crash:-c500" << false << false << 7;
    }

    void noWindow() {
        QFETCH(QString, ini);
        QFETCH(QString, name);
        QFETCH(QString, fake);
        QFETCH(bool, run_first);
        QFETCH(bool, remove_file);
        QFETCH(int, message);
        window_fixture fx;
        fx.write("appdata/velto.ini", "[Options]\n" + ini.toUtf8());
        const std::string file = fx.write("files/" + name, png_bytes);
        fx.write("files/other.png", QByteArray(100, 'o'));
        auto w = fx.window();
        QVERIFY(w);
        w->do_drop_files({fx.path("files")});
        if (run_first) click(part<QPushButton>(w.get(), "int_button_optimize"));
        if (remove_file) QFile::remove(QString::fromStdString(file));
        if (fake.startsWith("crash:")) ::setenv("VELTO_FAKE_CRASH", fake.mid(6).toUtf8().constData(), 1);
        if (fake.startsWith("view:")) ::setenv("VELTO_FAKE_VIEW", fake.mid(5).toUtf8().constData(), 1);
        const QString before = status(w.get());
        bool opened = false;
        fx.when_preview_opens([&](TfrmAbout&) { opened = true; });
        click_row(w.get(), 1);

        QVERIFY(!opened);
        QVERIFY(!w->unit().preview_open);
        QCOMPARE(status(w.get()), message == 0 ? before : expected_status(message));
        // Only a failed handshake locks the grid; otherwise it can be clicked again.
        QCOMPARE(part<QTableWidget>(w.get(), "int_grid_files")->isEnabled(), message != 7);
        if (remove_file) QCOMPARE(fx.engine_log().size(), 0);
    }
};

QTEST_MAIN(PreviewTest)
#include "preview_test.moc"
