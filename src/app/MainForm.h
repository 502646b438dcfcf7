#pragma once
#include <QElapsedTimer>
#include <QImage>
#include <QMainWindow>
#include <QStringList>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/ScanHost.h"
#include "core/ScanState.h"
#include "core/SourceSelection.h"
#include "platform/DiskService.h"
#include "driver/ScanDriver.h"
#include "driver/Engine.h"
#include "results/Preview.h"
#include "volumes/VolumeList.h"
#include "results/RecoveryBatch.h"
#include "results/ResultsModel.h"
#include "results/FolderTree.h"

class QAction;
class QActionGroup;
class QCheckBox;
class QSplitter;
class QTimer;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QTableView;
class QToolBar;
class QTreeView;

namespace brivo {

class TResultsTableModel;
class TFolderTreeModel;
class TThumbnailModel;
class TThumbnailView;

// What the window needs from outside; tests replace the parts that touch the machine.
struct TFrmMainOptions {
    // Unpack (link) the engine tools into a private folder at creation, remove it at the end.
    bool UnpackEngine = true;
    // Lists the drive names for cbDisk / cbRecycleBinDisk; default: the block devices.
    std::function<std::vector<std::string>()> ListDrives;
    // The text a drive list shows for a device name; default: size, model or file system
    // and label when the drive list is the machine's own, else the bare name.
    std::function<std::string(const std::string&)> DescribeDrive;
    // Opens a disk or image to list its volumes; default: the volume list of the core.
    std::function<TSourceVolumes(const std::string&)> ListVolumes;
    // Lists them again with the search for lost volumes at every sector (on a thread of
    // its own); default: the core's. progress returns false when the user stops it.
    std::function<TSourceVolumes(const std::string&, const TSearchProgress&)> SearchLostVolumes;
    // The system volume's name in the drive lists (e.g. "sda2"); default: the device at "/".
    std::function<std::string()> SystemDrive;
    // Debug log file; default in the user's state folder (platform/DebugLogLocation.h).
    std::string DebugLogPath;
    // The scanners the driver runs; default the real readers.
    std::optional<TScanRoutes> Routes;
};

// The main window. It owns the scan state, the engine context and the scan driver and is
// the scan host: handlers read their widgets into a TScanChoice and call the core.
//
// A column-header click while a scan runs only records the new sort choice (and shows it
// on the header); FFound then belongs to the worker, and the list is empty anyway. The
// scan's completion step rebuilds the list through PopulateResults, which sorts by that
// choice, so the click takes effect exactly when the results arrive.
class TFrmMain : public QMainWindow, public TScanHost {
    Q_OBJECT
public:
    explicit TFrmMain(TFrmMainOptions options = {}, QWidget* parent = nullptr);
    ~TFrmMain() override;

    // --- TScanHost
    bool IsUiThread() const override;
    void Queue(std::function<void()> step) override;
    void AddMemoLine(const std::string& line) override;
    void ClearMemo() override;
    void SetStatusText(const std::string& text) override;
    void SetProgress(TProgressStyle style, int position) override;
    void SetBusyWidgets(bool busy) override;
    void ClearResults() override;
    void PopulateResults() override;
    void ShowWarning(const std::string& text) override;
    void ShowError(const std::string& text) override;
    void ShowInfo(const std::string& text) override;
    std::string Translate(const std::string& text) override;
    std::string DebugLogPath() const override { return debugLogPath_; }

    // --- commands
    void tbFastScanClick();
    void tbStopClick();
    void tbRecoverSelClick();
    // Saves the last scan's results to a file, and opens such a file in place of a scan.
    void SaveScanClick();
    void OpenScanClick();
    // After a saved scan of a disk image opened: the choice band names that image and volume.
    void ShowSavedScanSource();
    // File > Save Disk Image...: the chosen disk or image (and volume) copied into an image.
    void SaveDiskImageClick();
    // The recovery summary box, with the offer to open the output folder.
    void ShowRecoverySummary(const TRecoverySummary& summary);
    void btCheckAllClick();
    void btUncheckAllClick();
    void CheckSelected1Click();
    void UncheckSelected1Click();
    void lvFilesColumnClick(int column);
    void cbWhereToScanChange();
    void cbWhatToSearchChange();
    void SelectSource(int index);  // Disk1Click .. RecycleBin1Click
    void SelectFilter(int index);  // AllCustomFormats1Click .. Videos1Click
    void btnDiskRefreshClick();
    void btnRefreshRecycleBinDiskClick();
    void BrowseDiskImage();
    void BrowseFolder();
    void tbWebClick();
    // Opens a page in the browser, or shows its address when no browser starts.
    void OpenPage(const QString& url);
    void ContactUs1Click();
    void utorial1Click();
    void tbAboutClick();
    void LanguageMenuClick(QAction* item);
    void ApplyUITexts();
    void BuildLanguageMenu();
    void RefreshDriveLists();
    // The drive lists again, each keeping the device chosen in it: a card was put in or
    // taken out.
    void RefreshDriveListsKeepingChoice();
    void FillDriveList(QComboBox* list, const QString& preferred);
    // Shows a drive list's text from its start (the device's name), the whole of it as a hint.
    void ShowDriveStart(QComboBox* list);
    // Lists the volumes of the chosen disk or image in cbVolume, shown only when there
    // is a choice to make (a partition table with more than one volume).
    void RefreshVolumeList();
    // Fills cbVolume from a listing; a source with nothing recognised on it offers
    // btnSearchVolumes instead.
    void ShowVolumes(const TSourceVolumes& v);
    void DescribeShownVolumes();
    // "Search for lost volumes": lists the source again searching every sector, off the
    // UI thread; pressed again while it runs, stops it.
    void btnSearchVolumesClick();
    void VolumeSearchDone(const QString& src, std::shared_ptr<TSourceVolumes> found, const std::string& error);
    void BrowseRecycleBinImage();
    void FormResize();
    void ResizeResultColumns();
    void PlaceProgressBar();
    // The filter box above the list changed (applied after a short pause in typing).
    void edResultFilterChange();
    void ApplyResultFilter();
    // Scans again with the last scan's choice, masks and cleanup off.
    void ShowHiddenClick();
    // Scans the last choice again with the free-space sweep.
    void DeepScanClick();
    // Space on the list: flips the marks of the selected rows.
    void ToggleSelectedChecks();
    // A name without content chosen (double-click or Enter on its row): its candidates,
    // the content finds of its kind in the same area, are selected beside it (the whole
    // volume's folder shown, so they are in the list) and the first is scrolled to.
    // Returns how many were selected.
    int SelectCandidates(int row);
    // Enables each command exactly when it can act (busy, rows, marks).
    void UpdateCommandStates();
    // "N shown of M" and the count of what the last scan left out.
    void UpdateCountLabels();

    // --- folder tree
    void ShowFoldersClick(bool shown);
    // A folder chosen in the tree narrows the list to it and below.
    void FolderChosen();
    // A folder's check box: marks or unmarks every result under it.
    void FolderCheckClick(uint32_t folder, bool checked);
    // The tree of the shown results; null while it is being built or before a scan.
    const TFolderTree* FolderTree() const { return folderTree_.get(); }
    TFolderTreeModel* FolderModel() const { return FFolderModel; }
    // Waits, running queued steps, until the tree of the shown results is built (tests).
    bool WaitForFolderTree(int timeoutMs);

    // --- preview pane
    void ShowPreviewClick(bool shown);
    // Asks for the preview of the current row (when the pane is shown).
    void UpdatePreview();
    // What the pane shows: "", "loading", "image", "text", "hex", "none" (no extractor),
    // "error".
    QString PreviewMode() const { return previewMode_; }

    // --- picture grid
    // View > Thumbnails: the results area shows the pictures among the listed results as
    // tiles in place of the list.
    void ShowThumbnailsClick(bool shown);
    TThumbnailModel* ThumbnailModel() const { return FThumbModel; }

    // --- queries
    TScanChoice ReadChoice() const;
    QString AboutText() const;
    const std::string& StatusText() const { return statusText_; }
    int CountChecked() const;
    bool ScanBusy() const;
    // Waits, running queued steps, until the running scan has handed over (tests, close).
    bool WaitForScan(int timeoutMs);
    TScanState& ScanState() { return FScanState; }
    TEngineContext& Engine() { return FEngine; }
    const TSortState& Sort() const { return FSort; }
    TResultsTableModel* ResultsModel() const { return FResultsModel; }

    // The text the status label shows (the status text, plus the elapsed time while busy).
    QString ShownStatus() const;

    // --- widgets (named as the commands and texts refer to them)
    QToolBar* ToolBar1 = nullptr;
    QToolBar* ToolBar2 = nullptr;
    QAction* tbFastScan = nullptr;
    QAction* tbStop = nullptr;
    QAction* btCheckAll = nullptr;
    QAction* btUncheckAll = nullptr;
    QAction* tbRecoverSel = nullptr;
    QAction* tbLanguage = nullptr;
    QAction* tbAbout = nullptr;

    QMenu* File1 = nullptr;
    QMenu* WheretoScan1 = nullptr;
    QAction* Disk1 = nullptr;
    QAction* DiskImage1 = nullptr;
    QAction* Folder1 = nullptr;
    QAction* RecycleBin1 = nullptr;
    QMenu* Whattosearch1 = nullptr;
    QAction* AllCustomFormats1 = nullptr;
    QAction* Documents1 = nullptr;
    QAction* Images1 = nullptr;
    QAction* Music1 = nullptr;
    QAction* Videos1 = nullptr;
    QAction* OpenScan1 = nullptr;
    QAction* SaveScan1 = nullptr;
    QAction* SaveDiskImage1 = nullptr;
    QAction* Exit1 = nullptr;
    QMenu* Run1 = nullptr;
    QAction* StartScan1 = nullptr;
    QAction* StopScan1 = nullptr;
    QAction* Recover1 = nullptr;
    QMenu* Edit1 = nullptr;
    QAction* CheckSelected2 = nullptr;
    QAction* UncheckSelected2 = nullptr;
    QAction* CheckAll1 = nullptr;
    QAction* UncheckAll1 = nullptr;
    QMenu* View1 = nullptr;
    QMenu* mmLanguage = nullptr;
    QAction* ShowPreview1 = nullptr;
    QAction* ShowFolders1 = nullptr;
    QAction* ShowThumbnails1 = nullptr;
    QMenu* Help1 = nullptr;
    QAction* utorial1 = nullptr;
    QAction* ContactUs1 = nullptr;
    QAction* VisitWebsite1 = nullptr;
    QAction* About1 = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* CheckSelected1 = nullptr;
    QAction* UncheckSelected1 = nullptr;

    QWidget* ChoiceBand = nullptr;
    QGroupBox* GroupBox4 = nullptr;
    QComboBox* cbWhereToScan = nullptr;
    QStackedWidget* CardPanelWhereToScan = nullptr;
    QWidget* CardDisk = nullptr;
    QComboBox* cbDisk = nullptr;
    QPushButton* btnDiskRefresh = nullptr;
    QWidget* CardDiskImage = nullptr;
    QLineEdit* EdDiskImagePath = nullptr;
    QPushButton* btnDiskImageBrowse = nullptr;
    QWidget* CardFolder = nullptr;
    QLineEdit* edFolder = nullptr;
    QPushButton* btnFolderBrowse = nullptr;
    QWidget* CardRecycleBin = nullptr;
    QComboBox* cbRecycleBinDisk = nullptr;
    QPushButton* btnRefreshRecycleBinDisk = nullptr;
    QPushButton* btnRecycleBinImage = nullptr;
    QComboBox* cbVolume = nullptr;
    QPushButton* btnSearchVolumes = nullptr;

    QGroupBox* GroupBox5 = nullptr;
    QComboBox* cbWhatToSearch = nullptr;
    QStackedWidget* CardPanelWhatToSearch = nullptr;
    QLineEdit* EdAllCustomFormats = nullptr;
    QLineEdit* EdDocumentsFilter = nullptr;
    QLineEdit* EdImages = nullptr;
    QLineEdit* EdMusic = nullptr;
    QLineEdit* EdVideos = nullptr;

    QCheckBox* cbDeepScan = nullptr;

    QLineEdit* edResultFilter = nullptr;
    QSplitter* ResultsSplitter = nullptr;
    QSplitter* FoldersSplitter = nullptr;
    QTreeView* tvFolders = nullptr;
    QTableView* lvFiles = nullptr;
    QStackedWidget* ResultsStack = nullptr;  // lvFiles or lvThumbs
    TThumbnailView* lvThumbs = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QLabel* StatusLabel = nullptr;
    QLabel* HiddenLabel = nullptr;
    QLabel* CountLabel = nullptr;
    QProgressBar* FProgress = nullptr;
    QPlainTextEdit* memoLog = nullptr;

    QWidget* PreviewPane = nullptr;
    QLabel* PreviewInfo = nullptr;
    QStackedWidget* PreviewStack = nullptr;
    QLabel* PreviewImage = nullptr;
    QPlainTextEdit* PreviewTextView = nullptr;

    // The filter of the image dialog.
    static const char* const kImageFilter;
    // The filter of the saved-scan dialogs, and the extension a saved scan gets.
    static const char* const kSavedScanFilter;
    static const char* const kSavedScanSuffix;

protected:
    void closeEvent(QCloseEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void CreateActions();
    void CreateMenus();
    void CreateToolBars(QWidget* band);
    void CreateChoiceBand();
    void CreateResultsList();
    void CreatePreviewPane();
    void CreateFolderPane();
    void CreateThumbnailGrid();
    // The tiles chosen in the grid become the selected rows of the list (and its current
    // row the current tile's), so the preview and the list's commands follow the grid.
    void ThumbnailSelectionChanged();
    // Builds the tree of FFound on a worker; the result arrives through FolderTreeBuilt.
    void StartFolderTreeBuild();
    // Ends a build in progress (FFound is about to change); true when one was running.
    bool StopFolderTreeBuild();
    void FolderTreeBuilt(uint64_t generation, std::shared_ptr<TFolderTree> tree);
    // Condition texts are made in the language of the scan: say them in the current one.
    void RetranslateConditions();
    void ShowPreviewBytes(uint64_t ticket, const TFoundFile& f, TPreviewBytes bytes, const QImage& picture);
    void ScalePreviewImage();
    void FormCreate();
    void FormDestroy();
    // Ends a running scan before anything it reports to goes away.
    void StopWorker();
    QString Tr(const char* text) const;

    TFrmMainOptions options_;
    TScanState FScanState;
    TEngineContext FEngine;
    std::unique_ptr<TScanDriver> FDriver;
    std::unique_ptr<TRecoveryBatch> FRecovery;  // the Recover command's worker
    TSortState FSort;
    TResultsTableModel* FResultsModel = nullptr;
    TFolderTreeModel* FFolderModel = nullptr;
    TThumbnailModel* FThumbModel = nullptr;
    bool syncingSelection_ = false;
    std::shared_ptr<TFolderTree> folderTree_;
    std::thread treeWorker_;
    std::atomic<bool> treeStop_{false};
    uint64_t treeGeneration_ = 0;
    bool conditionsStale_ = false;
    QActionGroup* sourceGroup_ = nullptr;
    QActionGroup* filterGroup_ = nullptr;
    QActionGroup* languageGroup_ = nullptr;
    std::string statusText_;
    std::string debugLogPath_;
    QTimer* filterTimer_ = nullptr;
    QTimer* driveListTimer_ = nullptr;  // gathers the disk service's bursts of changes
    std::unique_ptr<TDiskServiceWatch> diskServiceWatch_;
    QTimer* elapsedTimer_ = nullptr;
    QElapsedTimer scanClock_;
    bool busyWidgets_ = false;
    TScanChoice lastChoice_;
    bool haveLastChoice_ = false;
    bool openingSavedScan_ = false;  // the band is set to the saved scan's source when it opens
    bool lastShowedHidden_ = false;
    std::unique_ptr<TPreviewLoader> previewLoader_;
    uint64_t previewTicket_ = 0;
    QString previewMode_;
    QString volumeSource_;  // the source cbVolume lists
    std::vector<TVolume> shownVolumes_;  // what cbVolume lists, described again in a new language
    uint32_t shownSectorSize_ = 512;
    std::thread volumeSearch_;
    std::atomic<bool> volumeSearchStop_{false};
    bool volumeSearchRunning_ = false;
    QImage previewImage_;
    bool busyCursor_ = false;
    bool destroying_ = false;
};

} // namespace brivo
