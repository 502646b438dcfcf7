#include <QAction>
#include <QBuffer>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "AppTestSupport.h"
#include "core/ResilientSource.h"
#include "app/LanguageSetting.h"
#include "app/MainForm.h"
#include "app/ResultsTableModel.h"
#include "app/Translation.h"
#include "app/WindowPlatform.h"

using namespace brivo;

namespace {

TFoundFile Result(const std::string& inode, const std::string& path, int64_t size) {
    TFoundFile f;
    f.Inode = inode;
    f.FullPath = path;
    f.SizeBytes = size;
    return f;
}

// Hands out contents[f.Inode] in two chunks.
class TMapExtractor : public TExtractor {
public:
    explicit TMapExtractor(std::map<std::string, std::string> contents) : contents_(std::move(contents)) {}
    void Extract(const TFoundFile& f, TByteSink& sink) override {
        const std::string& s = contents_.at(f.Inode);
        // A file whose name says so lost bytes 2 and 3 to a bad sector.
        if (f.FullPath.find("damaged") != std::string::npos)
            TUnreadableWatch::Note(reinterpret_cast<const uint8_t*>(s.data()) + 2, 2, 8192,
                                   "Cannot read disk at byte 8192: Input/output error");
        const size_t half = s.size() / 2;
        sink.Write(std::span(reinterpret_cast<const uint8_t*>(s.data()), half));
        sink.Write(std::span(reinterpret_cast<const uint8_t*>(s.data()) + half, s.size() - half));
    }

private:
    std::map<std::string, std::string> contents_;
};

std::string PngBytes(int w, int h, bool noise = false) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(Qt::darkCyan);
    // Noise does not compress: a large file from a small picture.
    if (noise)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) img.setPixel(x, y, QRandomGenerator::global()->generate() | 0xFF000000u);
    QByteArray bytes;
    QBuffer buf(&bytes);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "PNG");
    return bytes.toStdString();
}

// What the fake NTFS route does on its next run.
struct TRouteScript {
    std::atomic<int> mode{0};  // 0 results, 1 throw, 2 wait for Stop
    std::atomic<bool> waiting{false};
    std::atomic<bool> lastCleanup{true};
    std::atomic<int> runs{0};
};

TScanRoutes ScriptedRoutes(const std::shared_ptr<TRouteScript>& script) {
    TScanRoutes routes = TScanRoutes::Default();
    routes.Direct[TScanRoute::Ntfs] = [script](TByteSource&, TReaderReport& report, const TReaderOptions& options) {
        ++script->runs;
        script->lastCleanup = options.Cleanup;
        TReaderResult r;
        if (script->mode == 1) throw std::runtime_error("The volume cannot be read: sector 63 is unreadable.");
        if (script->mode == 2) {
            script->waiting = true;
            while (!report.StopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            r.Found = {Result("1", "/a.txt", 1), Result("2", "/b.txt", 2)};
            return r;
        }
        r.Found = {Result("1", "/a.txt", 1), Result("2", "/b.txt", 2), Result("3", "/c.txt", 3)};
        if (options.Cleanup) {
            r.HiddenByMasks = 4;
            r.HiddenByCleanup = 1;
        } else {
            r.Found.push_back(Result("4", "/README", 0));
        }
        return r;
    };
    return routes;
}

} // namespace

class StatusPreviewTest : public QObject {
    Q_OBJECT
    QTemporaryDir settingsDir_;
    QTemporaryDir work_;
    QString ntfs_;

    std::unique_ptr<TFrmMain> NewWindow(std::optional<TScanRoutes> routes = {}) {
        TFrmMainOptions o;
        o.UnpackEngine = routes.has_value();
        o.ListDrives = [] { return std::vector<std::string>{"sda", "sdb"}; };
        o.SystemDrive = [] { return std::string(); };
        o.DebugLogPath = work_.filePath("debug.log").toStdString();
        o.Routes = std::move(routes);
        return std::make_unique<TFrmMain>(o);
    }

private slots:
    void initTestCase() {
        apptest::IsolateSettings(settingsDir_);
        Translation().Clear();
        ntfs_ = apptest::UnpackFixture("ntfs.img", work_);
    }

    void statusTellsSuccessHiddenFailureAndStop() {
        if (ntfs_.isEmpty()) QSKIP("ntfs.img fixture missing");
        apptest::TScriptedDialogs dialogs;
        auto script = std::make_shared<TRouteScript>();
        auto w = NewWindow(ScriptedRoutes(script));
        w->show();
        w->cbWhereToScan->setCurrentIndex(1);
        w->EdDiskImagePath->setText(ntfs_);
        w->ShowPreview1->trigger();
        // Success: the count, "N shown of M" and what the masks and cleanup left out.
        QTest::keyClick(w->EdDiskImagePath, Qt::Key_Return);  // Enter scans
        QVERIFY(w->WaitForScan(60000));
        // The pane no longer waits for the scan.
        QCOMPARE(w->PreviewInfo->text(), QString("Select a file to preview it."));
        QCOMPARE(w->StatusText(), std::string("Scan finished. Found entries: 3"));
        QCOMPARE(w->CountLabel->text(), QString("3 shown of 3"));
        QVERIFY(w->HiddenLabel->isVisible());
        QVERIFY(w->HiddenLabel->text().startsWith("Hidden: 4 by the masks, 1 by the cleanup filter."));
        // One click scans again showing everything.
        emit w->HiddenLabel->linkActivated("show-hidden");
        QVERIFY(w->WaitForScan(60000));
        QCOMPARE(script->runs.load(), 2);
        QVERIFY(!script->lastCleanup);
        QCOMPARE(w->StatusText(), std::string("Scan finished. Found entries: 4"));
        // Nothing is hidden now; a fast scan of a whole image still leaves its free space
        // to a deep scan, which one click starts.
        QVERIFY(w->HiddenLabel->isVisible());
        QVERIFY(!w->HiddenLabel->text().contains("Hidden:"));
        QVERIFY(w->HiddenLabel->text().startsWith("A deep scan also searches the free space for files by their content."));
        QVERIFY(w->HiddenLabel->text().contains("href=\"deep-scan\""));
        // Failure: the error's own words, not a step that was running.
        script->mode = 1;
        w->StartScan1->trigger();
        QVERIFY(w->WaitForScan(60000));
        QCOMPARE(w->StatusText(), std::string("The volume cannot be read: sector 63 is unreadable."));
        QVERIFY(dialogs.Boxes().last().startsWith("error: The volume cannot be read"));
        QVERIFY(!w->CountLabel->isVisible() && !w->tbRecoverSel->isEnabled());
        // Stop: the elapsed time shows while it runs; then "Scan stopped".
        script->mode = 2;
        script->waiting = false;
        w->tbFastScan->trigger();
        QTRY_VERIFY(script->waiting.load());
        QVERIFY(!w->btCheckAll->isEnabled() && w->tbStop->isEnabled());
        QVERIFY(w->StatusLabel->text().contains("(0:") || w->StatusLabel->text().contains("elapsed"));
        QTest::keyClick(w.get(), Qt::Key_Escape);  // Esc stops
        QVERIFY(w->WaitForScan(60000));
        QCOMPARE(w->StatusText(), std::string("Scan stopped. Found entries: 2"));
        QCOMPARE(w->ResultsModel()->rowCount(), 2);
        QVERIFY(!w->StatusLabel->text().contains("(0:"));
    }

    void previewShowsImageTextAndBinary() {
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        w->show();
        w->resize(1100, 600);
        const std::string png = PngBytes(640, 320);
        const std::string big = PngBytes(1000, 600, true);
        QVERIFY(big.size() > 1536 * 1024);
        std::map<std::string, std::string> contents{
            {"1", png},
            {"2", "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln\n"},
            {"3", std::string("\x7F" "ELF\x02\x01\x01\0\0\0\0\0\0\0\0\0\x03\0", 18)},
            {"4", std::string("\xFF\xFEH\0i\0", 6)},
            {"5", big},
            {"6", std::string("\x7F" "E\0\0\x02\x01\x01\0", 8)}};
        w->ScanState().FFound = {Result("1", "/pics/photo.png", static_cast<int64_t>(png.size())),
                                 Result("2", "/docs/note.txt", 20), Result("3", "/bin/tool", 18),
                                 Result("4", "/docs/wide.txt", 6),
                                 Result("5", "/pics/large.png", static_cast<int64_t>(big.size())),
                                 Result("6", "/bin/damaged", 8)};
        w->ScanState().FMakeExtractor = [contents] { return std::make_unique<TMapExtractor>(contents); };
        w->PopulateResults();
        w->ShowPreview1->trigger();  // View > Preview
        QVERIFY(w->PreviewPane->isVisible());
        QCOMPARE(w->PreviewMode(), QString());  // nothing selected yet
        const struct {
            int row;
            const char* mode;
            QString text;
        } cases[] = {
            {0, "image", {}},
            {1, "text", QString::fromUtf8("Grüße aus Köln\n")},
            {2, "hex", "00000000  7f 45 4c 46 02 01 01 00  00 00 00 00 00 00 00 00  |.ELF............|\n"
                       "00000010  03 00                                             |..|\n"},
            {3, "text", "Hi"},
            {4, "image", {}},  // a picture over the text cap is read whole
            {5, "hex", {}},
        };
        for (const auto& c : cases) {
            w->lvFiles->setCurrentIndex(w->ResultsModel()->index(c.row, 1));
            QTRY_COMPARE(w->PreviewMode(), QString(c.mode));
            if (!c.text.isNull()) QCOMPARE(w->PreviewTextView->toPlainText(), c.text);
            QVERIFY2(!w->PreviewInfo->text().contains("Showing the first"), qPrintable(w->PreviewInfo->text()));
            QCOMPARE(w->PreviewInfo->text().contains("could not be read"), c.row == 5);
        }
        // The zeros of a bad sector are named, not shown as if they were the file's.
        QVERIFY2(w->PreviewInfo->text().endsWith(
                     "Bytes 2-3 could not be read from the disk; zeros are shown in their place."),
                 qPrintable(w->PreviewInfo->text()));
        // The picture is scaled into the pane, its proportions kept.
        w->lvFiles->setCurrentIndex(w->ResultsModel()->index(0, 0));
        QTRY_COMPARE(w->PreviewMode(), QString("image"));
        const QPixmap shown = w->PreviewImage->pixmap();
        QVERIFY(!shown.isNull());
        QVERIFY(shown.width() <= w->PreviewImage->width() && shown.height() <= w->PreviewImage->height());
        QVERIFY(qAbs(shown.width() - 2 * shown.height()) <= 2);
        // A route without an extractor says so.
        w->ScanState().FMakeExtractor = {};
        w->lvFiles->setCurrentIndex(w->ResultsModel()->index(1, 0));
        QCOMPARE(w->PreviewMode(), QString("none"));
        QVERIFY(w->PreviewInfo->text().endsWith("Preview is not available for this result."));
        // Hidden again: no reads.
        w->ShowPreview1->trigger();
        QVERIFY(!w->PreviewPane->isVisible());
    }

    void volumesOfAPartitionedImageAreOffered() {
        apptest::TScriptedDialogs dialogs;
        QVERIFY(LoadTranslation(BRIVO_TRANSL_DT).empty());  // English until the menu says otherwise
        TFrmMainOptions o;
        o.UnpackEngine = false;
        o.ListDrives = [] { return std::vector<std::string>{"sda", "sdb"}; };
        o.DescribeDrive = [](const std::string& n) { return n + "  8.0 GiB  Test Disk"; };
        o.SystemDrive = [] { return std::string("sda"); };
        o.DebugLogPath = work_.filePath("debug.log").toStdString();
        QStringList opened;
        o.ListVolumes = [&opened](const std::string& src) {
            opened << QString::fromStdString(src);
            if (src.find("plain") != std::string::npos) return TSourceVolumes{};
            if (src.find("missing") != std::string::npos) throw std::runtime_error("No such file");
            if (src.find("blank") != std::string::npos) {
                TSourceVolumes blank;
                blank.Volumes = {TVolume{}};
                return blank;
            }
            TSourceVolumes v;
            v.Scheme = TPartitionScheme::Gpt;
            TVolume esp, data;
            esp.Index = 1;
            esp.SizeBytes = 1 << 20;
            data.Index = 2;
            data.SizeBytes = 8 << 20;
            data.Fs.Kind = TFsKind::Ntfs;
            data.Fs.Name = "NTFS";
            v.Volumes = {esp, data};
            return v;
        };
        std::atomic<bool> searchedOffUiThread{false};
        const auto uiThread = std::this_thread::get_id();
        o.SearchLostVolumes = [&](const std::string&, const TSearchProgress& progress) {
            searchedOffUiThread = std::this_thread::get_id() != uiThread;
            progress(1, 2);
            TSourceVolumes v;
            TVolume found;
            found.StartSector = 2048;
            found.SectorCount = 2048;
            found.SizeBytes = 1 << 20;
            found.Fs.Name = "FAT16";
            found.FoundBySearch = true;
            found.Evidence = "boot sector";
            v.Volumes = {found};
            return v;
        };
        TFrmMain w(o);
        w.show();
        // Drives show their description; the choice is the device.
        QCOMPARE(w.cbDisk->itemText(1), QString("sdb  8.0 GiB  Test Disk"));
        w.cbDisk->setCurrentIndex(1);
        QCOMPARE(w.ReadChoice().DiskText, std::string("sdb"));
        QCOMPARE(opened.last(), QString("/dev/sdb"));
        QVERIFY(w.cbVolume->isVisible());
        // An image with a partition table: its volumes, the first that can be scanned chosen.
        w.cbWhereToScan->setCurrentIndex(1);
        w.EdDiskImagePath->setText("/images/gpt.E01");
        emit w.EdDiskImagePath->editingFinished();
        QCOMPARE(opened.last(), QString("/images/gpt.E01"));
        QCOMPARE(w.cbVolume->count(), 2);
        QCOMPARE(w.cbVolume->currentData().toUInt(), 2u);
        QCOMPARE(w.ReadChoice().Volume, 2u);
        w.cbVolume->setCurrentIndex(0);
        QCOMPARE(w.ReadChoice().Volume, 1u);
        // No table, or a source that cannot be opened: no list, the scan chooses.
        for (const char* path : {"/images/plain.img", "/images/missing.img"}) {
            w.EdDiskImagePath->setText(path);
            emit w.EdDiskImagePath->editingFinished();
            QVERIFY(!w.cbVolume->isVisible());
            QVERIFY(!w.btnSearchVolumes->isVisible());
            QCOMPARE(w.ReadChoice().Volume, 0u);
        }
        // Nothing recognised on it: the search for lost volumes is offered, runs off the
        // UI thread and offers what it found.
        w.EdDiskImagePath->setText("/images/blank.img");
        emit w.EdDiskImagePath->editingFinished();
        QVERIFY(w.btnSearchVolumes->isVisible());
        QVERIFY(!w.cbVolume->isVisible());
        w.btnSearchVolumes->click();
        QTRY_VERIFY(w.cbVolume->isVisible());
        QVERIFY(searchedOffUiThread);
        QCOMPARE(w.cbVolume->count(), 1);
        QCOMPARE(w.cbVolume->itemText(0), QString("1  FAT16  1.0 MiB  found by search (boot sector)  (sectors 2048-4095)"));
        QCOMPARE(w.ReadChoice().Volume, 1u);
        QVERIFY(!w.btnSearchVolumes->isVisible());
        QCOMPARE(w.StatusLabel->text(), QString("Lost volumes found: 1"));
        // The list is said again in another language.
        w.mmLanguage->actions()[1]->trigger();
        QCOMPARE(w.cbVolume->itemText(0),
                 QString("1  FAT16  1.0 MiB  durch Suche gefunden (Bootsektor)  (Sektoren 2048-4095)"));
        QCOMPARE(w.ReadChoice().Volume, 1u);
        w.mmLanguage->actions()[0]->trigger();
        // A folder has no volume choice.
        w.cbWhereToScan->setCurrentIndex(2);
        QCOMPARE(w.ReadChoice().Volume, 0u);
        Translation().Clear();
    }

    void driveListDescribesDevicesFromSys() {
        QTemporaryDir sys, labels;
        auto write = [&](const QString& rel, const QByteArray& text) {
            QDir().mkpath(QFileInfo(sys.filePath(rel)).path());
            QFile f(sys.filePath(rel));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(text);
        };
        write("sda/size", "16777216\n");  // 8 GiB in 512-byte units
        write("sda/device/model", "Test Disk       \n");
        write("sda1/size", "2048\n");
        write("sda1/partition", "1\n");
        write("loop0/size", "0\n");  // an unused loop device
        write("loop1/size", "4096\n");
        write("loop1/loop/backing_file", "/images/disk.img\n");
        // MBR extended partitions: a 1 KiB stub, and one of 4 KiB (4096-byte sectors) that
        // only udev's record names.
        write("sda2/size", "2\n");
        write("sda2/partition", "2\n");
        write("sdb/size", "16777216\n");
        write("sdb2/size", "8\n");
        write("sdb2/partition", "2\n");
        write("sdb2/dev", "8:18\n");
        write("sdb5/size", "8\n");
        write("sdb5/partition", "5\n");
        write("sdb5/dev", "8:21\n");
        write("udev/b8:18", "S:disk/by-id/x\nE:ID_PART_ENTRY_TYPE=0xf\n");
        write("udev/b8:21", "E:ID_PART_ENTRY_TYPE=0xb\n");
        QVERIFY(QFile::link("../../sda1", labels.filePath("MY\\x20STICK")));
        const std::string root = sys.path().toStdString();
        QCOMPARE(ListBlockDevicesForWindow(root, sys.filePath("udev").toStdString()),
                 (std::vector<std::string>{"loop1", "sda", "sda1", "sdb", "sdb5"}));
        QCOMPARE(DescribeBlockDevice("sda", root, labels.path().toStdString(), false), std::string("sda  8.0 GiB  Test Disk"));
        QCOMPARE(DescribeBlockDevice("sda1", root, labels.path().toStdString(), false), std::string("sda1  1.0 MiB  MY STICK"));
        QCOMPARE(DescribeBlockDevice("loop1", root, labels.path().toStdString(), false),
                 std::string("loop1  2.0 MiB  /images/disk.img"));
    }

    // What the disk service tells is shown without opening the device: the drive's model,
    // serial and removability, the file system by the name the program uses elsewhere,
    // its label and where it is mounted.
    void drivesDescribedByTheDiskService() {
        TServiceDevice card;
        card.Name = "sdb";
        card.Size = 16ull << 30;
        card.Model = "Ultra";
        card.Serial = "4C5300";
        card.Removable = true;
        TServiceDevice part;
        part.Name = "sdb1";
        part.Size = 4ull << 30;
        part.Partition = true;
        part.Model = "Ultra";  // a partition does not repeat its drive
        part.FsType = "vfat";
        part.FsVersion = "FAT32";
        part.Label = "STICK";
        part.MountPoints = {"/media/u/STICK", "/mnt"};
        TServiceDevice loop;
        loop.Name = "loop3";
        loop.Size = 1 << 20;
        loop.BackingFile = "/images/card.img";
        loop.FsType = "exfat";  // a file system on the whole device
        TServiceDevice ntfs;
        ntfs.Name = "sda2";
        ntfs.Size = 1 << 30;
        ntfs.Partition = true;
        ntfs.FsType = "ntfs";
        const std::pair<TServiceDevice, std::string> cases[] = {
            {card, "sdb  16.0 GiB  Ultra  4C5300  removable"},
            {part, "sdb1  4.0 GiB  FAT32  STICK  mounted at /media/u/STICK"},
            {loop, "loop3  1.0 MiB  /images/card.img  exFAT"},
            {ntfs, "sda2  1.0 GiB  NTFS"},
        };
        for (const auto& [device, text] : cases) QCOMPARE(DescribeServiceDevice(device), text);
    }
};

QTEST_MAIN(StatusPreviewTest)
#include "StatusPreviewTest.moc"
