// The folder tree beside the results list: built once per scan on a worker, it narrows
// the list to the chosen folder and marks whole folders.
#include "app/MainForm.h"

#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMenu>
#include <QSplitter>
#include <QThread>
#include <QTreeView>

#include "app/FolderTreeModel.h"
#include "app/ResultsTableModel.h"

namespace brivo {

void TFrmMain::CreateFolderPane() {
    tvFolders = new QTreeView;
    tvFolders->setObjectName(QStringLiteral("tvFolders"));
    FFolderModel = new TFolderTreeModel(this);
    tvFolders->setModel(FFolderModel);
    tvFolders->setHeaderHidden(true);
    // Every row one line high: the view then never measures a large tree's rows.
    tvFolders->setUniformRowHeights(true);
    tvFolders->setSelectionMode(QAbstractItemView::SingleSelection);
    tvFolders->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tvFolders->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    tvFolders->header()->setStretchLastSection(false);
    connect(tvFolders->selectionModel(), &QItemSelectionModel::currentChanged, this, &TFrmMain::FolderChosen);
    connect(FFolderModel, &TFolderTreeModel::folderCheckRequested, this, &TFrmMain::FolderCheckClick);
    connect(FResultsModel, &TResultsTableModel::checksChanged, this, [this] {
        FFolderModel->ChecksChanged();
        tvFolders->viewport()->update();
    });

    ShowFolders1 = new QAction(this);
    ShowFolders1->setObjectName(QStringLiteral("ShowFolders1"));
    ShowFolders1->setCheckable(true);
    ShowFolders1->setChecked(true);
    ShowFolders1->setShortcut(QKeySequence(QStringLiteral("F4")));
    View1->addAction(ShowFolders1);
    connect(ShowFolders1, &QAction::toggled, this, &TFrmMain::ShowFoldersClick);
}

void TFrmMain::ShowFoldersClick(bool shown) {
    tvFolders->setVisible(shown);
    if (shown && FoldersSplitter->sizes().value(0) < 80) {
        const int w = FoldersSplitter->width();
        FoldersSplitter->setSizes({w / 5, w - w / 5});
    }
}

void TFrmMain::FolderChosen() {
    const uint32_t folder = FFolderModel->FolderAt(tvFolders->currentIndex());
    FResultsModel->SetFolderFilter(folderTree_, folder == kNoFolder ? 0 : folder);
    UpdateCommandStates();
}

void TFrmMain::FolderCheckClick(uint32_t folder, bool checked) {
    // Marks stay as they are while a recovery reads them, as with every other mark command.
    if (busyWidgets_ || !folderTree_) return;
    FResultsModel->SetFolderChecked(*folderTree_, folder, checked);
    SetStatusText(CheckedStatusText(*this, CountChecked()));
}

void TFrmMain::StartFolderTreeBuild() {
    StopFolderTreeBuild();
    const uint64_t generation = ++treeGeneration_;
    treeStop_ = false;
    // FFound stays as it is until StopFolderTreeBuild has joined this worker: every step
    // that reorders or refills it (a sort, a new scan, closing) stops the build first, so
    // the window also outlives it.
    treeWorker_ = std::thread([this, generation] {
        auto tree = std::make_shared<TFolderTree>(
            BuildFolderTree(FScanState.FFound, &treeStop_, &FScanState.FDeletedFolders));
        if (treeStop_.load()) return;
        QMetaObject::invokeMethod(
            this,
            [this, generation, tree] {
                if (!destroying_) FolderTreeBuilt(generation, tree);
            },
            Qt::QueuedConnection);
    });
}

bool TFrmMain::StopFolderTreeBuild() {
    // The tree's arrival joins the worker: one still joinable has not handed its tree over.
    if (!treeWorker_.joinable()) return false;
    treeStop_ = true;
    treeWorker_.join();
    ++treeGeneration_;  // an answer already queued is dropped
    return true;
}

void TFrmMain::FolderTreeBuilt(uint64_t generation, std::shared_ptr<TFolderTree> tree) {
    if (generation != treeGeneration_) return;
    if (treeWorker_.joinable()) treeWorker_.join();
    if (tree->ResultCount() != FScanState.FFound.size()) return;
    folderTree_ = std::move(tree);
    FFolderModel->SetTree(folderTree_, &FResultsModel->Checks());
    const QModelIndex root = FFolderModel->IndexOf(0);
    tvFolders->expand(root);
    // The list shows everything until a folder is chosen.
    tvFolders->setCurrentIndex(root);
}

bool TFrmMain::WaitForFolderTree(int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!folderTree_) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(5);
    }
    return true;
}

} // namespace brivo
