// The window's commands: scan and stop, recovery, check marks, sorting, the source and
// filter choices, drive lists, browse dialogs, web links, About and the language.
#include "app/MainForm.h"

#include <QAction>
#include <QApplication>
#include <QActionGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QDir>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QLabel>
#include <QStackedWidget>
#include <QTableView>
#include <QTimer>

#include <algorithm>
#include <set>
#include <unordered_map>

#include "app/AppInfo.h"
#include "app/Dialogs.h"
#include "app/DiskImageDialog.h"
#include "app/LanguageSetting.h"
#include "app/ResultsTableModel.h"
#include "app/Translation.h"
#include "core/ScanLog.h"
#include "core/TextFormat.h"
#include "driver/ScanDriver.h"
#include "platform/DeviceBroker.h"
#include "platform/Devices.h"
#include "platform/SameVolume.h"
#include "results/Recovery.h"

namespace brivo {

namespace {
QString Q(const std::string& s) { return QString::fromStdString(s); }
std::string S(const QString& s) { return s.toStdString(); }
} // namespace

// --- scan --------------------------------------------------------------------------

TScanChoice TFrmMain::ReadChoice() const {
    TScanChoice c;
    c.Where = CurrentScanWhere(cbWhereToScan->currentIndex());
    // A listed drive shows a description; the device is its name.
    auto driveText = [](const QComboBox* cb) {
        const int i = cb->currentIndex();
        if (i >= 0 && cb->currentText() == cb->itemText(i) && cb->itemData(i).isValid())
            return S(cb->itemData(i).toString());
        return S(cb->currentText());
    };
    c.DiskText = driveText(cbDisk);
    c.ImagePath = S(EdDiskImagePath->text());
    c.FolderPath = S(edFolder->text());
    c.RecycleBinDiskText = driveText(cbRecycleBinDisk);
    c.WhereText = S(cbWhereToScan->currentText());
    c.WhatIndex = cbWhatToSearch->currentIndex();
    c.WhatText = S(cbWhatToSearch->currentText());
    const QLineEdit* edits[] = {EdAllCustomFormats, EdDocumentsFilter, EdImages, EdMusic, EdVideos};
    for (int i = 0; i < 5; ++i) c.MaskTexts[i] = S(edits[i]->text());
    c.Deep = cbDeepScan->isChecked();
    if (!cbVolume->isHidden() && cbVolume->currentIndex() >= 0 &&
        (c.Where == TScanWhere::swDisk || c.Where == TScanWhere::swDiskImage))
        c.Volume = cbVolume->currentData().toUInt();
    return c;
}

void TFrmMain::tbFastScanClick() {
    if (ScanBusy()) return;
    // A path typed or pasted without leaving the field (Enter, F5) has not filled the
    // volume list yet; a partitioned source then gets its first scannable volume.
    RefreshVolumeList();
    lastChoice_ = ReadChoice();
    haveLastChoice_ = true;
    lastShowedHidden_ = false;
    // A preview reading through the engine would share its runner with the scan.
    previewLoader_.reset();
    // The scan empties FFound before it says so: a tree build reading it ends first.
    const bool treeWasBuilding = StopFolderTreeBuild();
    FDriver->tbFastScanClick(lastChoice_);
    if (treeWasBuilding && !ScanBusy() && !FScanState.FFound.empty()) StartFolderTreeBuild();  // refused
}

void TFrmMain::ShowHiddenClick() {
    if (ScanBusy() || !haveLastChoice_) return;
    TScanChoice c = lastChoice_;
    c.ShowHidden = true;
    lastShowedHidden_ = true;
    previewLoader_.reset();
    // The scan empties FFound before it says so: a tree build reading it ends first.
    const bool treeWasBuilding = StopFolderTreeBuild();
    FDriver->tbFastScanClick(c);
    if (treeWasBuilding && !ScanBusy() && !FScanState.FFound.empty()) StartFolderTreeBuild();  // refused
}

void TFrmMain::tbStopClick() {
    if (!ScanBusy()) return;
    if (FRecovery && FRecovery->Busy()) {
        FRecovery->Stop();
        return;
    }
    FDriver->tbStopClick();
}

// --- recovery ----------------------------------------------------------------------

int TFrmMain::CountChecked() const { return FResultsModel ? FResultsModel->CountChecked() : 0; }

void TFrmMain::tbRecoverSelClick() {
    if (ScanBusy()) return;
    if (!CheckRecoveryPreconditions(FScanState, *this, CountChecked())) return;
    // Off every time: a copy with zeros in it is only made when asked for.
    bool keepDamaged = false;
    const QString folder =
        Dialogs().SelectRecoveryFolder(this, Tr("Select output folder"), Tr("Keep files with unreadable parts"), keepDamaged);
    if (folder.isEmpty()) return;
    // A file system mounted from the image being scanned is stored in it: every file written
    // there changes the image. The folder that holds the image is always a better place.
    if (OutputInsideSourceImage(FScanState.FLastSrcForFls, S(folder))) {
        ShowError(Translate("The output folder is on a file system stored in the disk image being recovered. Saving "
                     "there would change the image and can overwrite the deleted files you want back. Choose a "
                     "folder outside it, for example beside the image."));
        return;
    }
    // Writing onto the device being recovered can overwrite the very clusters that hold
    // the deleted files; the user decides, warned.
    if (OutputOnScannedDevice(FScanState.FLastSrcForFls, S(folder)) &&
        !Dialogs().Question(this, Tr("The output folder is on the disk being recovered. Saving there can "
                                     "overwrite the deleted files you want back. Save there anyway?")))
        return;
    std::vector<size_t> rows;
    const std::vector<bool>& marks = FResultsModel->Checks();
    for (size_t i = 0; i < marks.size(); ++i)
        if (marks[i]) rows.push_back(i);
    // A preview still reading runs icat on the same engine runner, which serves one tool
    // at a time: end it (it is read again on the next selection).
    previewLoader_.reset();
    if (!FRecovery) FRecovery = std::make_unique<TRecoveryBatch>(FScanState, *this);
    TRecoveryBatchOptions options;
    options.ShowSummary = [this](const TRecoverySummary& summary) { ShowRecoverySummary(summary); };
    options.KeepDamaged = keepDamaged;
    try {
        FRecovery->Start(std::move(rows), S(folder), std::move(options));
        UpdatePreview();  // busy: the pane says so instead of "Reading..."
    } catch (const std::exception& e) {
        ShowError(e.what());
    }
}

void TFrmMain::SaveDiskImageClick() {
    RefreshVolumeList();
    const TScanChoice c = ReadChoice();
    if (c.Where != TScanWhere::swDisk && c.Where != TScanWhere::swDiskImage) {
        ShowWarning(S(Tr("Choose a disk or a disk image to save first.")));
        return;
    }
    TScanSource source;
    try {
        if (!BuildScanSource(c, *this, source)) return;
    } catch (const std::exception& e) {
        ShowError(e.what());
        return;
    }
    TDiskImageDialog dialog(this, source.Src, c.Volume);
    dialog.exec();
}

void TFrmMain::ShowRecoverySummary(const TRecoverySummary& summary) {
    QWidget* parent = isVisible() ? this : nullptr;
    // Rows kept or failed for unreadable parts now say so in the Condition column.
    FResultsModel->RefreshTexts();
    QString text = Q(summary.Text);
    // Which files, and why: a count alone leaves the user to guess.
    if (!summary.Problems.empty()) {
        constexpr size_t kShown = 15;
        text += QStringLiteral("\n\n") + Tr("Files not recovered in full:");
        for (size_t i = 0; i < summary.Problems.size() && i < kShown; ++i)
            text += QStringLiteral("\n") + Q(RecoveryProblemText(summary.Problems[i], *this));
        const int total = summary.Counts.Failed + summary.Counts.Damaged;
        if (total > static_cast<int>(kShown))
            text += QStringLiteral("\n") + Q(Format(Translate("... and %d more (see the log)."), {total - static_cast<int>(kShown)}));
    }
    if (!summary.Hint.empty()) text += QStringLiteral("\n\n") + Q(summary.Hint);
    text += QStringLiteral("\n\n") + Tr("Open the output folder?");
    if (!Dialogs().Question(parent, text)) return;
    if (!Dialogs().OpenUrl(Q(summary.Folder)))
        Dialogs().Info(parent, Q(Format(Translate("No file manager could be started. The recovered files are in: %s"),
                                        {summary.Folder})));
}

// --- check marks and sorting ---------------------------------------------------------

namespace {
std::vector<int> SelectedRows(QTableView* view) {
    std::vector<int> rows;
    for (const QModelIndex& i : view->selectionModel()->selectedRows()) rows.push_back(i.row());
    return rows;
}
} // namespace

void TFrmMain::btCheckAllClick() {
    FResultsModel->SetAllChecked(true);
    SetStatusText(CheckedStatusText(*this, CountChecked()));
}

void TFrmMain::btUncheckAllClick() {
    FResultsModel->SetAllChecked(false);
    SetStatusText(CheckedStatusText(*this, CountChecked()));
}

void TFrmMain::CheckSelected1Click() {
    FResultsModel->SetRowsChecked(SelectedRows(lvFiles), true);
    SetStatusText(CheckedStatusText(*this, CountChecked()));
}

void TFrmMain::UncheckSelected1Click() {
    FResultsModel->SetRowsChecked(SelectedRows(lvFiles), false);
    SetStatusText(CheckedStatusText(*this, CountChecked()));
}

void TFrmMain::ToggleSelectedChecks() {
    if (busyWidgets_) return;
    const std::vector<int> rows = SelectedRows(lvFiles);
    if (rows.empty()) return;
    FResultsModel->ToggleRows(rows);
    SetStatusText(CheckedStatusText(*this, CountChecked()));
}

void TFrmMain::edResultFilterChange() { filterTimer_->start(); }

void TFrmMain::ApplyResultFilter() {
    filterTimer_->stop();
    FResultsModel->SetFilterText(edResultFilter->text());
    UpdateCommandStates();
}

void TFrmMain::UpdateCommandStates() {
    const bool busy = busyWidgets_;
    const bool rows = FResultsModel && FResultsModel->ShownCount() > 0;
    const bool results = FResultsModel && FResultsModel->TotalCount() > 0;
    tbFastScan->setEnabled(!busy);
    StartScan1->setEnabled(!busy);
    tbStop->setEnabled(busy);
    StopScan1->setEnabled(busy);
    // Recover stays on for a filled list without marks: its warning says what to do.
    tbRecoverSel->setEnabled(!busy && results);
    Recover1->setEnabled(!busy && results);
    OpenScan1->setEnabled(!busy);
    SaveScan1->setEnabled(!busy && results);
    for (QAction* a : {btCheckAll, CheckAll1, btUncheckAll, UncheckAll1, CheckSelected1, CheckSelected2,
                       UncheckSelected1, UncheckSelected2})
        a->setEnabled(!busy && rows);
}

void TFrmMain::UpdateCountLabels() {
    if (!CountLabel || !HiddenLabel) return;
    const size_t total = FResultsModel->TotalCount();
    const bool show = !busyWidgets_ && total > 0;
    CountLabel->setVisible(show);
    if (show)
        CountLabel->setText(Q(Format(Translate("%d shown of %d"), {FResultsModel->ShownCount(), total})));
    const uint64_t masks = FScanState.FLastHiddenByMasks, cleanup = FScanState.FLastHiddenByCleanup;
    const bool hidden = !busyWidgets_ && haveLastChoice_ && !lastShowedHidden_ && masks + cleanup > 0;
    // A deleted folder whose directory data runs on past its first cluster: the rest of
    // its entries lie in clusters only the free-space sweep can find.
    const bool deepHint = !busyWidgets_ && haveLastChoice_ && !lastChoice_.Deep && FScanState.FLastDeepMayFindMore;
    // Any fast scan of a whole volume: the free space is left for a deep scan to search.
    const bool freeHint = !busyWidgets_ && haveLastChoice_ && !lastChoice_.Deep && !deepHint &&
                          FScanState.FLastDeepSearchesFreeSpace;
    HiddenLabel->setVisible(hidden || deepHint || freeHint);
    QString text;
    if (hidden)
        text = Q(Format(Translate("Hidden: %d by the masks, %d by the cleanup filter."), {masks, cleanup})).toHtmlEscaped() +
               QStringLiteral(" <a href=\"show-hidden\">") + Tr("Show them").toHtmlEscaped() + QStringLiteral("</a>");
    if (deepHint) {
        if (!text.isEmpty()) text += QStringLiteral(" &nbsp; ");
        text += Tr("A deep scan may find more.").toHtmlEscaped() + QStringLiteral(" <a href=\"deep-scan\">") +
                Tr("Deep scan").toHtmlEscaped() + QStringLiteral("</a>");
    }
    if (freeHint) {
        if (!text.isEmpty()) text += QStringLiteral(" &nbsp; ");
        text += Tr("A deep scan also searches the free space for files by their content.").toHtmlEscaped() +
                QStringLiteral(" <a href=\"deep-scan\">") + Tr("Deep scan").toHtmlEscaped() + QStringLiteral("</a>");
    }
    if (!text.isEmpty()) HiddenLabel->setText(text);
}

void TFrmMain::DeepScanClick() {
    if (ScanBusy() || !haveLastChoice_) return;
    cbDeepScan->setChecked(true);
    TScanChoice c = lastChoice_;
    c.Deep = true;
    lastChoice_ = c;
    previewLoader_.reset();
    // The scan empties FFound before it says so: a tree build reading it ends first.
    const bool treeWasBuilding = StopFolderTreeBuild();
    FDriver->tbFastScanClick(c);
    if (treeWasBuilding && !ScanBusy() && !FScanState.FFound.empty()) StartFolderTreeBuild();  // refused
}

void TFrmMain::lvFilesColumnClick(int column) {
    ApplyColumnClick(FSort, column);
    lvFiles->horizontalHeader()->setSortIndicatorShown(true);
    lvFiles->horizontalHeader()->setSortIndicator(column, FSort.FSortAscending ? Qt::AscendingOrder
                                                                             : Qt::DescendingOrder);
    // While a scan runs FFound is the worker's: the new order waits for its results.
    if (ScanBusy()) return;
    // Sorting a million results takes a few seconds: say so with the cursor.
    struct TWaitCursor {
        bool on;
        explicit TWaitCursor(bool wanted) : on(wanted) {
            if (on) QApplication::setOverrideCursor(Qt::WaitCursor);
        }
        ~TWaitCursor() {
            if (on) QApplication::restoreOverrideCursor();
        }
    } cursor(FScanState.FFound.size() > 100000);
    PopulateResults();
}

// --- source and filter choice ---------------------------------------------------------

void TFrmMain::cbWhereToScanChange() {
    const int i = cbWhereToScan->currentIndex();
    if (i >= 0 && i < CardPanelWhereToScan->count()) CardPanelWhereToScan->setCurrentIndex(i);
    QAction* items[] = {Disk1, DiskImage1, Folder1, RecycleBin1};
    const int shown = CardPanelWhereToScan->currentIndex();
    for (int k = 0; k < 4; ++k) items[k]->setChecked(k == shown);
    RefreshVolumeList();
}

void TFrmMain::cbWhatToSearchChange() {
    const int i = cbWhatToSearch->currentIndex();
    if (i >= 0 && i < CardPanelWhatToSearch->count()) CardPanelWhatToSearch->setCurrentIndex(i);
    QAction* items[] = {AllCustomFormats1, Documents1, Images1, Music1, Videos1};
    for (int k = 0; k < 5; ++k) items[k]->setChecked(k == i);
}

void TFrmMain::SelectSource(int index) {
    QAction* items[] = {Disk1, DiskImage1, Folder1, RecycleBin1};
    for (int k = 0; k < 4; ++k) items[k]->setChecked(k == index);
    {
        const QSignalBlocker block(cbWhereToScan);
        cbWhereToScan->setCurrentIndex(index);
    }
    CardPanelWhereToScan->setCurrentIndex(index);
    if (index == 1) BrowseDiskImage();
    if (index == 2) BrowseFolder();
}

void TFrmMain::SelectFilter(int index) {
    QAction* items[] = {AllCustomFormats1, Documents1, Images1, Music1, Videos1};
    for (int k = 0; k < 5; ++k) items[k]->setChecked(k == index);
    {
        const QSignalBlocker block(cbWhatToSearch);
        cbWhatToSearch->setCurrentIndex(index);
    }
    cbWhatToSearchChange();
}

// --- drive lists ----------------------------------------------------------------------

void TFrmMain::FillDriveList(QComboBox* list, const QString& preferred) {
    const QString remembered = preferred.isEmpty() ? list->currentText() : preferred;
    const QSignalBlocker block(list);
    list->clear();
    for (const std::string& name : options_.ListDrives()) list->addItem(Q(options_.DescribeDrive(name)), Q(name));
    int i = remembered.isEmpty() ? -1 : list->findText(remembered, Qt::MatchFixedString);
    if (i < 0 && !remembered.isEmpty()) i = list->findData(remembered);
    if (i < 0 && list->count() > 0) i = 0;
    list->setCurrentIndex(i);
    if (i < 0) list->setEditText(QString());
    ShowDriveStart(list);
}

void TFrmMain::ShowDriveStart(QComboBox* list) {
    // A line edit keeps its cursor at the end of a text set into it, so a description wider
    // than the box would show its tail (a backing file's path) instead of the device's name.
    if (QLineEdit* ed = list->lineEdit(); ed && !ed->hasFocus()) ed->setCursorPosition(0);
    list->setToolTip(list->currentText());
}

void TFrmMain::RefreshVolumeList() {
    const TScanWhere where = CurrentScanWhere(cbWhereToScan->currentIndex());
    QString src;
    if (where == TScanWhere::swDisk) src = Q(DevicePathFor(ReadChoice().DiskText));
    if (where == TScanWhere::swDiskImage) src = EdDiskImagePath->text().trimmed();
    if (src == volumeSource_ && (!src.isEmpty() || !cbVolume->isVisibleTo(this))) return;
    volumeSource_ = src;
    const QSignalBlocker block(cbVolume);
    cbVolume->clear();
    cbVolume->setVisible(false);
    btnSearchVolumes->setVisible(false);
    if (src.isEmpty() || src == QLatin1String("/dev/")) return;
    TSourceVolumes v;
    try {
        // Choosing a drive in the list never brings up a password prompt: a disk the
        // user may not read shows its volumes once a scan has been allowed to open it.
        const TNoBrokerScope noPrompt;
        v = options_.ListVolumes(S(src));
    } catch (const std::exception&) {
        volumeSource_.clear();  // looked at again once it can be read
        return;  // the scan says what is wrong with the source
    }
    ShowVolumes(v);
}

void TFrmMain::ShowVolumes(const TSourceVolumes& v) {
    const QSignalBlocker block(cbVolume);
    cbVolume->clear();
    cbVolume->setVisible(false);
    const bool found = std::any_of(v.Volumes.begin(), v.Volumes.end(), [](const TVolume& x) { return x.FoundBySearch; });
    const bool nothing = v.Scheme == TPartitionScheme::None && v.Volumes.size() == 1 && !found &&
                         v.Volumes.front().Fs.Name.empty() && v.Container == TContainerKind::Raw;
    btnSearchVolumes->setVisible(nothing || volumeSearchRunning_);
    if (!found && (v.Scheme == TPartitionScheme::None || v.Volumes.size() < 2)) return;
    int first = -1;
    shownVolumes_ = v.Volumes;
    shownSectorSize_ = v.SectorSize;
    for (const TVolume& vol : v.Volumes)
        if (first < 0 && vol.Scannable() && vol.AlternativeTo == 0) first = static_cast<int>(&vol - v.Volumes.data());
    DescribeShownVolumes();
    cbVolume->setCurrentIndex(std::max(first, 0));
    cbVolume->setVisible(true);
}

void TFrmMain::DescribeShownVolumes() {
    const QSignalBlocker block(cbVolume);
    const int current = cbVolume->currentIndex();
    cbVolume->clear();
    for (const TVolume& vol : shownVolumes_)
        cbVolume->addItem(Q(DescribeVolume(vol, shownSectorSize_, [this](const std::string& s) { return Translate(s); })),
                          vol.Index);
    if (current >= 0 && current < cbVolume->count()) cbVolume->setCurrentIndex(current);
}

void TFrmMain::btnSearchVolumesClick() {
    if (volumeSearchRunning_) {
        volumeSearchStop_ = true;
        return;
    }
    if (volumeSearch_.joinable()) volumeSearch_.join();
    const QString src = volumeSource_;
    if (src.isEmpty()) return;
    volumeSearchStop_ = false;
    volumeSearchRunning_ = true;
    btnSearchVolumes->setText(Tr("Stop the search"));
    SetStatusText(Translate("Searching every sector for lost volumes..."));
    auto search = options_.SearchLostVolumes;
    // The thread ends before the window does (its destructor stops and joins it), so
    // what it queues finds the window alive.
    volumeSearch_ = std::thread([this, src, search] {
        std::shared_ptr<TSourceVolumes> found;
        std::string error;
        int shown = -1;
        try {
            found = std::make_shared<TSourceVolumes>(search(S(src), [this, &shown](uint64_t done, uint64_t total) {
                const int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
                if (percent != shown) {
                    shown = percent;
                    QMetaObject::invokeMethod(
                        this,
                        [this, percent] {
                            if (volumeSearchRunning_)
                                SetStatusText(Format(Translate("Searching every sector for lost volumes... %d%%"), {percent}));
                        },
                        Qt::QueuedConnection);
                }
                return !volumeSearchStop_;
            }));
        } catch (const std::exception& e) {
            error = e.what();
        }
        QMetaObject::invokeMethod(
            this, [this, src, found, error] { VolumeSearchDone(src, found, error); }, Qt::QueuedConnection);
    });
}

void TFrmMain::VolumeSearchDone(const QString& src, std::shared_ptr<TSourceVolumes> found, const std::string& error) {
    volumeSearchRunning_ = false;
    if (volumeSearch_.joinable()) volumeSearch_.join();
    btnSearchVolumes->setText(Tr("Search for lost volumes"));
    if (!error.empty()) {
        SetStatusText(error);
        return;
    }
    const size_t count = std::count_if(found->Volumes.begin(), found->Volumes.end(),
                                       [](const TVolume& v) { return v.FoundBySearch && !v.Unallocated; });
    std::string text = count == 0 ? Translate("No lost volumes were found.")
                                   : Format(Translate("Lost volumes found: %d"), {count});
    if (found->SearchStopped) text += " " + Translate("(the search was stopped before its end)");
    if (!found->Searched && !found->SearchNote.empty())
        text = Translate("The search for lost volumes did not run: the source holds one volume from its first byte, "
                         "so no partition table was lost. A deep scan searches that volume for lost files.");
    SetStatusText(text);
    // The user may have chosen another source meanwhile.
    if (src == volumeSource_) ShowVolumes(*found);
}

void TFrmMain::BrowseRecycleBinImage() {
    const QString file = Dialogs().OpenFile(this, QString::fromLatin1(kImageFilter));
    if (!file.isEmpty()) cbRecycleBinDisk->setEditText(QDir::toNativeSeparators(file));
}

void TFrmMain::RefreshDriveLists() {
    FillDriveList(cbDisk, QString());
    FillDriveList(cbRecycleBinDisk, QString());
    RefreshVolumeList();
}

void TFrmMain::RefreshDriveListsKeepingChoice() {
    const QString disk = cbDisk->currentData().toString();
    const QString bin = cbRecycleBinDisk->currentData().toString();
    RefreshDriveLists();
    for (auto [list, name] : {std::pair{cbDisk, disk}, std::pair{cbRecycleBinDisk, bin}}) {
        const int i = name.isEmpty() ? -1 : list->findData(name);
        if (i >= 0 && i != list->currentIndex()) list->setCurrentIndex(i);
    }
    RefreshVolumeList();
}

void TFrmMain::btnDiskRefreshClick() {
    const QString remembered = cbDisk->currentText();
    RefreshDriveLists();
    const int i = cbDisk->findText(remembered, Qt::MatchFixedString);
    if (i >= 0) cbDisk->setCurrentIndex(i);
    SetStatusText(Translate("Drive list refreshed."));
}

void TFrmMain::btnRefreshRecycleBinDiskClick() {
    FillDriveList(cbRecycleBinDisk, cbRecycleBinDisk->currentText());
    SetStatusText(Translate("Recycle Bin drive list refreshed."));
}

// --- browse dialogs --------------------------------------------------------------------

void TFrmMain::BrowseDiskImage() {
    const QString file = Dialogs().OpenFile(this, QString::fromLatin1(kImageFilter));
    if (!file.isEmpty()) EdDiskImagePath->setText(QDir::toNativeSeparators(file));
    RefreshVolumeList();
}

void TFrmMain::BrowseFolder() {
    const QString current = edFolder->text().trimmed();
    const QString start = !current.isEmpty() && QDir(current).exists() ? current : QString();
    const QString folder = Dialogs().SelectFolder(this, Tr("Select folder to scan"), start);
    if (!folder.isEmpty()) edFolder->setText(QDir::toNativeSeparators(folder));
}

// --- web links and About -----------------------------------------------------------------

void TFrmMain::OpenPage(const QString& url) {
    // Without a browser the user still gets somewhere: the address to open elsewhere.
    if (!Dialogs().OpenUrl(url))
        Dialogs().Info(this, Q(Format(Translate("No web browser could be started. Please open this address: %s"),
                                      {S(url)})));
}

void TFrmMain::tbWebClick() { OpenPage(HomePageUrl()); }
void TFrmMain::ContactUs1Click() { OpenPage(SupportPageUrl()); }
void TFrmMain::utorial1Click() { OpenPage(TutorialPageUrl()); }

QString TFrmMain::AboutText() const {
    QStringList lines;
    lines << QString::fromUtf8(kAppTitle);
    lines << Tr("Version:") + ' ' + QString::fromUtf8(kAppVersionText);
    lines << QString();
    lines << Tr("Website:") + ' ' + VendorAddress();
    lines << QString();
    lines << Tr("This program is provided as is, without warranty of any kind.");
    lines << Tr("It only reads the disk or image it scans and never writes to it.");
    lines << Tr("Save recovered files to a different disk than the one you recover from.");
    lines << Tr("Recovery of any particular file cannot be guaranteed.");
    lines << QString();
    lines << Q(Format(brivo::Translate("Copyright (C) %d Brivo File Recovery. All rights reserved."),
                      {QDate::currentDate().year()}));
    return lines.join('\n');
}

void TFrmMain::tbAboutClick() { Dialogs().Info(this, AboutText()); }

// --- language ---------------------------------------------------------------------------

void TFrmMain::BuildLanguageMenu() {
    for (QAction* a : languageGroup_->actions()) {
        languageGroup_->removeAction(a);
        delete a;
    }
    const TTranslation& t = Translation();
    for (int i = 0; i < t.ColumnCount(); ++i) {
        auto* a = new QAction(Q(t.LanguageName(i)), mmLanguage);
        a->setObjectName(QStringLiteral("mmLanguage%1").arg(i));
        a->setData(i);
        a->setCheckable(true);
        a->setChecked(i == t.CurrentIndex());
        languageGroup_->addAction(a);
        mmLanguage->addAction(a);
        connect(a, &QAction::triggered, this, [this, a] { LanguageMenuClick(a); });
    }
}

void TFrmMain::LanguageMenuClick(QAction* item) {
    for (QAction* a : mmLanguage->actions()) a->setChecked(false);
    TTranslation& t = Translation();
    const int index = item->data().toInt();
    if (index < 0 || index >= t.ColumnCount()) return;
    item->setChecked(true);
    const int before = t.CurrentIndex();
    t.SetCurrentIndex(index);
    t.CurrentCode = t.LanguageCode(index);
    SaveLanguageSetting();
    // The status was translated when it was set: say it again in the new language.
    statusText_ = t.Retranslate(statusText_, before, index);
    if (StatusLabel) StatusLabel->setText(ShownStatus());
    // The results are the worker's while it runs: their texts follow when it is done.
    conditionsStale_ = true;
    if (!ScanBusy()) RetranslateConditions();
    ApplyUITexts();
    if (cbVolume->isVisibleTo(this)) DescribeShownVolumes();
}

namespace {
// A text of any language of the table said in the current one. The condition of a result
// in pieces carries a translated suffix, which is said again on its own.
std::string InCurrentLanguage(const TTranslation& t, const std::string& text) {
    const int to = t.CurrentIndex();
    for (int from = 0; from < t.ColumnCount(); ++from) {
        if (from == to) continue;
        std::string said = t.Retranslate(text, from, to);
        if (said != text) return said;
        const std::string suffix = t.Retranslate(", in pieces", 0, from);
        if (text.size() > suffix.size() && text.ends_with(suffix)) {
            const std::string head = text.substr(0, text.size() - suffix.size());
            said = t.Retranslate(head, from, to);
            if (said != head) return said + t.Retranslate(", in pieces", 0, to);
        }
    }
    return text;
}
} // namespace

void TFrmMain::RetranslateConditions() {
    conditionsStale_ = false;
    const TTranslation& t = Translation();
    // A scan has a handful of different condition texts, repeated over its results.
    std::unordered_map<std::string, std::string> said;
    for (TFoundFile& f : FScanState.FFound) {
        auto it = said.find(f.DamageText);
        if (it == said.end()) it = said.emplace(f.DamageText, InCurrentLanguage(t, f.DamageText)).first;
        if (it->second != f.DamageText) f.DamageText = it->second;
    }
}

} // namespace brivo
