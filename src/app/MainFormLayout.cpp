// Construction and layout of the main window: menus, tool bars, the choice band with
// its card panels, the results list and the status bar.
#include "app/MainForm.h"

#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QCompleter>
#include <QEvent>
#include <QKeyEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QAbstractItemView>
#include <QScreen>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTableView>
#include <QToolBar>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <cmath>

#include "app/AppInfo.h"
#include "app/AppResources.h"
#include "app/FolderTreeModel.h"
#include "app/ResultsTableModel.h"
#include "app/ThumbnailView.h"
#include "app/Translation.h"
#include "driver/ScanDriver.h"
#include "core/ScanChoices.h"
#include "platform/DebugLogLocation.h"
#include "core/ScanLog.h"
#include "app/WindowPlatform.h"

namespace brivo {

namespace {

constexpr int kToolBandHeight = 64;
constexpr int kChoiceBandHeight = 82;
constexpr int kStatusBarHeight = 20;
constexpr int kToolButtonWidth = 70;
constexpr int kRightToolBarWidth = 152;
constexpr int kGroupBoxLeft = 7;  // L of the choice band layout
constexpr int kFolderPaneWidth = 210;

QAction* NewAction(QObject* parent, const char* objectName, const char* iconName = nullptr) {
    auto* a = new QAction(parent);
    a->setObjectName(QString::fromLatin1(objectName));
    if (iconName) a->setIcon(QIcon(QStringLiteral(":/icons/%1.png").arg(QLatin1String(iconName))));
    return a;
}

QWidget* NewCard(const char* name, QWidget* field, QPushButton* button) {
    auto* card = new QWidget;
    card->setObjectName(QString::fromLatin1(name));
    auto* lay = new QHBoxLayout(card);
    lay->setContentsMargins(0, 0, 0, 0);
    lay->addWidget(field, 1);
    lay->addWidget(button);
    return card;
}

int RoundHalfEven(double v) { return static_cast<int>(std::nearbyint(v)); }

} // namespace

const char* const TFrmMain::kImageFilter =
    "Disk images (*.dd;*.img;*.raw;*.bin;*.iso;*.E01;*.Ex01;*.ewf;*.vhd;*.vhdx;*.vmdk;*.qcow2;*.qcow;*.aff)|"
    "*.dd;*.img;*.raw;*.bin;*.iso;*.E01;*.Ex01;*.ewf;*.vhd;*.vhdx;*.vmdk;*.qcow2;*.qcow;*.aff|"
    "Raw images (*.dd;*.img;*.raw;*.bin;*.iso)|*.dd;*.img;*.raw;*.bin;*.iso|"
    "Forensic images (*.E01;*.Ex01;*.ewf)|*.E01;*.Ex01;*.ewf|"
    "Virtual machine disks (*.vhd;*.vhdx;*.vmdk;*.qcow2;*.qcow)|*.vhd;*.vhdx;*.vmdk;*.qcow2;*.qcow|"
    "AFF images (*.aff)|*.aff|All files (*.*)|*.*";

TFrmMain::TFrmMain(TFrmMainOptions options, QWidget* parent)
    : QMainWindow(parent), options_(std::move(options)) {
    InitAppResources();
    setObjectName(QStringLiteral("FrmMain"));
    debugLogPath_ = options_.DebugLogPath.empty() ? DebugLogFilePath(kDebugLogFileName) : options_.DebugLogPath;
    if (!options_.ListDrives) {
        options_.ListDrives = [] { return ListBlockDevicesForWindow(); };
        if (!options_.DescribeDrive) options_.DescribeDrive = [](const std::string& n) { return DescribeBlockDevice(n); };
        // A card put in or taken out shows in the lists without an Update press. A device
        // comes as a burst of signals (the disk, then each partition): one refresh after.
        driveListTimer_ = new QTimer(this);
        driveListTimer_->setSingleShot(true);
        driveListTimer_->setInterval(300);
        connect(driveListTimer_, &QTimer::timeout, this, &TFrmMain::RefreshDriveListsKeepingChoice);
        diskServiceWatch_ = std::make_unique<TDiskServiceWatch>([this] { driveListTimer_->start(); });
    }
    if (!options_.DescribeDrive) options_.DescribeDrive = [](const std::string& n) { return n; };
    if (!options_.ListVolumes) options_.ListVolumes = [](const std::string& src) { return ListVolumes(src); };
    if (!options_.SearchLostVolumes)
        options_.SearchLostVolumes = [](const std::string& src, const TSearchProgress& progress) {
            return ListVolumes(src, TSearchDepth::EverySector, progress);
        };
    if (!options_.SystemDrive) options_.SystemDrive = [] { return SystemDriveName(); };

    CreateActions();
    CreateMenus();

    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    auto* toolBand = new QWidget(central);
    toolBand->setObjectName(QStringLiteral("ToolBand"));
    toolBand->setFixedHeight(kToolBandHeight);
    CreateToolBars(toolBand);
    column->addWidget(toolBand);
    CreateChoiceBand();
    ChoiceBand->setParent(central);
    column->addWidget(ChoiceBand);
    CreateResultsList();
    auto* filterRow = new QHBoxLayout;
    filterRow->setContentsMargins(kGroupBoxLeft, 2, kGroupBoxLeft, 2);
    filterRow->addWidget(edResultFilter, 1);
    column->addLayout(filterRow);
    ResultsSplitter = new QSplitter(Qt::Horizontal, central);
    ResultsSplitter->setObjectName(QStringLiteral("ResultsSplitter"));
    ResultsSplitter->setChildrenCollapsible(false);
    ResultsStack = new QStackedWidget;
    ResultsStack->setObjectName(QStringLiteral("ResultsStack"));
    ResultsStack->addWidget(lvFiles);
    ResultsSplitter->addWidget(ResultsStack);
    CreatePreviewPane();
    ResultsSplitter->addWidget(PreviewPane);
    ResultsSplitter->setStretchFactor(0, 3);
    ResultsSplitter->setStretchFactor(1, 2);
    // The folder tree on the left of the list and preview.
    CreateFolderPane();
    FoldersSplitter = new QSplitter(Qt::Horizontal, central);
    FoldersSplitter->setObjectName(QStringLiteral("FoldersSplitter"));
    FoldersSplitter->setChildrenCollapsible(false);
    FoldersSplitter->addWidget(tvFolders);
    FoldersSplitter->addWidget(ResultsSplitter);
    FoldersSplitter->setStretchFactor(0, 0);
    FoldersSplitter->setStretchFactor(1, 1);
    FoldersSplitter->setSizes({kFolderPaneWidth, 1000});
    CreateThumbnailGrid();
    column->addWidget(FoldersSplitter, 1);
    setCentralWidget(central);

    StatusBar1 = statusBar();
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setFixedHeight(kStatusBarHeight);
    StatusBar1->setSizeGripEnabled(false);
    StatusLabel = new QLabel(StatusBar1);
    StatusLabel->setObjectName(QStringLiteral("StatusLabel"));
    StatusBar1->addWidget(StatusLabel, 1);
    HiddenLabel = new QLabel(StatusBar1);
    HiddenLabel->setObjectName(QStringLiteral("HiddenLabel"));
    HiddenLabel->setTextFormat(Qt::RichText);
    HiddenLabel->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    HiddenLabel->setVisible(false);
    connect(HiddenLabel, &QLabel::linkActivated, this, [this](const QString& link) {
        if (link == QStringLiteral("deep-scan"))
            DeepScanClick();
        else
            ShowHiddenClick();
    });
    StatusBar1->addWidget(HiddenLabel);
    CountLabel = new QLabel(StatusBar1);
    CountLabel->setObjectName(QStringLiteral("CountLabel"));
    CountLabel->setVisible(false);
    StatusBar1->addWidget(CountLabel);

    memoLog = new QPlainTextEdit(this);
    memoLog->setObjectName(QStringLiteral("memoLog"));
    memoLog->setReadOnly(true);
    memoLog->setVisible(false);

    FormCreate();
}

void TFrmMain::CreateActions() {
    tbFastScan = NewAction(this, "tbFastScan", "scan");
    tbStop = NewAction(this, "tbStop", "stop");
    btCheckAll = NewAction(this, "btCheckAll", "check-all");
    btUncheckAll = NewAction(this, "btUncheckAll", "uncheck-all");
    tbRecoverSel = NewAction(this, "tbRecoverSel", "recover");
    // A globe reads as "language": the button opens the Language menu (the website is under Help).
    tbLanguage = NewAction(this, "tbLanguage", "web");
    tbAbout = NewAction(this, "tbAbout", "about");
    // Captions of the tool buttons are not shown; the hints are.
    tbFastScan->setText(QStringLiteral("Scan"));
    tbStop->setText(QStringLiteral("Stop"));
    btCheckAll->setText(QStringLiteral("Check All"));
    btUncheckAll->setText(QStringLiteral("Uncheck All"));
    tbRecoverSel->setText(QStringLiteral("Recover"));
    tbLanguage->setText(QStringLiteral("Language"));
    tbAbout->setText(QStringLiteral("About"));

    connect(tbFastScan, &QAction::triggered, this, &TFrmMain::tbFastScanClick);
    connect(tbStop, &QAction::triggered, this, &TFrmMain::tbStopClick);
    connect(btCheckAll, &QAction::triggered, this, &TFrmMain::btCheckAllClick);
    connect(btUncheckAll, &QAction::triggered, this, &TFrmMain::btUncheckAllClick);
    connect(tbRecoverSel, &QAction::triggered, this, &TFrmMain::tbRecoverSelClick);
    connect(tbAbout, &QAction::triggered, this, &TFrmMain::tbAboutClick);
}

void TFrmMain::CreateMenus() {
    QMenuBar* bar = menuBar();
    File1 = bar->addMenu(QString());
    File1->setObjectName(QStringLiteral("File1"));
    WheretoScan1 = File1->addMenu(QString());
    WheretoScan1->setObjectName(QStringLiteral("WheretoScan1"));
    sourceGroup_ = new QActionGroup(this);
    sourceGroup_->setExclusive(true);
    QAction** sources[] = {&Disk1, &DiskImage1, &Folder1, &RecycleBin1};
    const char* sourceNames[] = {"Disk1", "DiskImage1", "Folder1", "RecycleBin1"};
    for (int i = 0; i < 4; ++i) {
        QAction* a = NewAction(this, sourceNames[i]);
        a->setCheckable(true);
        sourceGroup_->addAction(a);
        WheretoScan1->addAction(a);
        connect(a, &QAction::triggered, this, [this, i] { SelectSource(i); });
        *sources[i] = a;
    }
    Whattosearch1 = File1->addMenu(QString());
    Whattosearch1->setObjectName(QStringLiteral("Whattosearch1"));
    filterGroup_ = new QActionGroup(this);
    filterGroup_->setExclusive(true);
    QAction** filters[] = {&AllCustomFormats1, &Documents1, &Images1, &Music1, &Videos1};
    const char* filterNames[] = {"AllCustomFormats1", "Documents1", "Images1", "Music1", "Videos1"};
    for (int i = 0; i < 5; ++i) {
        QAction* a = NewAction(this, filterNames[i]);
        a->setCheckable(true);
        filterGroup_->addAction(a);
        Whattosearch1->addAction(a);
        connect(a, &QAction::triggered, this, [this, i] { SelectFilter(i); });
        *filters[i] = a;
    }
    File1->addSeparator();
    OpenScan1 = NewAction(this, "OpenScan1");
    SaveScan1 = NewAction(this, "SaveScan1");
    File1->addAction(OpenScan1);
    File1->addAction(SaveScan1);
    connect(OpenScan1, &QAction::triggered, this, &TFrmMain::OpenScanClick);
    connect(SaveScan1, &QAction::triggered, this, &TFrmMain::SaveScanClick);
    SaveDiskImage1 = NewAction(this, "SaveDiskImage1");
    File1->addAction(SaveDiskImage1);
    connect(SaveDiskImage1, &QAction::triggered, this, &TFrmMain::SaveDiskImageClick);
    File1->addSeparator();
    Exit1 = NewAction(this, "Exit1");
    File1->addAction(Exit1);
    connect(Exit1, &QAction::triggered, this, &QWidget::close);

    Run1 = bar->addMenu(QString());
    Run1->setObjectName(QStringLiteral("Run1"));
    StartScan1 = NewAction(this, "StartScan1");
    StopScan1 = NewAction(this, "StopScan1");
    Recover1 = NewAction(this, "Recover1");
    Run1->addAction(StartScan1);
    Run1->addAction(StopScan1);
    Run1->addSeparator();
    Run1->addAction(Recover1);
    connect(StartScan1, &QAction::triggered, this, &TFrmMain::tbFastScanClick);
    connect(StopScan1, &QAction::triggered, this, &TFrmMain::tbStopClick);
    connect(Recover1, &QAction::triggered, this, &TFrmMain::tbRecoverSelClick);

    Edit1 = bar->addMenu(QString());
    Edit1->setObjectName(QStringLiteral("Edit1"));
    CheckSelected2 = NewAction(this, "CheckSelected2");
    UncheckSelected2 = NewAction(this, "UncheckSelected2");
    CheckAll1 = NewAction(this, "CheckAll1");
    UncheckAll1 = NewAction(this, "UncheckAll1");
    Edit1->addAction(CheckSelected2);
    Edit1->addAction(UncheckSelected2);
    Edit1->addSeparator();
    Edit1->addAction(CheckAll1);
    Edit1->addAction(UncheckAll1);
    connect(CheckSelected2, &QAction::triggered, this, &TFrmMain::CheckSelected1Click);
    connect(UncheckSelected2, &QAction::triggered, this, &TFrmMain::UncheckSelected1Click);
    connect(CheckAll1, &QAction::triggered, this, &TFrmMain::btCheckAllClick);
    connect(UncheckAll1, &QAction::triggered, this, &TFrmMain::btUncheckAllClick);

    View1 = bar->addMenu(QString());
    View1->setObjectName(QStringLiteral("View1"));
    mmLanguage = View1->addMenu(QString());
    mmLanguage->setObjectName(QStringLiteral("mmLanguage"));
    languageGroup_ = new QActionGroup(this);
    languageGroup_->setExclusive(true);
    tbLanguage->setMenu(mmLanguage);

    Help1 = bar->addMenu(QString());
    Help1->setObjectName(QStringLiteral("Help1"));
    utorial1 = NewAction(this, "utorial1");
    ContactUs1 = NewAction(this, "ContactUs1");
    VisitWebsite1 = NewAction(this, "VisitWebsite1");
    About1 = NewAction(this, "About1");
    Help1->addAction(utorial1);
    Help1->addSeparator();
    Help1->addAction(ContactUs1);
    Help1->addAction(VisitWebsite1);
    Help1->addSeparator();
    Help1->addAction(About1);
    connect(utorial1, &QAction::triggered, this, &TFrmMain::utorial1Click);
    connect(ContactUs1, &QAction::triggered, this, &TFrmMain::ContactUs1Click);
    connect(VisitWebsite1, &QAction::triggered, this, &TFrmMain::tbWebClick);
    connect(About1, &QAction::triggered, this, &TFrmMain::tbAboutClick);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    CheckSelected1 = NewAction(this, "CheckSelected1");
    UncheckSelected1 = NewAction(this, "UncheckSelected1");
    PopupMenu1->addAction(CheckSelected1);
    PopupMenu1->addAction(UncheckSelected1);
    connect(CheckSelected1, &QAction::triggered, this, &TFrmMain::CheckSelected1Click);
    connect(UncheckSelected1, &QAction::triggered, this, &TFrmMain::UncheckSelected1Click);
}

void TFrmMain::CreateToolBars(QWidget* band) {
    auto* row = new QHBoxLayout(band);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    ToolBar1 = new QToolBar(band);
    ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar2 = new QToolBar(band);
    ToolBar2->setObjectName(QStringLiteral("ToolBar2"));
    for (QToolBar* tb : {ToolBar1, ToolBar2}) {
        tb->setIconSize(QSize(48, 48));
        tb->setToolButtonStyle(Qt::ToolButtonIconOnly);
        tb->setMovable(false);
        tb->setFloatable(false);
        tb->setFixedHeight(kToolBandHeight);
    }
    ToolBar1->addAction(tbFastScan);
    ToolBar1->addAction(tbStop);
    ToolBar1->addSeparator();
    ToolBar1->addAction(btCheckAll);
    ToolBar1->addAction(btUncheckAll);
    ToolBar1->addAction(tbRecoverSel);
    ToolBar2->addAction(tbLanguage);
    if (auto* b = qobject_cast<QToolButton*>(ToolBar2->widgetForAction(tbLanguage)))
        b->setPopupMode(QToolButton::InstantPopup);
    ToolBar2->addAction(tbAbout);
    ToolBar2->setFixedWidth(kRightToolBarWidth);
    for (QToolBar* tb : {ToolBar1, ToolBar2})
        for (QAction* a : tb->actions())
            if (QWidget* w = tb->widgetForAction(a); w && !a->isSeparator()) {
                w->setFixedWidth(kToolButtonWidth);
                w->setObjectName(a->objectName() + QStringLiteral("Button"));
            }
    row->addWidget(ToolBar1, 1);
    row->addWidget(ToolBar2);
}

void TFrmMain::CreateChoiceBand() {
    ChoiceBand = new QWidget;
    ChoiceBand->setObjectName(QStringLiteral("ChoiceBand"));
    ChoiceBand->setFixedHeight(kChoiceBandHeight);
    ChoiceBand->installEventFilter(this);

    GroupBox4 = new QGroupBox(ChoiceBand);
    GroupBox4->setObjectName(QStringLiteral("GroupBox4"));
    cbWhereToScan = new QComboBox(GroupBox4);
    cbWhereToScan->setObjectName(QStringLiteral("cbWhereToScan"));
    cbWhereToScan->setMinimumWidth(130);
    CardPanelWhereToScan = new QStackedWidget(GroupBox4);
    CardPanelWhereToScan->setObjectName(QStringLiteral("CardPanelWhereToScan"));

    cbDisk = new QComboBox;
    cbDisk->setObjectName(QStringLiteral("cbDisk"));
    btnDiskRefresh = new QPushButton;
    btnDiskRefresh->setObjectName(QStringLiteral("btnDiskRefresh"));
    CardDisk = NewCard("CardDisk", cbDisk, btnDiskRefresh);
    EdDiskImagePath = new QLineEdit;
    EdDiskImagePath->setObjectName(QStringLiteral("EdDiskImagePath"));
    btnDiskImageBrowse = new QPushButton;
    btnDiskImageBrowse->setObjectName(QStringLiteral("btnDiskImageBrowse"));
    CardDiskImage = NewCard("CardDiskImage", EdDiskImagePath, btnDiskImageBrowse);
    edFolder = new QLineEdit;
    edFolder->setObjectName(QStringLiteral("edFolder"));
    btnFolderBrowse = new QPushButton;
    btnFolderBrowse->setObjectName(QStringLiteral("btnFolderBrowse"));
    CardFolder = NewCard("CardFolder", edFolder, btnFolderBrowse);
    cbRecycleBinDisk = new QComboBox;
    cbRecycleBinDisk->setObjectName(QStringLiteral("cbRecycleBinDisk"));
    btnRefreshRecycleBinDisk = new QPushButton;
    btnRefreshRecycleBinDisk->setObjectName(QStringLiteral("btnRefreshRecycleBinDisk"));
    CardRecycleBin = NewCard("CardRecycleBin", cbRecycleBinDisk, btnRefreshRecycleBinDisk);
    // A disk image's Recycle Bin: its path goes in the same field.
    btnRecycleBinImage = new QPushButton(CardRecycleBin);
    btnRecycleBinImage->setObjectName(QStringLiteral("btnRecycleBinImage"));
    CardRecycleBin->layout()->addWidget(btnRecycleBinImage);
    for (QWidget* card : {CardDisk, CardDiskImage, CardFolder, CardRecycleBin})
        CardPanelWhereToScan->addWidget(card);
    auto* whereRow = new QHBoxLayout(GroupBox4);
    whereRow->setContentsMargins(8, 4, 8, 8);
    whereRow->addWidget(cbWhereToScan);
    whereRow->addWidget(CardPanelWhereToScan, 1);
    cbVolume = new QComboBox(GroupBox4);
    cbVolume->setObjectName(QStringLiteral("cbVolume"));
    cbVolume->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    cbVolume->setMaximumWidth(320);
    cbVolume->setVisible(false);
    whereRow->addWidget(cbVolume);
    btnSearchVolumes = new QPushButton(GroupBox4);
    btnSearchVolumes->setObjectName(QStringLiteral("btnSearchVolumes"));
    btnSearchVolumes->setVisible(false);
    whereRow->addWidget(btnSearchVolumes);

    GroupBox5 = new QGroupBox(ChoiceBand);
    GroupBox5->setObjectName(QStringLiteral("GroupBox5"));
    cbWhatToSearch = new QComboBox(GroupBox5);
    cbWhatToSearch->setObjectName(QStringLiteral("cbWhatToSearch"));
    cbWhatToSearch->setMinimumWidth(150);
    CardPanelWhatToSearch = new QStackedWidget(GroupBox5);
    CardPanelWhatToSearch->setObjectName(QStringLiteral("CardPanelWhatToSearch"));
    QLineEdit** edits[] = {&EdAllCustomFormats, &EdDocumentsFilter, &EdImages, &EdMusic, &EdVideos};
    const char* editNames[] = {"EdAllCustomFormats", "EdDocumentsFilter", "EdImages", "EdMusic", "EdVideos"};
    for (int i = 0; i < 5; ++i) {
        auto* card = new QWidget;
        auto* lay = new QHBoxLayout(card);
        lay->setContentsMargins(0, 0, 0, 0);
        auto* ed = new QLineEdit(card);
        ed->setObjectName(QString::fromLatin1(editNames[i]));
        lay->addWidget(ed);
        CardPanelWhatToSearch->addWidget(card);
        *edits[i] = ed;
    }
    cbDeepScan = new QCheckBox(GroupBox5);
    cbDeepScan->setObjectName(QStringLiteral("cbDeepScan"));
    auto* whatRow = new QHBoxLayout(GroupBox5);
    whatRow->setContentsMargins(8, 4, 8, 8);
    whatRow->addWidget(cbWhatToSearch);
    whatRow->addWidget(CardPanelWhatToSearch, 1);
    whatRow->addWidget(cbDeepScan);

    connect(cbWhereToScan, &QComboBox::currentIndexChanged, this, &TFrmMain::cbWhereToScanChange);
    connect(cbWhatToSearch, &QComboBox::currentIndexChanged, this, &TFrmMain::cbWhatToSearchChange);
    connect(btnDiskRefresh, &QPushButton::clicked, this, &TFrmMain::btnDiskRefreshClick);
    connect(btnRefreshRecycleBinDisk, &QPushButton::clicked, this, &TFrmMain::btnRefreshRecycleBinDiskClick);
}

void TFrmMain::CreateResultsList() {
    edResultFilter = new QLineEdit;
    edResultFilter->setObjectName(QStringLiteral("edResultFilter"));
    edResultFilter->setClearButtonEnabled(true);
    // A million paths take a moment to filter: wait for a pause in typing.
    filterTimer_ = new QTimer(this);
    filterTimer_->setSingleShot(true);
    filterTimer_->setInterval(200);
    connect(filterTimer_, &QTimer::timeout, this, &TFrmMain::ApplyResultFilter);
    connect(edResultFilter, &QLineEdit::textChanged, this, &TFrmMain::edResultFilterChange);
    connect(edResultFilter, &QLineEdit::returnPressed, this, &TFrmMain::ApplyResultFilter);

    lvFiles = new QTableView;
    lvFiles->setObjectName(QStringLiteral("lvFiles"));
    FResultsModel = new TResultsTableModel(this);
    lvFiles->setModel(FResultsModel);
    lvFiles->setShowGrid(true);
    lvFiles->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvFiles->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lvFiles->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvFiles->setSortingEnabled(false);  // FFound is sorted by the results model, not the view
    lvFiles->setWordWrap(false);
    lvFiles->setAlternatingRowColors(false);
    lvFiles->verticalHeader()->setVisible(false);
    // One fixed height for every row: the view then never measures rows, whatever their count.
    lvFiles->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    lvFiles->verticalHeader()->setDefaultSectionSize(lvFiles->fontMetrics().height() + 6);
    lvFiles->horizontalHeader()->setSectionsClickable(true);
    lvFiles->horizontalHeader()->setHighlightSections(false);
    lvFiles->horizontalHeader()->setStretchLastSection(false);
    lvFiles->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    lvFiles->setContextMenuPolicy(Qt::CustomContextMenu);
    lvFiles->viewport()->installEventFilter(this);
    lvFiles->installEventFilter(this);
    connect(FResultsModel, &TResultsTableModel::checksChanged, this, &TFrmMain::UpdateCommandStates);
    connect(FResultsModel, &QAbstractItemModel::modelReset, this, &TFrmMain::UpdateCountLabels);
    connect(lvFiles->horizontalHeader(), &QHeaderView::sectionClicked, this, &TFrmMain::lvFilesColumnClick);
    connect(lvFiles, &QAbstractItemView::activated, this, [this](const QModelIndex& i) { SelectCandidates(i.row()); });
    connect(lvFiles, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& p) { PopupMenu1->popup(lvFiles->viewport()->mapToGlobal(p)); });
}

void TFrmMain::FormCreate() {
    // 1. Caption.
    setWindowTitle(QString::fromUtf8(kAppTitle) + QStringLiteral(" ") + QString::fromUtf8(kAppVersionText));
    setWindowIcon(QIcon(QStringLiteral(":/icons/brivo-file-recovery.png")));
    // 2. Engine folder.
    if (options_.UnpackEngine) UnpackEngineFolder(FEngine, *this);
    // 3. Where and What lists (ApplyUITexts gives the final item texts).
    {
        const QSignalBlocker b1(cbWhereToScan), b2(cbWhatToSearch);
        for (const auto& k : kWhereKinds) cbWhereToScan->addItem(Tr(k.Caption));
        for (const auto& k : kWhatCategories) cbWhatToSearch->addItem(Tr(k.Caption));
        cbWhereToScan->setCurrentIndex(0);
        cbWhatToSearch->setCurrentIndex(0);
    }
    // 4. Initial masks.
    QLineEdit* edits[] = {EdAllCustomFormats, EdDocumentsFilter, EdImages, EdMusic, EdVideos};
    for (int i = 0; i < 5; ++i) edits[i]->setText(QString::fromStdString(DefaultMaskText(i)));
    // 5. Cards and the radio items of the menus.
    cbWhereToScanChange();
    cbWhatToSearchChange();
    // 6-8. Drive lists with typed completion; the system volume preselected for the Recycle Bin.
    for (QComboBox* cb : {cbDisk, cbRecycleBinDisk}) {
        cb->setEditable(true);
        cb->setInsertPolicy(QComboBox::NoInsert);
        cb->completer()->setCompletionMode(QCompleter::PopupCompletion);
        cb->completer()->setCaseSensitivity(Qt::CaseInsensitive);
    }
    RefreshDriveLists();
    const QString systemDrive = QString::fromStdString(options_.SystemDrive());
    if (!systemDrive.isEmpty()) {
        const int i = cbRecycleBinDisk->findText(systemDrive, Qt::MatchFixedString);
        if (i >= 0) cbRecycleBinDisk->setCurrentIndex(i);
    }
    for (QComboBox* cb : {cbDisk, cbRecycleBinDisk})
        connect(cb, &QComboBox::currentIndexChanged, this, [this, cb] { ShowDriveStart(cb); });
    // 9. Browse buttons.
    connect(btnDiskImageBrowse, &QPushButton::clicked, this, &TFrmMain::BrowseDiskImage);
    connect(btnRecycleBinImage, &QPushButton::clicked, this, &TFrmMain::BrowseRecycleBinImage);
    // The volume list follows the chosen disk or image.
    connect(cbDisk, &QComboBox::currentIndexChanged, this, &TFrmMain::RefreshVolumeList);
    connect(EdDiskImagePath, &QLineEdit::editingFinished, this, &TFrmMain::RefreshVolumeList);
    connect(btnSearchVolumes, &QPushButton::clicked, this, &TFrmMain::btnSearchVolumesClick);
    connect(btnFolderBrowse, &QPushButton::clicked, this, &TFrmMain::BrowseFolder);
    // 10. Result columns.
    ResizeResultColumns();
    // 11. Progress bar inside the status bar, placed by SetBusy.
    FProgress = new QProgressBar(StatusBar1);
    FProgress->setObjectName(QStringLiteral("FProgress"));
    FProgress->setVisible(false);
    FProgress->setRange(0, 100);
    FProgress->setValue(0);
    FProgress->setTextVisible(false);
    // 12-14. Runner, scan state and sort choice start at their defaults.
    FDriver = std::make_unique<TScanDriver>(FScanState, FEngine, *this,
                                           options_.Routes ? *options_.Routes : TScanRoutes::Default());
    FSort = TSortState{};
    // Keys: F5 scans, Esc stops, Ctrl+R recovers; Enter in a source or mask field scans.
    StartScan1->setShortcut(QKeySequence(Qt::Key_F5));
    StopScan1->setShortcut(QKeySequence(Qt::Key_Escape));
    Recover1->setShortcut(QKeySequence(QStringLiteral("Ctrl+R")));
    for (QLineEdit* ed : {EdDiskImagePath, edFolder, EdAllCustomFormats, EdDocumentsFilter, EdImages, EdMusic, EdVideos})
        connect(ed, &QLineEdit::returnPressed, this, &TFrmMain::tbFastScanClick);
    for (QComboBox* cb : {cbDisk, cbRecycleBinDisk})
        connect(cb->lineEdit(), &QLineEdit::returnPressed, this, &TFrmMain::tbFastScanClick);
    elapsedTimer_ = new QTimer(this);
    elapsedTimer_->setInterval(1000);
    connect(elapsedTimer_, &QTimer::timeout, this, [this] {
        if (StatusLabel) StatusLabel->setText(ShownStatus());
    });
    // Initial command states.
    UpdateCommandStates();
    // 15-17.
    SetStatusText(Translate("Ready."));
    BuildLanguageMenu();
    ApplyUITexts();

    resize(1024, 590 + menuBar()->sizeHint().height());
    if (QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
}

void TFrmMain::ApplyUITexts() {
    File1->setTitle(Tr("File"));
    Run1->setTitle(Tr("Run"));
    Edit1->setTitle(Tr("Edit"));
    View1->setTitle(Tr("View"));
    Help1->setTitle(Tr("Help"));
    WheretoScan1->setTitle(Tr("Source"));
    {
        QAction* where[] = {Disk1, DiskImage1, Folder1, RecycleBin1};
        for (size_t i = 0; i < kWhereKinds.size(); ++i) where[i]->setText(Tr(kWhereKinds[i].Caption));
    }
    Whattosearch1->setTitle(Tr("Filter"));
    {
        QAction* what[] = {AllCustomFormats1, Documents1, Images1, Music1, Videos1};
        for (size_t i = 0; i < kWhatCategories.size(); ++i) what[i]->setText(Tr(kWhatCategories[i].Caption));
    }
    OpenScan1->setText(Tr("Open Scan..."));
    SaveScan1->setText(Tr("Save Scan..."));
    SaveDiskImage1->setText(Tr("Save Disk Image..."));
    Exit1->setText(Tr("Exit"));
    StartScan1->setText(Tr("Start Scanning"));
    StopScan1->setText(Tr("Stop Scanning"));
    Recover1->setText(Tr("Recover..."));
    CheckSelected2->setText(Tr("Check Selected"));
    UncheckSelected2->setText(Tr("Uncheck Selected"));
    CheckAll1->setText(Tr("Check All"));
    UncheckAll1->setText(Tr("Uncheck All"));
    mmLanguage->setTitle(Tr("Language"));
    ShowPreview1->setText(Tr("Preview"));
    ShowFolders1->setText(Tr("Folders"));
    ShowThumbnails1->setText(Tr("Thumbnails"));
    lvThumbs->SetEmptyText(Tr("There are no pictures among the results shown."));
    FFolderModel->SetTexts(Tr("All folders"), Tr("Deleted folder"), Tr("Lost folder: where it stood is unknown"));
    utorial1->setText(Tr("Tutorial"));
    ContactUs1->setText(Tr("Contact Us"));
    VisitWebsite1->setText(Tr("Visit Website"));
    About1->setText(Tr("About..."));
    CheckSelected1->setText(Tr("Check Selected"));
    UncheckSelected1->setText(Tr("Uncheck Selected"));
    tbFastScan->setToolTip(Tr("Scan"));
    tbStop->setToolTip(Tr("Stop"));
    btCheckAll->setToolTip(Tr("Check All"));
    btUncheckAll->setToolTip(Tr("Uncheck All"));
    tbRecoverSel->setToolTip(Tr("Recover..."));
    tbLanguage->setToolTip(Tr("Language"));
    tbAbout->setToolTip(Tr("About Program..."));
    GroupBox4->setTitle(Tr("Where to Scan"));
    GroupBox5->setTitle(Tr("What to Search"));
    cbDeepScan->setText(Tr("Deep scan"));
    cbDeepScan->setToolTip(Tr("Also search free space for lost folders, then for files by their content (slower)"));
    edResultFilter->setPlaceholderText(Tr("Filter the list by name or path"));
    {
        // Item texts change, the selections stay (and no change handler runs).
        const QSignalBlocker b1(cbWhereToScan), b2(cbWhatToSearch);
        for (int i = 0; i < static_cast<int>(kWhereKinds.size()) && i < cbWhereToScan->count(); ++i)
            cbWhereToScan->setItemText(i, Tr(kWhereKinds[static_cast<size_t>(i)].Caption));
        for (int i = 0; i < kWhatCount && i < cbWhatToSearch->count(); ++i)
            cbWhatToSearch->setItemText(i, Tr(kWhatCategories[static_cast<size_t>(i)].Caption));
    }
    btnDiskRefresh->setText(Tr("Update"));
    btnDiskImageBrowse->setText(Tr("Browse..."));
    btnFolderBrowse->setText(Tr("Browse..."));
    btnRefreshRecycleBinDisk->setText(Tr("Update"));
    btnRecycleBinImage->setText(Tr("Image..."));
    cbVolume->setToolTip(Tr("The volume (partition) to scan"));
    btnSearchVolumes->setText(volumeSearchRunning_ ? Tr("Stop the search") : Tr("Search for lost volumes"));
    btnSearchVolumes->setToolTip(Tr("No partition table or file system was recognised: search every sector for "
                                    "volumes whose table entry is lost"));
    // Each drop-down list as wide as its longest caption, closed and open.
    for (QComboBox* cb : {cbWhereToScan, cbWhatToSearch}) {
        cb->setSizeAdjustPolicy(QComboBox::AdjustToContents);
        int widest = 0;
        for (int i = 0; i < cb->count(); ++i)
            widest = std::max(widest, cb->fontMetrics().horizontalAdvance(cb->itemText(i)));
        cb->view()->setMinimumWidth(widest + 40);
        cb->updateGeometry();
    }
    QStringList captions;
    for (const char* c : kResultColumnCaptions) captions << Tr(c);
    FResultsModel->SetCaptions(captions);
    FResultsModel->RefreshTexts();
    UpdateCountLabels();
}

bool TFrmMain::eventFilter(QObject* watched, QEvent* e) {
    if (watched == ChoiceBand && e->type() == QEvent::Resize) FormResize();
    if (lvFiles && watched == lvFiles->viewport() && e->type() == QEvent::Resize) ResizeResultColumns();
    if (PreviewImage && watched == PreviewImage && e->type() == QEvent::Resize) ScalePreviewImage();
    if (lvFiles && (watched == lvFiles || watched == lvThumbs) && e->type() == QEvent::KeyPress) {
        const auto* k = static_cast<QKeyEvent*>(e);
        if (k->key() == Qt::Key_Space && k->modifiers() == Qt::NoModifier) {
            ToggleSelectedChecks();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, e);
}

void TFrmMain::FormResize() {
    const int w = ChoiceBand->width();
    const int h = ChoiceBand->height();
    const int L = kGroupBoxLeft;
    const int width4 = RoundHalfEven(w / 2.0) - 2 * L;
    const int left5 = width4 + 3 * L;
    const int width5 = w - left5 - 2 * L;
    GroupBox4->setGeometry(L, 2, std::max(width4, 0), h - 6);
    GroupBox5->setGeometry(left5, 2, std::max(width5, 0), h - 6);
    if (FProgress && FProgress->isVisible()) PlaceProgressBar();
    ResizeResultColumns();
}

void TFrmMain::PlaceProgressBar() {
    // At the right end of the status bar, 210 pixels wide, 2 pixels inside its height.
    FProgress->setGeometry(StatusBar1->width() - 220, 2, 210, StatusBar1->height() - 4);
}

void TFrmMain::ResizeResultColumns() {
    if (!lvFiles || FResultsModel->columnCount() < kResultColumnCount) return;
    const auto widths = ResultColumnWidths(lvFiles->viewport()->width());
    QHeaderView* h = lvFiles->horizontalHeader();
    for (int c = 0; c < kResultColumnCount; ++c) h->resizeSection(c, widths[static_cast<size_t>(c)]);
}

QString TFrmMain::Tr(const char* text) const { return QString::fromStdString(brivo::Translate(text)); }

} // namespace brivo
