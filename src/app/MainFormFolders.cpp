// The folder tree beside the results list: built once per scan on a worker, it narrows
// the list to the chosen folder and marks whole folders.
#include "app/MainForm.h"

#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QHeaderView>
#include <QItemSelection>
#include <QItemSelectionModel>
#include <QMenu>
#include <QSplitter>
#include <QTableView>
#include <QThread>
#include <QTreeView>

#include <set>

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

int TFrmMain::SelectCandidates(int row) {
    const TFoundFile* name = FResultsModel->Result(row);
    if (!name || name->Candidates.empty() || busyWidgets_) return 0;
    const std::set<std::string> wanted(name->Candidates.begin(), name->Candidates.end());
    const std::string namePath = name->FullPath;
    // Found by their content, they lie in their own folders: show the whole volume.
    if (FResultsModel->FolderFilter() != 0 && folderTree_) {
        const QModelIndex root = FFolderModel->IndexOf(0);
        if (root.isValid()) tvFolders->setCurrentIndex(root);
        else FResultsModel->SetFolderFilter(folderTree_, 0);
    }
    QItemSelection selection;
    int first = -1, nameRow = -1, count = 0;
    const int rows = static_cast<int>(FResultsModel->ShownCount());
    for (int r = 0; r < rows; ++r) {
        const TFoundFile* f = FResultsModel->Result(r);
        if (!f) continue;
        if (f->FullPath == namePath && !f->Candidates.empty()) nameRow = r;
        if (!wanted.count(f->FullPath)) continue;
        selection.select(FResultsModel->index(r, 0), FResultsModel->index(r, kResultColumnCount - 1));
        if (first < 0) first = r;
        ++count;
    }
    if (nameRow >= 0) selection.select(FResultsModel->index(nameRow, 0), FResultsModel->index(nameRow, kResultColumnCount - 1));
    lvFiles->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    if (first >= 0) lvFiles->scrollTo(FResultsModel->index(first, 0));
    return count;
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
