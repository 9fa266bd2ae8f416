// The front end driving the real engine `core` on copies of a few corpus
// PNG and JPEG files: a preview of the unchanged file and of the lossy result,
// then a run, after which the grid's sizes must be those of the files on disk.
// Skipped when the corpus or the engine is missing.
#include <QFileInfo>
#include <QImage>

#include "frontend/size_text.h"
#include "window_fixture.h"

namespace {

const char* const corpus_files[] = {
    "png/misc/hippopotamus-interlaced.png", "png/icon/transparency-300-palette-alpha.png",
    "png/grey/hopper-bw-500.png",           "jpeg/baseline/hat-90x112.jpg",
    "jpeg/progressive/peacock-progressive.jpg",
};

QString size_text_of(qint64 bytes) { return QString::fromStdString(size_text(static_cast<uint64_t>(bytes))); }

}  // namespace

class RealEngineTest : public QObject {
    Q_OBJECT

private slots:
    void previewThenRunOnCorpusFiles() {
        const QString corpus = qEnvironmentVariable("VELTO_CORPUS");
        const QString core = qEnvironmentVariable("VELTO_CORE");
        if (corpus.isEmpty() || !QFileInfo(corpus + "/MANIFEST.tsv").exists())
            QSKIP("the shared corpus is not there (VELTO_CORPUS)");
        if (core.isEmpty() || !QFileInfo(core).isExecutable()) QSKIP("the engine is not built (VELTO_CORE)");

        window_fixture fx;
        // Copies, writable like a user's files; the corpus stays untouched.
        QDir().mkpath(fx.root.filePath("files"));
        QMap<QString, qint64> original;
        for (const char* name : corpus_files) {
            const QString copy = fx.root.filePath("files/" + QFileInfo(name).fileName());
            QVERIFY(QFile::copy(corpus + "/" + name, copy));
            QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner);
            original[copy] = QFileInfo(copy).size();
        }
        frontend_start start;
        start.program_folder = QFile::encodeName(QFileInfo(core).absolutePath() + "/").toStdString();
        TfrmMain w(start);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.do_drop_files({fx.path("files")});
        QCOMPARE(w.files().rows().size(), std::size(corpus_files));

        int hopper = 0;
        for (size_t i = 0; i < w.files().rows().size(); ++i)
            if (QString::fromStdString(w.files().rows()[i].path).endsWith("hopper-bw-500.png"))
                hopper = static_cast<int>(i) + 1;
        const QString hopper_path = fx.root.filePath("files/hopper-bw-500.png");
        bool previewed = false;
        fx.when_preview_opens([&](TfrmAbout& about) {
            QVERIFY(!part<QLabel>(&about, "Image2")->pixmap().isNull());
            QCOMPARE(status(&about), "  = " + size_text_of(original[hopper_path]) + " - 原始 ");
            QTest::keyClick(&about, Qt::Key_F1);
            const QFileInfo result(fx.root.filePath("appdata/temp-result-png.png"));
            QVERIFY(result.exists());
            QCOMPARE(status(&about), "  ~ " + size_text_of(result.size()) + " - 有损 ");
            QVERIFY(!part<QLabel>(&about, "Image2")->pixmap().isNull());
            previewed = true;
        });
        click_row(&w, hopper);
        QVERIFY(previewed);
        QCOMPARE(QFileInfo(hopper_path).size(), original[hopper_path]);  // a preview leaves the file alone

        click(part<QPushButton>(&w, "int_button_optimize"));
        QVERIFY(w.unit().run_finished);
        qint64 before = 0, after = 0;
        bool smaller = false;
        for (int r = 0; r < static_cast<int>(w.files().rows().size()); ++r) {
            const QString path = cell(&w, r, 0);
            const qint64 now = QFileInfo(path).size();
            QCOMPARE(cell(&w, r, 3), QString::number(original[path]));
            QCOMPARE(cell(&w, r, 4), QString::number(now));
            QCOMPARE(cell(&w, r, 2), size_text_of(now));
            QVERIFY(now <= original[path]);
            QVERIFY2(!QImage(path).isNull(), qPrintable(path));
            smaller = smaller || now < original[path];
            before += original[path];
            after += now;
        }
        QVERIFY(smaller);
        QCOMPARE(w.unit().total_before, static_cast<uint64_t>(before));
        QCOMPARE(w.unit().total_after, static_cast<uint64_t>(after));
        QVERIFY(status(&w).startsWith(expected_status(status_finished, before - after)));
    }
};

QTEST_MAIN(RealEngineTest)
#include "real_engine_test.moc"
