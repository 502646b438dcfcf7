#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QToolBar>
#include <QTreeView>
#include <QtTest>

#include "AppTestSupport.h"
#include "app/AppInfo.h"
#include "app/AppSettings.h"
#include "app/FolderTreeModel.h"
#include "app/LanguageSetting.h"
#include "app/MainForm.h"
#include "app/ResultsTableModel.h"
#include "app/Translation.h"
#include "results/ResultsModel.h"

using namespace brivo;

namespace {

TFoundFile Result(const std::string& inode, const std::string& path, int64_t size, int score = -1) {
    TFoundFile f;
    f.Inode = inode;
    f.FullPath = path;
    f.SizeBytes = size;
    f.DamageScore = score;
    return f;
}

QString Cell(TFrmMain& w, int row, int col) {
    return w.ResultsModel()->data(w.ResultsModel()->index(row, col), Qt::DisplayRole).toString();
}

QStringList Column(TFrmMain& w, int col) {
    QStringList out;
    for (int r = 0; r < w.ResultsModel()->rowCount(); ++r) out << Cell(w, r, col);
    return out;
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
    QTemporaryDir settingsDir_;
    QTemporaryDir work_;
    std::vector<std::string> drives_{"loop0", "sda", "sda1", "sda2", "sdb1"};

    std::unique_ptr<TFrmMain> NewWindow() {
        TFrmMainOptions o;
        o.UnpackEngine = false;
        o.ListDrives = [this] { return drives_; };
        o.SystemDrive = [] { return std::string("sda2"); };
        o.DebugLogPath = work_.filePath("debug.log").toStdString();
        return std::make_unique<TFrmMain>(o);
    }

private slots:
    void initTestCase() { apptest::IsolateSettings(settingsDir_); }
    void init() {
        apptest::ClearSettings();
        Translation().Clear();
        drives_ = {"loop0", "sda", "sda1", "sda2", "sdb1"};
    }

    void startsInItsInitialState() {
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        QCOMPARE(w->windowTitle(), QString("Brivo File Recovery 2.4"));
        QCOMPARE(w->StatusText(), std::string("Ready."));
        QCOMPARE(w->StatusLabel->text(), QString("Ready."));
        // Commands.
        QVERIFY(w->tbFastScan->isEnabled() && w->StartScan1->isEnabled());
        QVERIFY(!w->tbStop->isEnabled() && !w->StopScan1->isEnabled());
        QVERIFY(!w->tbRecoverSel->isEnabled() && !w->Recover1->isEnabled());
        QVERIFY(!w->btCheckAll->isEnabled() && !w->CheckAll1->isEnabled());  // nothing to mark yet
        QCOMPARE(w->StartScan1->shortcut(), QKeySequence(Qt::Key_F5));
        QCOMPARE(w->StopScan1->shortcut(), QKeySequence(Qt::Key_Escape));
        QCOMPARE(w->Recover1->shortcut(), QKeySequence("Ctrl+R"));
        QCOMPARE(w->tbFastScan->toolTip(), QString("Scan"));
        QCOMPARE(w->tbAbout->toolTip(), QString("About Program..."));
        QCOMPARE(w->ToolBar1->actions().size(), 6);  // five buttons and a separator
        QCOMPARE(w->ToolBar2->actions().size(), 2);
        // Choices: lists, cards and the radio items of the menus agree.
        QStringList where, what;
        for (int i = 0; i < w->cbWhereToScan->count(); ++i) where << w->cbWhereToScan->itemText(i);
        for (int i = 0; i < w->cbWhatToSearch->count(); ++i) what << w->cbWhatToSearch->itemText(i);
        QCOMPARE(where, QStringList({"Disk", "Disk Image", "Folder", "Recycle Bin"}));
        QCOMPARE(what, QStringList({"All/Custom Formats", "Documents", "Images", "Music", "Videos"}));
        QCOMPARE(w->cbWhereToScan->currentIndex(), 0);
        QCOMPARE(w->CardPanelWhereToScan->currentWidget(), w->CardDisk);
        QCOMPARE(w->CardPanelWhatToSearch->currentIndex(), 0);
        QVERIFY(w->Disk1->isChecked() && w->AllCustomFormats1->isChecked());
        QVERIFY(!w->DiskImage1->isChecked() && !w->Documents1->isChecked());
        QCOMPARE(w->EdAllCustomFormats->text(), QString("*.*"));
        QCOMPARE(w->EdMusic->text(), QString("*.mp3,*.wav,*.flac,*.aac,*.m4a,*.ogg,*.wma,*.alac"));
        QVERIFY(w->EdImages->text().startsWith("*.jpg,*.jpeg,*.png"));
        // Drive lists: every device, the first selected; the system volume for the Recycle Bin.
        QCOMPARE(w->cbDisk->count(), 5);
        QCOMPARE(w->cbDisk->currentText(), QString("loop0"));
        QCOMPARE(w->cbRecycleBinDisk->currentText(), QString("sda2"));
        QVERIFY(w->cbDisk->isEditable());
        // List, progress bar, memo.
        QCOMPARE(w->ResultsModel()->rowCount(), 0);
        QStringList captions;
        for (int c = 0; c < 5; ++c) captions << w->ResultsModel()->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
        QCOMPARE(captions, QStringList({"File", "Path", "Size", "Modified", "Condition"}));
        QVERIFY(w->lvFiles->showGrid());
        QCOMPARE(w->lvFiles->selectionBehavior(), QAbstractItemView::SelectRows);
        QCOMPARE(w->lvFiles->selectionMode(), QAbstractItemView::ExtendedSelection);
        QVERIFY(w->FProgress->isHidden());
        QVERIFY(w->memoLog->isHidden());
        QCOMPARE(w->Sort().FSortColumn, -1);
        QVERIFY(w->ScanState().FLastSrcForFls.empty());
        QVERIFY(dialogs.events.isEmpty());
    }

    void sourceAndFilterStayInStep() {
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        // List -> card and menu.
        w->cbWhereToScan->setCurrentIndex(3);
        QCOMPARE(w->CardPanelWhereToScan->currentWidget(), w->CardRecycleBin);
        QVERIFY(w->RecycleBin1->isChecked() && !w->Disk1->isChecked());
        w->cbWhatToSearch->setCurrentIndex(4);
        QCOMPARE(w->CardPanelWhatToSearch->currentIndex(), 4);
        QVERIFY(w->Videos1->isChecked() && !w->AllCustomFormats1->isChecked());
        // Menu -> list and card; Disk Image opens its dialog at once.
        dialogs.files.push_back("/images/disk one.E01");
        w->DiskImage1->trigger();
        QCOMPARE(w->cbWhereToScan->currentIndex(), 1);
        QCOMPARE(w->CardPanelWhereToScan->currentWidget(), w->CardDiskImage);
        QVERIFY(w->DiskImage1->isChecked() && !w->RecycleBin1->isChecked());
        QCOMPARE(dialogs.events, QStringList({"open-file"}));
        QCOMPARE(dialogs.lastFilter, QString(TFrmMain::kImageFilter));
        QCOMPARE(w->EdDiskImagePath->text(), QString("/images/disk one.E01"));
        // Folder: a cancelled dialog leaves the text box as it was.
        w->edFolder->setText(work_.path());
        w->Folder1->trigger();
        QCOMPARE(w->cbWhereToScan->currentIndex(), 2);
        QCOMPARE(dialogs.events.last(), QString("select-folder: Select folder to scan"));
        QCOMPARE(dialogs.lastStartFolder, work_.path());  // starts at the named folder
        QCOMPARE(w->edFolder->text(), work_.path());
        // A cancelled image dialog too.
        w->DiskImage1->trigger();
        QCOMPARE(w->EdDiskImagePath->text(), QString("/images/disk one.E01"));
        w->Images1->trigger();
        QCOMPARE(w->cbWhatToSearch->currentIndex(), 2);
        QCOMPARE(w->CardPanelWhatToSearch->currentIndex(), 2);
        QVERIFY(w->Images1->isChecked() && !w->Videos1->isChecked());
        // What the scan command reads.
        w->EdImages->setText("*.jpg");
        const TScanChoice c = w->ReadChoice();
        QVERIFY(c.Where == TScanWhere::swDiskImage);
        QCOMPARE(c.WhatIndex, 2);
        QCOMPARE(c.MaskTexts[2], std::string("*.jpg"));
        QCOMPARE(c.ImagePath, std::string("/images/disk one.E01"));
        QCOMPARE(c.WhatText, std::string("Images"));
    }

    void driveListsRefreshKeepingTheChoice() {
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        w->cbDisk->setCurrentIndex(w->cbDisk->findText("sdb1"));
        drives_ = {"sda", "sdb1", "sdc"};
        w->btnDiskRefresh->click();
        QCOMPARE(w->cbDisk->currentText(), QString("sdb1"));
        QCOMPARE(w->cbDisk->count(), 3);
        // The box shows the start of its text, the device's name, however narrow it is.
        QCOMPARE(w->cbDisk->lineEdit()->cursorPosition(), 0);
        w->cbDisk->setCurrentIndex(2);
        QCOMPARE(w->cbDisk->lineEdit()->cursorPosition(), 0);
        QCOMPARE(w->cbDisk->toolTip(), QString("sdc"));
        QCOMPARE(w->StatusText(), std::string("Drive list refreshed."));
        drives_ = {"nvme0n1", "nvme0n1p1"};
        w->btnDiskRefresh->click();
        QCOMPARE(w->cbDisk->currentText(), QString("nvme0n1"));  // vanished: the first one
        w->btnRefreshRecycleBinDisk->click();
        QCOMPARE(w->cbRecycleBinDisk->currentText(), QString("nvme0n1"));
        QCOMPARE(w->StatusText(), std::string("Recycle Bin drive list refreshed."));
        drives_ = {};
        w->btnDiskRefresh->click();
        QCOMPARE(w->cbDisk->count(), 0);
        QCOMPARE(w->cbDisk->currentIndex(), -1);
        QCOMPARE(w->cbDisk->currentText(), QString());
    }

    void choiceBandAndColumnsFollowTheWidth() {
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        w->ChoiceBand->resize(1024, 82);
        w->FormResize();
        QCOMPARE(w->GroupBox4->x(), 7);
        QCOMPARE(w->GroupBox4->width(), 498);
        QCOMPARE(w->GroupBox5->x(), 519);
        QCOMPARE(w->GroupBox5->width(), 491);
        // Odd widths round W/2 to even: 1025/2 = 512.5 -> 512.
        w->ChoiceBand->resize(1025, 82);
        w->FormResize();
        QCOMPARE(w->GroupBox4->width(), 498);
        QCOMPARE(w->GroupBox5->width(), 492);
        // Columns: w = client width - 24, each column at least its minimum.
        w->show();
        w->resize(1100, 600);
        QCoreApplication::processEvents();
        const int cw = w->lvFiles->viewport()->width() - 24;
        QVERIFY(cw > 700);
        QHeaderView* h = w->lvFiles->horizontalHeader();
        const int c0 = qRound(cw * 0.22), c1 = qRound(cw * 0.38);
        QCOMPARE(h->sectionSize(0), c0);
        QCOMPARE(h->sectionSize(1), c1);
        QCOMPARE(h->sectionSize(2), 90);
        QCOMPARE(h->sectionSize(3), 140);
        QCOMPARE(h->sectionSize(4), std::max(cw - c0 - c1 - 230, 150));
    }

    void headerClicksSortAndKeepMarks() {
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        w->ScanState().FFound = {Result("30", "/b/zeta.txt", 300, 80), Result("10", "/a/Alpha.txt", 100, -1),
                                 Result("20", "/c/beta.txt", 200, 0)};
        w->PopulateResults();
        QCOMPARE(w->StatusText(), std::string("Scan finished. Found entries: 3"));
        QCOMPARE(Column(*w, 0), QStringList({"zeta.txt", "Alpha.txt", "beta.txt"}));
        QCOMPARE(Cell(*w, 0, 1), QString("/b"));
        QCOMPARE(Cell(*w, 0, 2), QString("300 B"));
        QCOMPARE(Cell(*w, 0, 4), QString("Unknown"));
        // Mark beta (row 2) through the check box as a user would.
        QVERIFY(w->ResultsModel()->setData(w->ResultsModel()->index(2, 0), Qt::Checked, Qt::CheckStateRole));
        // File ascending, case-insensitively: Alpha, beta, zeta; the mark moves with beta.
        w->lvFilesColumnClick(0);
        QCOMPARE(Column(*w, 0), QStringList({"Alpha.txt", "beta.txt", "zeta.txt"}));
        QCOMPARE(w->ResultsModel()->Checks(), std::vector<bool>({false, true, false}));
        QCOMPARE(w->StatusText(), std::string("Scan finished. Found entries: 3"));
        // The same header again: descending.
        w->lvFilesColumnClick(0);
        QCOMPARE(Column(*w, 0), QStringList({"zeta.txt", "beta.txt", "Alpha.txt"}));
        QCOMPARE(w->lvFiles->horizontalHeader()->sortIndicatorOrder(), Qt::DescendingOrder);
        // Another header starts ascending: Size.
        w->lvFilesColumnClick(2);
        QCOMPARE(Column(*w, 0), QStringList({"Alpha.txt", "beta.txt", "zeta.txt"}));
        QVERIFY(w->ResultsModel()->IsChecked(1));
        // Row i always shows FFound[i].
        for (int r = 0; r < 3; ++r)
            QCOMPARE(Cell(*w, r, 0).toStdString(), ResultFileName(w->ScanState().FFound[r].FullPath));
    }

    void checkCommandsReportTheCount() {
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        for (int i = 0; i < 5; ++i)
            w->ScanState().FFound.push_back(Result(std::to_string(i), "/f" + std::to_string(i), i));
        w->PopulateResults();
        auto* sel = w->lvFiles->selectionModel();
        sel->select(w->ResultsModel()->index(1, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        sel->select(w->ResultsModel()->index(3, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        w->CheckSelected1->trigger();  // context menu
        QCOMPARE(w->ResultsModel()->Checks(), std::vector<bool>({false, true, false, true, false}));
        QCOMPARE(w->StatusText(), std::string("Checked: 2"));
        w->CheckAll1->trigger();  // Edit menu
        QCOMPARE(w->StatusText(), std::string("Checked: 5"));
        sel->clearSelection();
        sel->select(w->ResultsModel()->index(3, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        w->UncheckSelected2->trigger();  // Edit menu
        QCOMPARE(w->ResultsModel()->Checks(), std::vector<bool>({true, true, true, false, true}));
        QCOMPARE(w->StatusText(), std::string("Checked: 4"));
        w->btUncheckAll->trigger();  // tool bar
        QCOMPARE(w->CountChecked(), 0);
        QCOMPARE(w->StatusText(), std::string("Checked: 0"));
        // Space flips the selected rows; a mixed selection becomes all marked first.
        w->ResultsModel()->SetChecked(1, true);
        sel->clearSelection();
        for (int r : {1, 2}) sel->select(w->ResultsModel()->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        w->lvFiles->setFocus();
        QTest::keyClick(w->lvFiles, Qt::Key_Space);
        QCOMPARE(w->ResultsModel()->Checks(), std::vector<bool>({false, true, true, false, false}));
        QTest::keyClick(w->lvFiles, Qt::Key_Space);
        QCOMPARE(w->ResultsModel()->Checks(), std::vector<bool>({false, false, false, false, false}));
        QCOMPARE(w->StatusText(), std::string("Checked: 0"));
    }

    void everyResultListedFilteredAndMarked() {
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        const int n = 120000;
        TFoundFiles& found = w->ScanState().FFound;
        for (int i = 0; i < n; ++i) {
            char path[48];
            std::snprintf(path, sizeof path, "/%s/file%06d.%s", i % 3 == 0 ? "Photos" : "Docs", i, i % 3 ? "txt" : "jpg");
            found.push_back(Result(std::to_string(i), path, n - i));
        }
        w->PopulateResults();
        auto* m = w->ResultsModel();
        QCOMPARE(m->rowCount(), n);
        QCOMPARE(w->StatusText(), std::string("Scan finished. Found entries: 120000"));
        QCOMPARE(w->CountLabel->text(), QString("120000 shown of 120000"));
        QCOMPARE(Cell(*w, n - 1, 0), QString("file119999.txt"));  // the last result has its row
        QVERIFY(w->tbRecoverSel->isEnabled() && w->btCheckAll->isEnabled());
        // Check All marks every result.
        w->btCheckAll->trigger();
        QCOMPARE(w->CountChecked(), n);
        QCOMPARE(w->StatusText(), std::string("Checked: 120000"));
        w->btUncheckAll->trigger();
        // The filter narrows the rows as typed (after a pause), no rescan.
        QTest::keyClicks(w->edResultFilter, "PHOTOS/FILE0000");
        QTRY_COMPARE(m->rowCount(), 34);  // file000000 .. file000099, every third
        QCOMPARE(w->CountLabel->text(), QString("34 shown of 120000"));
        QCOMPARE(Cell(*w, 1, 0), QString("file000003.jpg"));
        // Check All with a filter marks what is shown; marks survive clearing the filter
        // and a sort.
        w->btCheckAll->trigger();
        QCOMPARE(w->CountChecked(), 34);
        w->edResultFilter->clear();
        w->ApplyResultFilter();
        QCOMPARE(m->rowCount(), n);
        QCOMPARE(w->CountChecked(), 34);
        QVERIFY(m->IsChecked(0) && !m->IsChecked(1) && m->IsChecked(3));
        w->lvFilesColumnClick(2);  // size ascending: the scan order reversed
        QCOMPARE(Cell(*w, 0, 0), QString("file119999.txt"));
        QCOMPARE(w->CountChecked(), 34);
        QVERIFY(m->IsChecked(n - 1) && m->IsChecked(n - 4) && !m->IsChecked(n - 2));
        // Recovery gets the results' own indices.
        int marked = 0;
        for (size_t i = 0; i < m->Checks().size(); ++i)
            if (m->Checks()[i]) {
                QVERIFY(found[i].FullPath.rfind("/Photos/file0000", 0) == 0);
                ++marked;
            }
        QCOMPARE(marked, 34);
        // The filter stays across a sort.
        w->edResultFilter->setText("file11999");
        w->ApplyResultFilter();
        QCOMPARE(m->rowCount(), 10);
        w->lvFilesColumnClick(0);
        QCOMPARE(m->rowCount(), 10);
        QCOMPARE(Cell(*w, 0, 0), QString("file119990.txt"));
    }

    void busySwitchDrivesCommandsAndProgress() {
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        w->show();
        w->SetBusyWidgets(true);
        QVERIFY(!w->tbFastScan->isEnabled() && !w->StartScan1->isEnabled());
        QVERIFY(!w->tbRecoverSel->isEnabled() && !w->Recover1->isEnabled());
        QVERIFY(w->tbStop->isEnabled() && w->StopScan1->isEnabled());
        QVERIFY(w->FProgress->isVisible());
        QCOMPARE(w->FProgress->geometry(),
                 QRect(w->StatusBar1->width() - 220, 2, 210, w->StatusBar1->height() - 4));
        QCOMPARE(w->FProgress->maximum(), 1000);
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::BusyCursor);
        w->SetProgress(TProgressStyle::Normal, 500);
        QCOMPARE(w->FProgress->value(), 500);
        w->SetProgress(TProgressStyle::Indeterminate, 0);
        QCOMPARE(w->FProgress->maximum(), 0);  // marquee
        w->SetBusyWidgets(false);
        QVERIFY(w->FProgress->isHidden());
        QCOMPARE(w->FProgress->value(), 0);
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);
        QVERIFY(w->tbFastScan->isEnabled() && !w->tbStop->isEnabled());
        QVERIFY(!w->tbRecoverSel->isEnabled());  // nothing to recover
        // With results: Recover on when idle; Check All off while busy.
        w->ScanState().FFound = {Result("1", "/a", 1)};
        w->PopulateResults();
        QVERIFY(w->tbRecoverSel->isEnabled() && w->btCheckAll->isEnabled());
        w->SetBusyWidgets(true);
        QVERIFY(!w->tbRecoverSel->isEnabled() && !w->btCheckAll->isEnabled() && !w->CheckSelected1->isEnabled());
        w->SetBusyWidgets(false);
    }

    void languageSwitchReappliesTexts() {
        apptest::TScriptedDialogs dialogs;
        QVERIFY(LoadTranslation(BRIVO_TRANSL_DT).empty());
        auto w = NewWindow();
        const QList<QAction*> langs = w->mmLanguage->actions();
        QCOMPARE(langs.size(), 3);
        QCOMPARE(langs[1]->text(), QString("Deutsch"));
        QVERIFY(langs[0]->isChecked());
        w->cbWhereToScan->setCurrentIndex(2);
        w->cbWhatToSearch->setCurrentIndex(3);
        langs[1]->trigger();
        QVERIFY(langs[1]->isChecked() && !langs[0]->isChecked());
        QCOMPARE(OpenAppSettings()->value(kKeyCurrentLanguage).toString(), QString("de"));
        QCOMPARE(w->File1->title(), QString("Datei"));
        QCOMPARE(w->GroupBox4->title(), QString("Wo suchen"));
        QCOMPARE(w->btnFolderBrowse->text(), QString("Durchsuchen..."));
        QCOMPARE(w->tbFastScan->toolTip(), QString("Suchen"));
        QCOMPARE(w->CheckSelected1->text(), QString("Auswahl markieren"));
        QCOMPARE(w->cbWhereToScan->itemText(2), QString("Ordner"));
        QCOMPARE(w->ResultsModel()->headerData(4, Qt::Horizontal, Qt::DisplayRole).toString(), QString("Zustand"));
        // Selections kept; the menus still agree with them.
        QCOMPARE(w->cbWhereToScan->currentIndex(), 2);
        QCOMPARE(w->cbWhatToSearch->currentIndex(), 3);
        QVERIFY(w->Folder1->isChecked() && w->Music1->isChecked());
        // The caption stays; the status is said again in the new language.
        QCOMPARE(w->windowTitle(), QString("Brivo File Recovery 2.4"));
        QCOMPARE(w->StatusText(), std::string("Bereit."));
        // New texts use the new language.
        w->btnDiskRefresh->click();
        QCOMPARE(w->StatusText(), std::string("Laufwerksliste aktualisiert."));
        // A filled list: rows, counts and a status with numbers follow the language.
        w->ScanState().FFound = {Result("1", "/a/big.bin", 5 * 1048576), Result("2", "/b", 1)};
        // Conditions are made in the language of the scan, a result in pieces with a suffix.
        w->ScanState().FFound[0].DamageText = "Überschrieben";
        w->ScanState().FFound[1].DamageText = "Ausgezeichnet, in Stücken";
        // The five columns stay: a creation time shows in the Modified cell's tip.
        w->ScanState().FFound[0].HasModDate = true;
        w->ScanState().FFound[0].ModDateUtc = 45500.5;
        w->ScanState().FFound[0].HasCreateDate = true;
        w->ScanState().FFound[0].CreateDateUtc = 45400.25;
        w->PopulateResults();
        QCOMPARE(w->StatusText(), std::string("Suche beendet. Gefundene Einträge: 2"));
        {
            const QModelIndex mod = w->ResultsModel()->index(0, rcModified);
            const QString created = QString::fromStdString(CreatedCellText(w->ScanState().FFound[0]));
            QVERIFY(!created.isEmpty());
            QCOMPARE(w->ResultsModel()->data(mod, Qt::ToolTipRole).toString(), Cell(*w, 0, rcModified) + "\nErstellt: " + created);
            const QModelIndex none = w->ResultsModel()->index(1, rcModified);
            QCOMPARE(w->ResultsModel()->data(none, Qt::ToolTipRole).toString(), QString());
        }
        const QString sizeDe = Cell(*w, 0, 2);
        langs[2]->trigger();
        QCOMPARE(Column(*w, 4), QStringList({"Перезаписан", "Отлично, по частям"}));
        QCOMPARE(w->StatusText(), std::string("Сканирование завершено. Найдено записей: 2"));
        QCOMPARE(w->CountLabel->text(), QString("Показано 2 из 2"));
        QCOMPARE(Cell(*w, 0, 2), QString("5.0 МБ"));  // rows are made in the language of the moment
        QCOMPARE(sizeDe, QString("5.0 MB"));
        QCOMPARE(w->Help1->title(), QString("Справка"));
        langs[0]->trigger();
        QCOMPARE(w->Help1->title(), QString("Help"));
        QCOMPARE(Column(*w, 4), QStringList({"Overwritten", "Excellent, in pieces"}));
        // A switch while the results are the worker's waits until the work has ended.
        w->SetBusyWidgets(true);
        langs[1]->trigger();
        w->SetBusyWidgets(false);
        QTRY_COMPARE(Column(*w, 4), QStringList({"Überschrieben", "Ausgezeichnet, in Stücken"}));
        langs[0]->trigger();
        QCOMPARE(OpenAppSettings()->value(kKeyCurrentLanguage).toString(), QString("en"));
    }

    void aboutBoxAndWebLinks() {
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        w->tbAbout->trigger();
        QCOMPARE(dialogs.events.size(), 1);
        const QStringList lines = dialogs.events[0].mid(QString("info: ").size()).split('\n');
        QCOMPARE(lines[0], QString("Brivo File Recovery"));
        QCOMPARE(lines[1], QString("Version: 2.4"));
        QCOMPARE(lines[2], QString());
        QCOMPARE(lines[3], QString("Website: ") + kVendorAddress);
        QVERIFY(lines.last().contains(QString::number(QDate::currentDate().year())));
        QCOMPARE(lines.size(), 11);
        // The vendor address is one constant, overridable by a setting.
        OpenAppSettings()->setValue(kKeyVendorAddress, "https://mirror.example.org/");
        dialogs.events.clear();
        w->ContactUs1->trigger();
        w->utorial1->trigger();
        w->VisitWebsite1->trigger();
        QCOMPARE(dialogs.events, QStringList({"url: https://mirror.example.org/support.html",
                                              "url: https://mirror.example.org/redirect/tutorial-brivo-file-recovery.html",
                                              "url: https://mirror.example.org/"}));
        // The globe on the tool bar is the Language menu; the website is under Help only.
        QCOMPARE(w->tbLanguage->menu(), w->mmLanguage);
        QCOMPARE(w->tbLanguage->toolTip(), QString("Language"));
        for (QAction* a : w->ToolBar2->actions()) QVERIFY(a == w->tbLanguage || a == w->tbAbout);
        // Without a browser the address is shown.
        dialogs.events.clear();
        dialogs.urlOpens = false;
        w->utorial1->trigger();
        QCOMPARE(dialogs.Boxes(), QStringList({"info: No web browser could be started. Please open this address: "
                                               "https://mirror.example.org/redirect/tutorial-brivo-file-recovery.html"}));
    }

    void scanWithoutEngineFolderOnlyWarns() {
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();  // no engine folder
        w->ScanState().FFound = {Result("5", "/kept.txt", 1)};
        w->PopulateResults();
        w->SetStatusText("The volume cannot be read: sector 63 is unreadable.");
        w->tbFastScan->trigger();
        QCOMPARE(dialogs.Boxes(), QStringList({"warning: Missing required files."}));
        QCOMPARE(w->StatusText(), std::string("Missing required files."));  // not the earlier failure
        QVERIFY(!w->ScanBusy());
        QCOMPARE(w->ResultsModel()->rowCount(), 1);  // the previous results stay
        QVERIFY(w->tbFastScan->isEnabled());
    }

    void folderTreeNarrowsTheListAndMarksFolders() {
        auto w = NewWindow();
        QVERIFY(w->ShowFolders1->isChecked() && w->tvFolders->isVisibleTo(w.get()));
        TFoundFiles& found = w->ScanState().FFound;
        found = {Result("1", "/Docs/a.txt", 5), Result("2", "/Docs/Old", 0), Result("3", "/Docs/Old/b.txt", 4),
                 Result("4", "/Pics/c.jpg", 3), Result("5", "/$OrphanFiles/Folder at cluster 7/d.txt", 2),
                 Result("6", "/top.txt", 1)};
        found[1].IsDir = true;
        w->PopulateResults();
        QVERIFY(w->WaitForFolderTree(10000));
        TFolderTreeModel* m = w->FolderModel();
        const QModelIndex root = m->index(0, 0);
        QCOMPARE(m->data(root, Qt::DisplayRole).toString(), QString("All folders (6)"));
        QStringList top;
        for (int r = 0; r < m->rowCount(root); ++r) top << m->data(m->index(r, 0, root), Qt::DisplayRole).toString();
        QCOMPARE(top, QStringList({"$OrphanFiles (1)", "Docs (3)", "Pics (1)"}));
        const QModelIndex lost = m->index(0, 0, m->index(0, 0, root));
        const QModelIndex docs = m->index(1, 0, root);
        const QModelIndex old = m->index(0, 0, docs);
        QVERIFY(m->data(lost, Qt::ToolTipRole).toString().endsWith("Lost folder: where it stood is unknown"));
        QCOMPARE(m->data(old, Qt::ToolTipRole).toString(), QString("/Docs/Old\nDeleted folder"));
        QVERIFY(m->data(old, Qt::ForegroundRole).isValid() && !m->data(docs, Qt::ForegroundRole).isValid());

        // Choosing a folder narrows the list to it and below, together with the name filter.
        w->tvFolders->setCurrentIndex(docs);
        QCOMPARE(Column(*w, 0), QStringList({"a.txt", "Old", "b.txt"}));
        QCOMPARE(w->CountLabel->text(), QString("3 shown of 6"));
        w->edResultFilter->setText("b.");
        w->ApplyResultFilter();
        QCOMPARE(Column(*w, 0), QStringList({"b.txt"}));
        w->edResultFilter->clear();
        w->ApplyResultFilter();

        // Checking a folder marks everything under it; the boxes above say "some".
        QVERIFY(m->setData(old, Qt::Checked, Qt::CheckStateRole));
        QCOMPARE(w->CountChecked(), 1);
        QVERIFY(m->setData(docs, Qt::Checked, Qt::CheckStateRole));
        QCOMPARE(w->CountChecked(), 3);
        QCOMPARE(m->data(docs, Qt::CheckStateRole).toInt(), int(Qt::Checked));
        QCOMPARE(m->data(root, Qt::CheckStateRole).toInt(), int(Qt::PartiallyChecked));
        QCOMPARE(m->data(m->index(2, 0, root), Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
        QCOMPARE(w->StatusText(), std::string("Checked: 3"));
        // A mark in the list shows on the tree.
        w->ResultsModel()->SetChecked(1, false);
        QCOMPARE(m->data(docs, Qt::CheckStateRole).toInt(), int(Qt::PartiallyChecked));
        w->ResultsModel()->SetChecked(1, true);

        // A sort keeps the tree (it is built once per scan) and the folder's rows.
        const TFolderTree* tree = w->FolderTree();
        w->lvFilesColumnClick(2);  // by size
        QCOMPARE(w->FolderTree(), tree);
        QCOMPARE(Column(*w, 0), QStringList({"Old", "b.txt", "a.txt"}));
        w->tvFolders->setCurrentIndex(root);
        QCOMPARE(w->ResultsModel()->rowCount(), 6);
        QStringList marked;
        for (int r = 0; r < 6; ++r)
            if (w->ResultsModel()->IsChecked(r)) marked << Cell(*w, r, 0);
        QCOMPARE(marked, QStringList({"Old", "b.txt", "a.txt"}));
        QVERIFY(m->setData(root, Qt::Unchecked, Qt::CheckStateRole));
        QCOMPARE(w->CountChecked(), 0);
        // With the list filtered to one row, the top folder's box marks that row alone.
        w->edResultFilter->setText("c.jpg");
        w->ApplyResultFilter();
        QCOMPARE(w->ResultsModel()->rowCount(), 1);
        QVERIFY(m->setData(root, Qt::Checked, Qt::CheckStateRole));
        QCOMPARE(w->CountChecked(), 1);
        QVERIFY(w->ResultsModel()->IsChecked(0));
        QVERIFY(m->setData(root, Qt::Unchecked, Qt::CheckStateRole));
        QCOMPARE(w->CountChecked(), 0);
        w->edResultFilter->clear();
        w->ApplyResultFilter();

        // View > Folders hides the tree; a new scan's results get a new one.
        w->ShowFolders1->trigger();
        QVERIFY(!w->tvFolders->isVisibleTo(w.get()));
        w->ClearResults();
        QVERIFY(!w->FolderTree() && m->rowCount() == 0);
        found = {Result("7", "/x/y.txt", 1)};
        w->PopulateResults();
        QVERIFY(w->WaitForFolderTree(10000));
        QCOMPARE(w->FolderTree()->NodeCount(), 2u);
    }

    // A name without content lists the finds beside it in its condition's tip, and choosing
    // its row (double-click or Enter) selects them, from whatever folder the list shows.
    void nameWithoutContentLeadsToItsCandidates() {
        auto w = NewWindow();
        TFoundFiles& found = w->ScanState().FFound;
        found = {Result("36", "/Projects/photos/team.jpg", 0), Result("", "/$Found by content/JPEG/f100.jpg", 1884, 90),
                 Result("", "/$Found by content/JPEG/f200.jpg", 70388, 90), Result("", "/$Found by content/PNG/f300.png", 9, 90),
                 Result("12", "/Projects/readme.txt", 10)};
        found[0].DamageText = "Name only: 2 files of this kind found in the same area";
        found[0].Candidates = {"/$Found by content/JPEG/f100.jpg", "/$Found by content/JPEG/f200.jpg"};
        w->PopulateResults();
        QVERIFY(w->WaitForFolderTree(10000));
        const auto rowOf = [&](const QString& name) { return Column(*w, 0).indexOf(name); };
        const QString tip = w->ResultsModel()->data(w->ResultsModel()->index(rowOf("team.jpg"), rcCondition), Qt::ToolTipRole).toString();
        QCOMPARE(tip, QString("Name only: 2 files of this kind found in the same area\n/$Found by content/JPEG/f100.jpg\n"
                              "/$Found by content/JPEG/f200.jpg\nDouble-click to select them."));
        QCOMPARE(w->ResultsModel()->data(w->ResultsModel()->index(rowOf("readme.txt"), rcCondition), Qt::ToolTipRole).toString(),
                 Cell(*w, rowOf("readme.txt"), rcCondition));

        // The list narrowed to the name's folder: the finds are elsewhere.
        TFolderTreeModel* m = w->FolderModel();
        const QModelIndex root = m->index(0, 0);
        QModelIndex projects;
        for (int r = 0; r < m->rowCount(root); ++r)
            if (m->data(m->index(r, 0, root), Qt::DisplayRole).toString().startsWith("Projects")) projects = m->index(r, 0, root);
        QVERIFY(projects.isValid());
        w->tvFolders->setCurrentIndex(projects);
        QCOMPARE(w->ResultsModel()->rowCount(), 2);
        const QModelIndex name = w->ResultsModel()->index(rowOf("team.jpg"), 0);
        emit w->lvFiles->activated(name);
        QCOMPARE(w->ResultsModel()->rowCount(), 5);
        QStringList selected;
        for (const QModelIndex& i : w->lvFiles->selectionModel()->selectedRows()) selected << Cell(*w, i.row(), 0);
        selected.sort();
        QCOMPARE(selected, QStringList({"f100.jpg", "f200.jpg", "team.jpg"}));
        // Any other row: nothing happens.
        QCOMPARE(w->SelectCandidates(rowOf("readme.txt")), 0);
        QCOMPARE(w->SelectCandidates(rowOf("team.jpg")), 2);
    }

    void recoverRefusesWithoutMarks() {
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        w->ScanState().FFound = {Result("1", "/a", 1)};
        w->PopulateResults();
        w->tbRecoverSel->trigger();
        QCOMPARE(dialogs.events, QStringList({"warning: Please mark at least one file for recovery."}));
    }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
