#include <QAction>
#include <QBrush>
#include <QCheckBox>
#include <QComboBox>
#include <QDirIterator>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QMessageBox>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTableView>
#include <QTreeView>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "AppTestSupport.h"
#include "core/ResilientSource.h"
#include "app/AppInfo.h"
#include "app/AppSettings.h"
#include "app/AppStyle.h"
#include "app/LanguageSetting.h"
#include "app/MainForm.h"
#include "app/FolderTreeModel.h"
#include "app/ResultsTableModel.h"
#include "app/Translation.h"
#include "results/ResultsModel.h"

using namespace brivo;

namespace {

struct ManifestRow {
    QString path;  // "/a/b.txt"
    qint64 size;
    QString md5;
};

QList<ManifestRow> ReadManifest(const QString& image) {
    QList<ManifestRow> rows;
    QFile f(QStringLiteral(BRIVO_FIXTURE_DIR "/") + image + ".manifest.tsv");
    if (!f.open(QIODevice::ReadOnly)) return rows;
    f.readLine();  // header
    while (!f.atEnd()) {
        const QStringList cols = QString::fromUtf8(f.readLine()).trimmed().split('\t');
        if (cols.size() == 3) rows.append({cols[0], cols[1].toLongLong(), cols[2]});
    }
    return rows;
}

// "\a\b.txt" as the Path and File columns show a result.
QStringList ShownPaths(TFrmMain& w) {
    QStringList out;
    auto* m = w.ResultsModel();
    for (int r = 0; r < m->rowCount(); ++r) {
        QString folder = m->data(m->index(r, 1), Qt::DisplayRole).toString();
        if (!folder.endsWith('\\') && !folder.endsWith('/')) folder += '/';
        out << folder + m->data(m->index(r, 0), Qt::DisplayRole).toString();
    }
    out.sort();
    return out;
}

// Holds a direct scan at its start until released (or until Stop is requested).
struct TGate {
    std::atomic<bool> open{false};
    std::atomic<bool> reached{false};
};

// The real routes with the NTFS reader held at its start by gate.
TScanRoutes GatedNtfsRoutes(const std::shared_ptr<TGate>& gate) {
    TScanRoutes routes = TScanRoutes::Default();
    routes.Direct[TScanRoute::Ntfs] = [gate, real = routes.Direct[TScanRoute::Ntfs]](TByteSource& src, TReaderReport& report, const TReaderOptions& opts) {
        gate->reached = true;
        while (!gate->open && !report.StopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return real(src, report, opts);
    };
    return routes;
}

// Gives the first result's content at once and holds the second, writing until the
// batch's sink refuses (Stop).
class THeldExtractor : public TExtractor {
public:
    THeldExtractor(std::shared_ptr<std::atomic<int>> calls, std::shared_ptr<std::atomic<bool>> holding)
        : calls_(std::move(calls)), holding_(std::move(holding)) {}
    void Extract(const TFoundFile&, TByteSink& sink) override {
        const uint8_t bytes[4] = {'d', 'a', 't', 'a'};
        sink.Write(bytes);
        if (++*calls_ == 1) return;
        for (;;) {
            *holding_ = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            sink.Write(bytes);
        }
    }

private:
    std::shared_ptr<std::atomic<int>> calls_;
    std::shared_ptr<std::atomic<bool>> holding_;
};

// Gives four bytes of which the last two are zeros for want of the real ones, as a read
// over a bad sector gives them.
class TBadSectorExtractor : public TExtractor {
public:
    void Extract(const TFoundFile&, TByteSink& sink) override {
        const uint8_t bytes[4] = {'d', 'a', 0, 0};
        TUnreadableWatch::Note(bytes + 2, 2, 4096, "Cannot read disk at byte 4096: Input/output error");
        sink.Write(bytes);
    }
};

} // namespace

class ScanRecoverTest : public QObject {
    Q_OBJECT
    QTemporaryDir settingsDir_;
    QTemporaryDir work_;
    QString fat16_, ntfs_;

    std::unique_ptr<TFrmMain> NewWindow(std::optional<TScanRoutes> routes = {}) {
        return apptest::NewScanWindow(work_, std::move(routes));
    }

private slots:
    void initTestCase() {
        apptest::IsolateSettings(settingsDir_);
        Translation().Clear();
        fat16_ = apptest::UnpackFixture("fat16.img", work_);
        ntfs_ = apptest::UnpackFixture("ntfs.img", work_);
    }

    void scanAndRecoverThroughTheWindow() {
        if (fat16_.isEmpty()) QSKIP("fat16.img fixture missing");
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        QVERIFY(!w->Engine().FToolsDir.empty());
        apptest::ScanImage(*w, fat16_);
        QVERIFY2(dialogs.Boxes().isEmpty(), qPrintable(dialogs.Boxes().join('|')));
        const QList<ManifestRow> manifest = ReadManifest("fat16");
        // Deleted entries with only a short name lose their first letter on FAT: "_ld_main.c",
        // and so does a deleted folder's ("_ata").
        auto sameName = [](QString shown, const QString& want) {
            const QStringList a = shown.replace('\\', '/').split('/'), b = want.split('/');
            if (a.size() != b.size()) return false;
            for (int i = 0; i < a.size(); ++i)
                if (a[i] != b[i] && (a[i].size() != b[i].size() || a[i].mid(1) != b[i].mid(1))) return false;
            return true;
        };
        const QStringList shown = ShownPaths(*w);
        QCOMPARE(shown.size(), manifest.size());
        QStringList recoveredAs;  // each manifest row's path as recovered
        for (const ManifestRow& r : manifest) {
            auto it = std::find_if(shown.begin(), shown.end(), [&](const QString& s) { return sameName(s, r.path); });
            QVERIFY2(it != shown.end(), qPrintable(r.path + " in " + shown.join(" | ")));
            recoveredAs << QString(*it).replace('\\', '/');
        }
        // Worded as for every file system.
        QCOMPARE(w->StatusText(), "Scan finished. Found entries: " + std::to_string(manifest.size()));
        QVERIFY(w->memoLog->toPlainText().contains("Fast scan..."));
        QVERIFY(w->tbRecoverSel->isEnabled() && w->tbFastScan->isEnabled() && !w->tbStop->isEnabled());
        QFile log(work_.filePath("debug.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().startsWith("\xEF\xBB\xBF"));

        // A cancelled folder dialog changes nothing.
        w->btCheckAll->trigger();
        w->tbRecoverSel->trigger();
        QCOMPARE(dialogs.events.last(), QString("select-folder: Select output folder"));
        QVERIFY(dialogs.Boxes().isEmpty());

        // Recovery into a folder that does not exist yet.
        const QString out = work_.filePath("out/fat16");
        dialogs.folders.push_back(out);
        w->Recover1->trigger();
        QVERIFY(w->WaitForScan(120000));
        // The summary offers to open the folder; yes opens it in the desktop's file manager.
        QCOMPARE(dialogs.Boxes(), QStringList({QString("question: Recovery finished. OK: %1 Failed: 0\n\nOpen the "
                                                       "output folder?")
                                                   .arg(manifest.size())}));
        QCOMPARE(dialogs.events.last(), "url: " + out);
        QCOMPARE(w->StatusText(), "Recovery finished.\r\nOK: " + std::to_string(manifest.size()) + "\r\nFailed: 0");
        for (int i = 0; i < manifest.size(); ++i)
            QCOMPARE(apptest::Md5OfFile(out + recoveredAs[i]), manifest[i].md5);
        QVERIFY(w->tbRecoverSel->isEnabled() && !w->tbStop->isEnabled());
        // Marks and rows stay after a batch.
        QCOMPARE(w->CountChecked(), manifest.size());
    }

    // An output folder on a file system mounted from the scanned image itself (here ntfs-3g
    // on the image file) is refused with a message, before anything is written there.
    void outputOnAMountOfTheScannedImageIsRefused() {
        if (ntfs_.isEmpty()) QSKIP("ntfs.img fixture missing");
        if (::geteuid() != 0) QSKIP("mounting the image needs root");
        // A copy: mounting it read-write changes it, and other tests scan the original.
        const QString image = work_.filePath("ntfs-mounted.img");
        QVERIFY(QFile::copy(ntfs_, image));
        const QString mnt = work_.filePath("ntfs-mnt");
        QDir().mkpath(mnt);
        if (QProcess::execute("ntfs-3g", {image, mnt}) != 0) QSKIP("FUSE (ntfs-3g) is not available here");
        struct Unmount {
            QString dir;
            ~Unmount() { QProcess::execute("umount", {dir}); }
        } unmount{mnt};
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        apptest::ScanImage(*w, image);
        QVERIFY(!w->ScanState().FFound.empty());
        w->btCheckAll->trigger();
        dialogs.folders.push_back(mnt + "/out");
        w->Recover1->trigger();
        QCOMPARE(dialogs.Boxes(),
                 QStringList({"error: The output folder is on a file system stored in the disk image being "
                              "recovered. Saving there would change the image and can overwrite the deleted files "
                              "you want back. Choose a folder outside it, for example beside the image."}));
        QVERIFY(!QFileInfo::exists(mnt + "/out"));
        QVERIFY(w->tbRecoverSel->isEnabled() && !w->tbStop->isEnabled());
    }

    // The folders the readers found deleted are drawn in red in the tree; live ones are not.
    void deletedFoldersAreRedInTheTree() {
        const struct {
            QString image;
            QStringList deleted;  // folder paths whose last part may lose its first letter (FAT)
            QStringList live;
        } cases[] = {
            {fat16_, {"/Projects/Beta", "/Projects/Beta/data"}, {"/Projects", "/Projects/Alpha"}},
            {ntfs_, {"/Users/Bob/Documents/Old Projects"}, {"/Users", "/Users/Bob/Documents"}},
        };
        for (const auto& c : cases) {
            if (c.image.isEmpty()) QSKIP("fixture missing");
            apptest::TScriptedDialogs dialogs;
            auto w = NewWindow();
            apptest::ScanImage(*w, c.image);
            QVERIFY(w->WaitForFolderTree(30000));
            const TFolderTree& t = *w->FolderTree();
            auto find = [&t](const QString& path) {
                for (uint32_t id = 1; id < t.NodeCount(); ++id) {
                    const QString p = QString::fromStdString(t.PathOf(id));
                    // FAT keeps a deleted short name without its first letter.
                    if (p == path || (p.size() == path.size() && p.section('/', 0, -2) == path.section('/', 0, -2) &&
                                      p.section('/', -1).mid(1) == path.section('/', -1).mid(1)))
                        return id;
                }
                return kNoFolder;
            };
            for (const QString& d : c.deleted) {
                const uint32_t id = find(d);
                QVERIFY2(id != kNoFolder, qPrintable(d));
                QVERIFY2(t.Node(id).Deleted, qPrintable(d));
                const QVariant colour = w->FolderModel()->data(w->FolderModel()->IndexOf(id), Qt::ForegroundRole);
                QCOMPARE(colour.value<QBrush>().color(), QColor(170, 30, 30));
            }
            for (const QString& l : c.live) {
                const uint32_t id = find(l);
                QVERIFY2(id != kNoFolder && !t.Node(id).Deleted, qPrintable(l));
            }
        }
    }

    // Stop during a batch: the file being written is removed, the finished ones stay, the
    // status says the batch was stopped; no scan can start while it runs. And when no file
    // manager starts, the summary says where the files are.
    void stopDuringARecoveryBatch() {
        if (ntfs_.isEmpty()) QSKIP("ntfs.img fixture missing");
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        apptest::ScanImage(*w, ntfs_);
        QVERIFY(w->ScanState().FFound.size() >= 3);
        auto calls = std::make_shared<std::atomic<int>>(0);
        auto holding = std::make_shared<std::atomic<bool>>(false);
        w->ScanState().FMakeExtractor = [calls, holding] { return std::make_unique<THeldExtractor>(calls, holding); };
        w->btCheckAll->trigger();
        const QString out = work_.filePath("out/stopped");
        dialogs.folders.push_back(out);
        w->tbRecoverSel->trigger();
        QVERIFY(w->ScanBusy());
        QTRY_VERIFY(holding->load());
        QVERIFY(!w->tbFastScan->isEnabled() && !w->tbRecoverSel->isEnabled() && w->tbStop->isEnabled());
        const size_t found = w->ScanState().FFound.size();
        w->tbFastScanClick();  // refused while the batch runs: a scan would empty the results
        QCOMPARE(w->ScanState().FFound.size(), found);
        dialogs.urlOpens = false;
        w->tbStop->trigger();
        QVERIFY(w->WaitForScan(60000));
        QCOMPARE(w->StatusText(), std::string("Recovery stopped.\r\nOK: 1\r\nFailed: 0"));
        QCOMPARE(dialogs.Boxes(), QStringList({"question: Recovery stopped. OK: 1 Failed: 0\n\nOpen the output folder?",
                                               "info: No file manager could be started. The recovered files are in: " +
                                                   out}));
        QStringList files;
        for (QDirIterator it(out, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
            files << it.next();
        QCOMPARE(files.size(), 1);
        QCOMPARE(calls->load(), 2);
        QVERIFY(w->tbRecoverSel->isEnabled() && w->tbFastScan->isEnabled() && !w->tbStop->isEnabled());
    }

    // The Recover dialog's check box decides whether files with unreadable parts are kept
    // (with zeros) or fail; it starts unchecked every time.
    void keepFilesWithUnreadablePartsReachesTheBatch() {
        if (ntfs_.isEmpty()) QSKIP("ntfs.img fixture missing");
        apptest::TScriptedDialogs dialogs;
        dialogs.urlOpens = false;
        auto w = NewWindow();
        apptest::ScanImage(*w, ntfs_);
        QVERIFY(!w->ScanState().FFound.empty());
        w->ScanState().FMakeExtractor = [] { return std::make_unique<TBadSectorExtractor>(); };
        w->btCheckAll->trigger();
        const int n = w->CountChecked();
        for (const bool keep : {false, true}) {
            dialogs.events.clear();
            dialogs.keepDamagedAnswer = keep;
            dialogs.folders.push_back(work_.filePath(keep ? "out/kept" : "out/failed"));
            w->tbRecoverSel->trigger();
            QVERIFY(w->WaitForScan(60000));
            QCOMPARE(dialogs.lastCheckText, QString("Keep files with unreadable parts"));
            const QString summary = dialogs.Boxes().value(0);
            QVERIFY2(summary.contains(keep ? QString("OK: 0 Failed: 0 Damaged: %1").arg(n) : QString("Failed: %1").arg(n)),
                     qPrintable(summary));
            // Each file is named with what happened to it; a failure for unreadable parts
            // says how to get the file anyway.
            const QString first = QString::fromStdString(ResultDisplayPath(w->ScanState().FFound[0].FullPath));
            QVERIFY2(summary.contains("Files not recovered in full:\n" + first +
                                      (keep ? ": kept with unreadable parts (2 bytes are zeros)"
                                            : ": Cannot read disk at byte 4096: Input/output error")),
                     qPrintable(summary));
            QCOMPARE(summary.contains("ticked"), !keep);
            QVERIFY(summary.endsWith("Open the output folder?"));
            QVERIFY2(QString::fromStdString(w->StatusText()).contains(keep ? QString("Damaged: %1").arg(n) : QString("Failed: %1").arg(n)),
                     w->StatusText().c_str());
            // The rows say so in their Condition column.
            for (int r = 0; r < w->ResultsModel()->rowCount(); ++r)
                QVERIFY(w->ResultsModel()->data(w->ResultsModel()->index(r, rcCondition), Qt::DisplayRole).toString().startsWith("Unreadable parts"));
        }
    }

    void headerClickAndStopDuringAScan() {
        if (ntfs_.isEmpty()) QSKIP("ntfs.img fixture missing");
        apptest::TScriptedDialogs dialogs;
        auto gate = std::make_shared<TGate>();
        auto w = NewWindow(GatedNtfsRoutes(gate));
        w->cbWhereToScan->setCurrentIndex(1);
        w->EdDiskImagePath->setText(ntfs_);
        w->tbFastScan->trigger();
        QVERIFY(w->ScanBusy());
        QTRY_VERIFY(gate->reached.load());
        QVERIFY(!w->tbFastScan->isEnabled() && w->tbStop->isEnabled());
        // The click is held off: the list stays empty and the sort choice waits for the results.
        w->lvFiles->horizontalHeader()->sectionClicked(2);
        QCOMPARE(w->Sort().FSortColumn, 2);
        QCOMPARE(w->ResultsModel()->rowCount(), 0);
        gate->open = true;
        QVERIFY(w->WaitForScan(120000));
        QVERIFY2(dialogs.Boxes().isEmpty(), qPrintable(dialogs.Boxes().join('|')));
        const TFoundFiles& found = w->ScanState().FFound;
        QVERIFY2(found.size() >= 5, qPrintable(w->memoLog->toPlainText()));
        QCOMPARE(w->ResultsModel()->rowCount(), static_cast<int>(found.size()));
        for (size_t i = 1; i < found.size(); ++i) QVERIFY(found[i - 1].SizeBytes <= found[i].SizeBytes);

        // Stop while held: the scan ends at once with whatever the reader kept.
        gate->open = false;
        gate->reached = false;
        w->tbFastScan->trigger();
        QTRY_VERIFY(gate->reached.load());
        w->tbStop->trigger();
        QCOMPARE(w->StatusText(), std::string("Stop requested..."));
        QVERIFY(w->WaitForScan(120000));
        QVERIFY(w->memoLog->toPlainText().contains("Stop requested."));
        QVERIFY(w->tbFastScan->isEnabled() && !w->tbStop->isEnabled());
    }

    void closingDuringAScanEndsTheWorkerFirst() {
        if (ntfs_.isEmpty()) QSKIP("ntfs.img fixture missing");
        apptest::TScriptedDialogs dialogs;
        auto gate = std::make_shared<TGate>();
        auto w = NewWindow(GatedNtfsRoutes(gate));
        const std::string toolsDir = w->Engine().FToolsDir;
        QVERIFY(QFileInfo(QString::fromStdString(toolsDir)).isDir());
        w->cbWhereToScan->setCurrentIndex(1);
        w->EdDiskImagePath->setText(ntfs_);
        w->tbFastScan->trigger();
        QTRY_VERIFY(gate->reached.load());
        w->close();
        w.reset();
        QCoreApplication::processEvents();  // nothing the worker queued may run now
        QVERIFY(!QFileInfo::exists(QString::fromStdString(toolsDir)));  // engine folder removed
    }

    // A disk whose table and whose NTFS volume's two boot sectors are zeroed: the window
    // lists the space that volume filled, and a deep scan of it lists the volume's files
    // with their folders. With BRIVO_SCREENSHOT_LOST=<file.png> set, saves the window.
    void deepScanOfSpaceNoVolumeCovers() {
        const QString intact = apptest::UnpackFixture("gpt-disk.img", work_);
        if (intact.isEmpty()) QSKIP("gpt-disk.img fixture missing");
        QFile f(intact);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QByteArray disk = f.readAll();
        const qint64 sectors = disk.size() / 512;
        for (const auto& [first, count] : std::vector<std::pair<qint64, qint64>>{
                 {0, 34}, {sectors - 33, 33}, {75776, 1}, {75776 + 32767, 1}})
            std::memset(disk.data() + first * 512, 0, static_cast<size_t>(count * 512));
        const QString lost = work_.filePath("lost-ntfs.img");
        QFile out(lost);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(disk) == disk.size());
        out.close();

        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        w->show();
        w->resize(1024, 590 + w->menuBar()->sizeHint().height());
        w->cbWhereToScan->setCurrentIndex(1);
        w->EdDiskImagePath->setText(lost);
        emit w->EdDiskImagePath->editingFinished();
        QTRY_VERIFY(w->cbVolume->isVisible());
        const int space = w->cbVolume->findData(3u);
        QVERIFY(space >= 0);
        QVERIFY(w->cbVolume->itemText(space).contains("unallocated space"));
        w->cbVolume->setCurrentIndex(space);
        w->cbDeepScan->setChecked(true);
        w->tbFastScan->trigger();
        QVERIFY(w->WaitForScan(120000));
        QVERIFY2(dialogs.Boxes().isEmpty(), qPrintable(dialogs.Boxes().join('|')));
        QStringList shown = ShownPaths(*w);
        shown.replaceInStrings("\\", "/");
        for (const ManifestRow& r : ReadManifest("gpt-disk.vol2"))
            QVERIFY2(shown.contains(r.path), qPrintable(r.path + " in " + shown.join(" | ")));
        if (const QString target = qEnvironmentVariable("BRIVO_SCREENSHOT_LOST"); !target.isEmpty()) {
            QTest::qWait(300);
            QVERIFY(w->grab().save(target));
        }
    }

    // Not a check: with BRIVO_SCREENSHOT=<file.png> set (run under xvfb-run), saves the
    // window after a scan of the NTFS fixture; BRIVO_SCREENSHOT_LANG=de shows it in German.
    void screenshotAfterNtfsScan() {
        const QString target = qEnvironmentVariable("BRIVO_SCREENSHOT");
        if (target.isEmpty() || ntfs_.isEmpty()) QSKIP("BRIVO_SCREENSHOT not set");
        apptest::TScriptedDialogs dialogs;
        ApplyVisualStyle(*qApp);
        if (const QString lang = qEnvironmentVariable("BRIVO_SCREENSHOT_LANG"); !lang.isEmpty()) {
            OpenAppSettings()->setValue(kKeyCurrentLanguage, lang);
            QVERIFY(LoadTranslation(BRIVO_TRANSL_DT).empty());
        }
        auto w = NewWindow();
        w->show();
        w->resize(1024, 590 + w->menuBar()->sizeHint().height());
        apptest::ScanImage(*w, ntfs_);
        w->lvFilesColumnClick(1);
        auto* m = w->ResultsModel();
        for (int r = 0; r < m->rowCount(); ++r)
            if (m->data(m->index(r, 1), Qt::DisplayRole).toString().contains("Documents"))
                m->SetChecked(r, true);
        w->lvFiles->selectRow(2);
        w->EdDiskImagePath->setCursorPosition(0);
        QTest::qWait(300);
        QVERIFY(w->grab().save(target));
    }

    // For the record of how the window looks: the tree with a deleted folder in red, and the
    // summary of a batch that kept files with unreadable parts. BRIVO_SHOTS_DIR names the
    // folder the pictures go to (run under a real display server, e.g. xvfb-run).
    void screenshotsOfDeletedFolderAndDamagedSummary() {
        const QString dir = qEnvironmentVariable("BRIVO_SHOTS_DIR");
        if (dir.isEmpty() || fat16_.isEmpty()) QSKIP("BRIVO_SHOTS_DIR not set");
        // Shows the real question box long enough to photograph it, then answers No.
        struct TShotDialogs : apptest::TScriptedDialogs {
            QString file;
            bool Question(QWidget* parent, const QString& text) override {
                events << "question: " + text;
                QMessageBox box(QMessageBox::Question, QString::fromUtf8(kAppTitle), text,
                                QMessageBox::Yes | QMessageBox::No, parent);
                box.show();
                QTest::qWait(300);
                box.grab().save(file);
                return false;
            }
        } dialogs;
        dialogs.file = dir + "/recovery-summary-damaged.png";
        ApplyVisualStyle(*qApp);
        auto w = NewWindow();
        w->show();
        w->resize(1024, 590 + w->menuBar()->sizeHint().height());
        apptest::ScanImage(*w, fat16_);
        QVERIFY(w->WaitForFolderTree(30000));
        w->tvFolders->expandAll();
        QTest::qWait(300);
        QVERIFY(w->grab().save(dir + "/folder-tree-deleted-red.png"));
        w->ScanState().FMakeExtractor = [] { return std::make_unique<TBadSectorExtractor>(); };
        w->btCheckAll->trigger();
        dialogs.keepDamagedAnswer = true;
        dialogs.folders.push_back(work_.filePath("out/shots"));
        w->tbRecoverSel->trigger();
        QVERIFY(w->WaitForScan(60000));
        QVERIFY(QFile::exists(dialogs.file));
        QTest::qWait(300);
        QVERIFY(w->grab().save(dir + "/condition-after-damaged-recovery.png"));
    }
};

QTEST_MAIN(ScanRecoverTest)
#include "ScanRecoverTest.moc"
