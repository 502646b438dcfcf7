// File > Save Scan and File > Open Scan: a scan saved from the window opens again with the
// same rows, its files recover, and a volume that changed since is refused.
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QComboBox>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

#include "AppTestSupport.h"
#include "app/AppStyle.h"
#include "app/MainForm.h"
#include "app/ResultsTableModel.h"
#include "app/Translation.h"

using namespace brivo;

namespace {

// Every row as "folder/name|size|condition", in the list's order.
QStringList Rows(TFrmMain& w) {
    QStringList out;
    auto* m = w.ResultsModel();
    for (int r = 0; r < m->rowCount(); ++r) {
        QStringList cols;
        for (int c = 0; c < m->columnCount(); ++c) cols << m->data(m->index(r, c), Qt::DisplayRole).toString();
        out << cols.join('|');
    }
    return out;
}

} // namespace

class SavedScanTest : public QObject {
    Q_OBJECT
    QTemporaryDir settingsDir_;
    QTemporaryDir work_;
    QString fat16_;

    std::unique_ptr<TFrmMain> NewWindow() { return apptest::NewScanWindow(work_); }

    void Open(TFrmMain& w, apptest::TScriptedDialogs& dialogs, const QString& file) {
        dialogs.files.push_back(file);
        w.OpenScan1->trigger();
        QVERIFY(w.WaitForScan(120000));
    }

private slots:
    void initTestCase() {
        apptest::IsolateSettings(settingsDir_);
        Translation().Clear();
        fat16_ = apptest::UnpackFixture("fat16.img", work_);
    }

    void savedScanOpensWithTheSameRowsAndRecovers() {
        if (fat16_.isEmpty()) QSKIP("fat16.img fixture missing");
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        QVERIFY(w->OpenScan1->isEnabled());
        QVERIFY(!w->SaveScan1->isEnabled());  // nothing to save yet
        apptest::ScanImage(*w, fat16_);
        const QStringList scanned = Rows(*w);
        QVERIFY(!scanned.isEmpty());
        const std::vector<std::string> deletedFolders = w->ScanState().FDeletedFolders;
        QVERIFY(!deletedFolders.empty());
        QVERIFY(w->SaveScan1->isEnabled());

        // Cancelled: nothing written, nothing shown.
        w->SaveScan1->trigger();
        QCOMPARE(dialogs.events.last(), QString("save-file"));
        QCOMPARE(dialogs.lastSuffix, QString("brivoscan"));
        QVERIFY(dialogs.lastFilter.contains("*.brivoscan"));

        const QString saved = work_.filePath("fat16.brivoscan");
        dialogs.saveFiles.push_back(saved);
        w->SaveScan1->trigger();
        QVERIFY2(dialogs.Boxes().isEmpty(), qPrintable(dialogs.Boxes().join('|')));
        QVERIFY(QFile::exists(saved));
        QCOMPARE(w->StatusText(), "Scan saved to " + saved.toStdString());

        // A fresh window (as after a restart) shows the same rows from the file, and its
        // choice band names the image they came from.
        w.reset();
        auto w2 = NewWindow();
        QCOMPARE(w2->cbWhereToScan->currentIndex(), 0);
        Open(*w2, dialogs, saved);
        QVERIFY2(dialogs.Boxes().isEmpty(), qPrintable(dialogs.Boxes().join('|')));
        QCOMPARE(Rows(*w2), scanned);
        // The folder tree draws the same folders as deleted.
        QVERIFY(w2->ScanState().FDeletedFolders == deletedFolders);
        QCOMPARE(w2->cbWhereToScan->currentIndex(), 1);
        QCOMPARE(w2->EdDiskImagePath->text(), QDir::toNativeSeparators(fat16_));
        QVERIFY(w2->tbRecoverSel->isEnabled() && w2->SaveScan1->isEnabled() && w2->OpenScan1->isEnabled());

        // Recover one file whose name survived whole; its content is the original's.
        QFile manifest(QStringLiteral(BRIVO_FIXTURE_DIR "/fat16.manifest.tsv"));
        QVERIFY(manifest.open(QIODevice::ReadOnly));
        manifest.readLine();
        auto* m = w2->ResultsModel();
        int row = -1;
        QString path, md5;
        while (row < 0 && !manifest.atEnd()) {
            const QStringList cols = QString::fromUtf8(manifest.readLine()).trimmed().split('\t');
            if (cols.size() != 3) continue;
            for (int r = 0; r < m->rowCount() && row < 0; ++r) {
                QString folder = m->data(m->index(r, 1), Qt::DisplayRole).toString().replace('\\', '/');
                if (!folder.endsWith('/')) folder += '/';
                if (folder + m->data(m->index(r, 0), Qt::DisplayRole).toString() == cols[0]) {
                    row = r;
                    path = cols[0];
                    md5 = cols[2];
                }
            }
        }
        QVERIFY(row >= 0);
        // The preview reads through the opened scan's extractor too.
        w2->show();
        w2->ShowPreview1->trigger();
        w2->lvFiles->setCurrentIndex(m->index(row, 1));
        QTRY_VERIFY(QStringList({"text", "hex", "image"}).contains(w2->PreviewMode()));
        m->SetRowsChecked({row}, true);
        const QString out = work_.filePath("out");
        dialogs.folders.push_back(out);
        dialogs.questionAnswer = false;  // do not open the folder afterwards
        w2->Recover1->trigger();
        QVERIFY(w2->WaitForScan(120000));
        QCOMPARE(dialogs.Boxes().size(), 1);
        QVERIFY2(dialogs.Boxes()[0].contains("OK: 1 Failed: 0"), qPrintable(dialogs.Boxes()[0]));
        QCOMPARE(apptest::Md5OfFile(out + path), md5);
    }

    // Refusals end like a failed scan: the message box says why, the list stays empty and
    // the window can scan or open again.
    void refusedFilesShowTheReason_data() {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("message");
        QTest::newRow("volume changed") << "volume" << "is not the one this scan was made of";
        QTest::newRow("not a saved scan") << "file" << "is not a saved scan";
    }
    void refusedFilesShowTheReason() {
        QFETCH(QString, damage);
        QFETCH(QString, message);
        if (fat16_.isEmpty()) QSKIP("fat16.img fixture missing");
        QTemporaryDir dir;
        const QString image = dir.filePath("copy.img");
        QVERIFY(QFile::copy(fat16_, image));
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        apptest::ScanImage(*w, image);
        const QString saved = dir.filePath("scan.brivoscan");
        dialogs.saveFiles.push_back(saved);
        w->SaveScan1->trigger();
        QVERIFY(QFile::exists(saved));

        QFile f(damage == "volume" ? image : saved);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.seek(damage == "volume" ? 3 : 0));  // the boot sector's OEM name; the JSON's first brace
        QVERIFY(f.write("X", 1) == 1);
        f.close();

        Open(*w, dialogs, saved);
        QCOMPARE(dialogs.Boxes().size(), 1);
        QVERIFY2(dialogs.Boxes()[0].startsWith("error: ") && dialogs.Boxes()[0].contains(message),
                 qPrintable(dialogs.Boxes()[0]));
        QCOMPARE(w->ResultsModel()->rowCount(), 0);
        QVERIFY(w->tbFastScan->isEnabled() && w->OpenScan1->isEnabled() && !w->SaveScan1->isEnabled());
    }

    // Pictures of a window showing an opened scan, and of its File menu, to look at by hand.
    void screenshotAfterOpeningASavedScan() {
        const QString target = qEnvironmentVariable("BRIVO_SCREENSHOT");
        if (target.isEmpty() || fat16_.isEmpty()) QSKIP("BRIVO_SCREENSHOT not set");
        apptest::TScriptedDialogs dialogs;
        ApplyVisualStyle(*qApp);
        const QString saved = work_.filePath("shot.brivoscan");
        {
            auto w = NewWindow();
            apptest::ScanImage(*w, fat16_);
            dialogs.saveFiles.push_back(saved);
            w->SaveScan1->trigger();
        }
        auto w = NewWindow();
        w->show();
        w->resize(1024, 590 + w->menuBar()->sizeHint().height());
        Open(*w, dialogs, saved);
        QVERIFY(w->WaitForFolderTree(120000));
        QTest::qWait(300);
        QVERIFY(w->grab().save(target));
        w->File1->popup(w->mapToGlobal(QPoint(0, w->menuBar()->height())));
        QTest::qWait(300);
        QVERIFY(w->File1->grab().save(QString(target).replace(".png", "-menu.png")));
        w->File1->hide();
    }
};

QTEST_MAIN(SavedScanTest)
#include "SavedScanTest.moc"
