#include <QAction>
#include <QBuffer>
#include <QElapsedTimer>
#include <QCheckBox>
#include <QImage>
#include <QImageReader>
#include <QRegularExpression>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QStackedWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

#include "AppTestSupport.h"
#include "app/MainForm.h"
#include "app/ResultsTableModel.h"
#include "app/ThumbnailModel.h"
#include "app/ThumbnailView.h"
#include "app/Translation.h"

using namespace brivo;

namespace {

std::string Encoded(int w, int h, const char* format, QColor color = Qt::darkCyan) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(color);
    QPainter p(&img);
    p.fillRect(0, 0, w / 2, h / 2, Qt::yellow);
    p.end();
    QByteArray bytes;
    QBuffer buf(&bytes);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, format);
    return bytes.toStdString();
}

TFoundFile Result(const std::string& inode, const std::string& path, const std::string& condition = "") {
    TFoundFile f;
    f.Inode = inode;
    f.FullPath = path;
    f.SizeBytes = 1000;
    f.DamageText = condition;
    return f;
}

// Hands out contents[f.Inode] in 4 KiB chunks and notes the threads it ran on; a result
// named "endless" never ends (until the reader stops taking bytes).
struct TReads {
    std::mutex mutex;
    std::set<std::thread::id> threads;
    std::atomic<int> count{0};
    std::atomic<bool> endlessStarted{false};
};

class TMapExtractor : public TExtractor {
public:
    TMapExtractor(std::map<std::string, std::string> contents, std::shared_ptr<TReads> reads)
        : contents_(std::move(contents)), reads_(std::move(reads)) {}
    void Extract(const TFoundFile& f, TByteSink& sink) override {
        {
            std::lock_guard<std::mutex> lock(reads_->mutex);
            reads_->threads.insert(std::this_thread::get_id());
        }
        ++reads_->count;
        const std::string& s = contents_.at(f.Inode);
        if (f.FullPath.find("endless") != std::string::npos) {
            reads_->endlessStarted = true;
            std::vector<uint8_t> chunk(64 * 1024, 0x55);
            sink.Write(std::span(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
            for (;;) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                sink.Write(chunk);
            }
        }
        for (size_t at = 0; at < s.size(); at += 4096)
            sink.Write(std::span(reinterpret_cast<const uint8_t*>(s.data()) + at, std::min<size_t>(4096, s.size() - at)));
    }

private:
    std::map<std::string, std::string> contents_;
    std::shared_ptr<TReads> reads_;
};

QStringList Column(const QAbstractItemModel* m, int role) {
    QStringList out;
    for (int r = 0; r < m->rowCount(); ++r) out << m->index(r, 0).data(role).toString();
    return out;
}

} // namespace

class ThumbnailGridTest : public QObject {
    Q_OBJECT
    QTemporaryDir settingsDir_;
    QTemporaryDir work_;
    std::shared_ptr<TReads> reads_;

    std::unique_ptr<TFrmMain> NewWindow() {
        TFrmMainOptions o;
        o.UnpackEngine = false;
        o.ListDrives = [] { return std::vector<std::string>{"sda"}; };
        o.SystemDrive = [] { return std::string(); };
        o.DebugLogPath = work_.filePath("debug.log").toStdString();
        auto w = std::make_unique<TFrmMain>(o);
        w->resize(1100, 700);
        w->show();
        return w;
    }

    // Pictures, pictures that do not decode and other files, with their conditions.
    // With endless, one more picture whose read never ends.
    void Fill(TFrmMain& w, bool endless = false) {
        const std::string jpeg = Encoded(800, 600, "JPEG");
        std::map<std::string, std::string> contents{
            {"1", jpeg},
            {"2", "Dear diary"},
            {"3", Encoded(300, 500, "PNG", Qt::darkRed)},
            {"4", std::string("\xFF\xD8\xFF\xE0", 4) + std::string(3000, '\x11')},  // a JPEG start, then noise
            {"5", Encoded(64, 64, "BMP")},
            {"6", "not a picture at all"},
            {"7", std::string("GIF89a\x01\0\x01\0\x80\0\0\xff\xff\xff\0\0\0!\xf9\x04\x01\0\0\0\0"
                              ",\0\0\0\0\x01\0\x01\0\0\x02\x02" "D\x01\0;", 43)},  // Qt writes no GIF
            {"8", jpeg.substr(0, jpeg.size() * 2 / 3)},
            {"9", jpeg}};
        reads_ = std::make_shared<TReads>();
        w.ScanState().FFound = {Result("1", "/DCIM/holiday.jpg", "Complete"),
                                Result("2", "/docs/diary.txt", "Complete"),
                                Result("3", "/pics/sunset.PNG", "Damaged at 40%"),
                                Result("4", "/pics/broken.jpg", "Cut short"),
                                Result("5", "/pics/icon.bmp"),
                                Result("6", "/pics/liar.jpeg", "Complete"),
                                Result("7", "/pics/anim.gif", "Complete"),
                                Result("8", "/DCIM/cut.jpg", "Cut short")};
        if (endless) w.ScanState().FFound.push_back(Result("9", "/DCIM/endless.jpg", "Complete"));
        TFoundFile dir = Result("10", "/folder.jpg");
        dir.IsDir = true;
        w.ScanState().FFound.push_back(dir);
        auto reads = reads_;
        w.ScanState().FMakeExtractor = [contents, reads] { return std::make_unique<TMapExtractor>(contents, reads); };
        w.PopulateResults();
    }

    static QRect TileRect(TFrmMain& w, int tile) { return w.lvThumbs->visualRect(w.ThumbnailModel()->index(tile)); }

private slots:
    void initTestCase() {
        apptest::IsolateSettings(settingsDir_);
        Translation().Clear();
    }

    void pictureNamesAreToldByTheirEnding() {
        const struct {
            const char* path;
            bool picture;
        } cases[] = {
            {"/DCIM/IMG_0001.JPG", true}, {"C:\\pics\\a.Jpeg", true}, {"f123.png ", true}, {"/x/anim.gif", true},
            {"/x/icon.bmp", true},        {"/x/a.jpg.txt", false},       {"/x.jpg/readme", false}, {"C:x.jpg:txt", false},
            {"/x/jpg", false},            {"/x/.", false},               {"", false},              {"/x/a.jpgjpg", false},
        };
        for (const auto& c : cases) QVERIFY2(TThumbnailModel::IsPictureName(c.path) == c.picture, c.path);
    }

    void gridShowsThePicturesOfTheListInItsOrderWithConditions() {
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        Fill(*w);
        QCOMPARE(w->ThumbnailModel()->rowCount(), 0);  // a hidden grid lists nothing
        w->ShowThumbnails1->trigger();  // View > Thumbnails
        QCOMPARE(w->ResultsStack->currentWidget(), static_cast<QWidget*>(w->lvThumbs));
        QVERIFY(w->lvThumbs->isVisible() && !w->lvFiles->isVisible());
        const TThumbnailModel* m = w->ThumbnailModel();
        QCOMPARE(Column(m, Qt::DisplayRole), QStringList({"holiday.jpg", "sunset.PNG", "broken.jpg", "icon.bmp",
                                                          "liar.jpeg", "anim.gif", "cut.jpg"}));
        QCOMPARE(Column(m, TThumbnailModel::ConditionRole),
                 QStringList({"Complete", "Damaged at 40%", "Cut short", "Unknown", "Complete", "Complete",
                              "Cut short"}));
        // Each tile is its row of the list.
        for (int t = 0; t < m->rowCount(); ++t)
            QCOMPARE(w->ResultsModel()->index(m->TableRow(t), 0).data().toString(), m->index(t).data().toString());
        // The list's filter and sort hold for the grid.
        w->edResultFilter->setText("DCIM");
        w->ApplyResultFilter();
        QCOMPARE(Column(m, Qt::DisplayRole), QStringList({"holiday.jpg", "cut.jpg"}));
        w->lvFilesColumnClick(0);  // by name
        QCOMPARE(Column(m, Qt::DisplayRole), QStringList({"cut.jpg", "holiday.jpg"}));
        w->edResultFilter->setText("nothing like it");
        w->ApplyResultFilter();
        QCOMPARE(m->rowCount(), 0);
        // Back to the list.
        w->ShowThumbnails1->trigger();
        QCOMPARE(w->ResultsStack->currentWidget(), static_cast<QWidget*>(w->lvFiles));
        QVERIFY(w->lvFiles->isVisible());
    }

    void tileCheckBoxIsTheRowsMark() {
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        Fill(*w);
        w->ShowThumbnails1->trigger();
        TThumbnailModel* m = w->ThumbnailModel();
        // A click on the tile's box marks its row, a second one clears it.
        const QRect box = w->lvThumbs->Delegate()->CheckRect(TileRect(*w, 1));
        QTest::mouseClick(w->lvThumbs->viewport(), Qt::LeftButton, {}, box.center());
        QVERIFY(w->ResultsModel()->IsChecked(2));  // sunset.PNG is the list's third row
        QCOMPARE(w->CountChecked(), 1);
        QCOMPARE(m->index(1).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
        QTest::mouseClick(w->lvThumbs->viewport(), Qt::LeftButton, {}, box.center());
        QVERIFY(!w->ResultsModel()->IsChecked(2));
        // Marks set in the list (or by Check All) show on the tiles.
        w->ResultsModel()->SetChecked(3, true);
        QCOMPARE(m->index(2).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
        w->btCheckAll->trigger();
        for (int t = 0; t < m->rowCount(); ++t) QCOMPARE(m->index(t).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
        w->btUncheckAll->trigger();
        // Space flips the marks of the chosen tiles, as in the list.
        w->lvThumbs->selectionModel()->select(m->index(0), QItemSelectionModel::ClearAndSelect);
        w->lvThumbs->selectionModel()->select(m->index(5), QItemSelectionModel::Select);
        QTest::keyClick(w->lvThumbs, Qt::Key_Space);
        QVERIFY(w->ResultsModel()->IsChecked(0) && w->ResultsModel()->IsChecked(6));
        QCOMPARE(w->CountChecked(), 2);
    }

    void choosingATileSelectsTheRowAndThePreviewFollows() {
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        Fill(*w);
        w->ShowPreview1->trigger();
        w->ShowThumbnails1->trigger();
        TThumbnailModel* m = w->ThumbnailModel();
        QTest::mouseClick(w->lvThumbs->viewport(), Qt::LeftButton, {}, TileRect(*w, 3).center());
        QCOMPARE(w->lvFiles->currentIndex().row(), 4);  // icon.bmp
        QCOMPARE(w->lvFiles->selectionModel()->selectedRows().size(), 1);
        QCOMPARE(w->lvFiles->selectionModel()->selectedRows().first().row(), 4);
        QTRY_COMPARE(w->PreviewMode(), QString("image"));
        QVERIFY(w->PreviewInfo->text().startsWith("icon.bmp"));
        // Ctrl adds a tile; the list's commands act on the chosen tiles.
        QTest::mouseClick(w->lvThumbs->viewport(), Qt::LeftButton, Qt::ControlModifier, TileRect(*w, 0).center());
        QCOMPARE(w->lvFiles->selectionModel()->selectedRows().size(), 2);
        w->CheckSelected1Click();
        QVERIFY(w->ResultsModel()->IsChecked(0) && w->ResultsModel()->IsChecked(4));
        QCOMPARE(w->CountChecked(), 2);
        // Back in the list the chosen rows stay chosen; into the grid again, the tiles.
        w->ShowThumbnails1->trigger();
        QCOMPARE(w->lvFiles->currentIndex().row(), 0);
        w->lvFiles->selectionModel()->setCurrentIndex(w->ResultsModel()->index(6, 0),
                                                      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        w->ShowThumbnails1->trigger();
        QCOMPARE(m->TableRow(w->lvThumbs->currentIndex().row()), 6);
        QCOMPARE(w->lvThumbs->selectionModel()->selectedIndexes().size(), 1);
    }

    void thumbnailsAreMadeOffTheUiThreadAndBrokenOnesGetThePlaceholder() {
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        Fill(*w);
        w->ShowThumbnails1->trigger();
        TThumbnailModel* m = w->ThumbnailModel();
        const struct {
            int tile;
            const char* state;
        } cases[] = {{0, "picture"}, {1, "picture"}, {2, "none"}, {3, "picture"},
                     {4, "none"},    {5, "picture"}, {6, "picture"}};  // a JPEG cut short shows its top
        for (const auto& c : cases) {
            m->index(c.tile).data(Qt::DecorationRole);  // as a view painting it asks
            QTRY_COMPARE_WITH_TIMEOUT(m->index(c.tile).data(TThumbnailModel::ThumbnailStateRole).toString(),
                                      QString(c.state), 20000);
            const QImage image = m->index(c.tile).data(Qt::DecorationRole).value<QImage>();
            QCOMPARE(image.isNull(), QString(c.state) == "none");
            if (!image.isNull())
                QVERIFY(image.width() <= m->ThumbnailSide() && image.height() <= m->ThumbnailSide());
        }
        // Proportions kept: 800 x 600 fits the square as 4:3.
        const QImage first = m->index(0).data(Qt::DecorationRole).value<QImage>();
        QCOMPARE(first.width(), m->ThumbnailSide());
        QVERIFY(qAbs(first.height() - m->ThumbnailSide() * 3 / 4) <= 1);
        {
            std::lock_guard<std::mutex> lock(reads_->mutex);
            QVERIFY(!reads_->threads.empty());
            QVERIFY(!reads_->threads.count(std::this_thread::get_id()));
        }
        // Made once: painting the grid again reads nothing.
        const int reads = reads_->count;
        w->lvThumbs->viewport()->repaint();
        QTest::qWait(100);
        QCOMPARE(reads_->count.load(), reads);
        QVERIFY(!w->lvThumbs->grab().isNull());
    }

    void closingTheWindowEndsAReadInProgress() {
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        Fill(*w, true);
        w->ShowThumbnails1->trigger();
        TThumbnailModel* m = w->ThumbnailModel();
        m->index(7).data(Qt::DecorationRole);
        QTRY_VERIFY(reads_->endlessStarted.load());
        QCOMPARE(m->index(7).data(TThumbnailModel::ThumbnailStateRole).toString(), QString("loading"));
        QElapsedTimer clock;
        clock.start();
        w->close();
        w.reset();
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
    }

    // A quick-formatted card: the deep scan finds its photos by their old folders and by
    // their content, and each tile shows its photo read through the scan's own extractor.
    void formattedCardShowsItsPhotos() {
        const QString image = apptest::UnpackFixture("fat32-formatted.img", work_);
        if (image.isEmpty()) QSKIP("fat32-formatted.img fixture missing");
        apptest::TScriptedDialogs dialogs;
        auto w = apptest::NewScanWindow(work_);
        w->resize(1100, 700);
        w->show();
        w->cbDeepScan->setChecked(true);
        apptest::ScanImage(*w, image);
        w->ShowThumbnails1->trigger();
        const QRegularExpression pictures(QImageReader::supportedImageFormats().contains("tiff")
                                              ? "\\.(jpe?g|png|gif|bmp|tiff?)$"
                                              : "\\.(jpe?g|png|gif|bmp)$",
                                          QRegularExpression::CaseInsensitiveOption);
        QStringList expected;
        for (const QString& name : Column(w->ResultsModel(), Qt::DisplayRole))
            if (pictures.match(name).hasMatch()) expected << name;
        QVERIFY(expected.size() >= 5);
        const TThumbnailModel* m = w->ThumbnailModel();
        QCOMPARE(Column(m, Qt::DisplayRole), expected);
        for (int t = 0; t < m->rowCount(); ++t) {
            m->index(t).data(Qt::DecorationRole);
            QTRY_COMPARE_WITH_TIMEOUT(m->index(t).data(TThumbnailModel::ThumbnailStateRole).toString(),
                                      QString("picture"), 20000);
        }
    }

    void nothingIsReadWhileTheWindowIsBusy() {
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        Fill(*w);
        w->ShowThumbnails1->trigger();
        TThumbnailModel* m = w->ThumbnailModel();
        w->SetBusyWidgets(true);  // as a recovery does
        for (int t = 0; t < m->rowCount(); ++t)
            QCOMPARE(m->index(t).data(TThumbnailModel::ThumbnailStateRole).toString(), QString("loading"));
        QTest::qWait(200);
        QCOMPARE(reads_->count.load(), 0);
        w->SetBusyWidgets(false);
        m->index(0).data(Qt::DecorationRole);
        QTRY_COMPARE(m->index(0).data(TThumbnailModel::ThumbnailStateRole).toString(), QString("picture"));
        // A new scan's results are other files: what was made of the old ones goes.
        w->ClearResults();
        Fill(*w);
        QCOMPARE(m->index(0).data(TThumbnailModel::ThumbnailStateRole).toString(), QString("loading"));
    }
};

QTEST_MAIN(ThumbnailGridTest)
#include "ThumbnailGridTest.moc"
