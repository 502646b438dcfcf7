// The picture grid: the pictures among the listed results as tiles, in place of the list,
// their thumbnails made on a worker through the preview's extraction.
#include "app/MainForm.h"

#include <QAction>
#include <QItemSelectionModel>
#include <QMenu>
#include <QStackedWidget>
#include <QTableView>

#include "app/ResultsTableModel.h"
#include "app/ThumbnailModel.h"
#include "app/ThumbnailView.h"
#include "results/ResultsModel.h"

namespace brivo {

namespace {
// The side of a thumbnail in pixels: a face or a landscape can be told at a glance.
constexpr int kThumbnailSide = 144;
} // namespace

void TFrmMain::CreateThumbnailGrid() {
    lvThumbs = new TThumbnailView(kThumbnailSide);
    lvThumbs->setObjectName(QStringLiteral("lvThumbs"));
    FThumbModel = new TThumbnailModel(FResultsModel, kThumbnailSide, this);
    // Read only while nothing else has the results: a scan fills FFound and sets the
    // extractor on its worker, and the grid is paused (and empty) until it hands over.
    FThumbModel->SetExtractorSource([this]() -> TPreviewLoader::MakeExtractor {
        return busyWidgets_ ? nullptr : FScanState.FMakeExtractor;
    });
    lvThumbs->setModel(FThumbModel);
    ResultsStack->addWidget(lvThumbs);
    lvThumbs->installEventFilter(this);
    lvThumbs->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lvThumbs, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& p) { PopupMenu1->popup(lvThumbs->viewport()->mapToGlobal(p)); });
    connect(lvThumbs->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &TFrmMain::ThumbnailSelectionChanged);
    connect(lvThumbs->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &TFrmMain::ThumbnailSelectionChanged);

    ShowThumbnails1 = new QAction(this);
    ShowThumbnails1->setObjectName(QStringLiteral("ShowThumbnails1"));
    ShowThumbnails1->setCheckable(true);
    ShowThumbnails1->setShortcut(QKeySequence(QStringLiteral("F6")));
    View1->addAction(ShowThumbnails1);
    connect(ShowThumbnails1, &QAction::toggled, this, &TFrmMain::ShowThumbnailsClick);
}

void TFrmMain::ShowThumbnailsClick(bool shown) {
    if (shown == (ResultsStack->currentWidget() == lvThumbs)) return;
    syncingSelection_ = true;
    FThumbModel->SetActive(shown);
    if (shown) {
        // The grid starts where the list was: its selected rows are the chosen tiles.
        QItemSelection tiles;
        for (const QModelIndex& i : lvFiles->selectionModel()->selectedRows()) {
            const int t = FThumbModel->Tile(i.row());
            if (t >= 0) tiles.select(FThumbModel->index(t), FThumbModel->index(t));
        }
        const int current = FThumbModel->Tile(lvFiles->currentIndex().row());
        if (current >= 0)
            lvThumbs->selectionModel()->setCurrentIndex(FThumbModel->index(current), QItemSelectionModel::NoUpdate);
        lvThumbs->selectionModel()->select(tiles, QItemSelectionModel::ClearAndSelect);
        ResultsStack->setCurrentWidget(lvThumbs);
        if (current >= 0) lvThumbs->scrollTo(FThumbModel->index(current));
        if (lvFiles->hasFocus()) lvThumbs->setFocus();
    } else {
        const bool focused = lvThumbs->hasFocus();
        ResultsStack->setCurrentWidget(lvFiles);
        if (lvFiles->currentIndex().isValid()) lvFiles->scrollTo(lvFiles->currentIndex());
        if (focused) lvFiles->setFocus();
    }
    syncingSelection_ = false;
}

void TFrmMain::ThumbnailSelectionChanged() {
    if (syncingSelection_ || ResultsStack->currentWidget() != lvThumbs) return;
    QItemSelection rows;
    const int last = kResultColumnCount - 1;
    for (const QModelIndex& i : lvThumbs->selectionModel()->selectedIndexes()) {
        const int r = FThumbModel->TableRow(i.row());
        if (r >= 0) rows.select(FResultsModel->index(r, 0), FResultsModel->index(r, last));
    }
    const int current = FThumbModel->TableRow(lvThumbs->currentIndex().row());
    syncingSelection_ = true;
    if (current >= 0)
        lvFiles->selectionModel()->setCurrentIndex(FResultsModel->index(current, 0), QItemSelectionModel::NoUpdate);
    lvFiles->selectionModel()->select(rows, QItemSelectionModel::ClearAndSelect);
    syncingSelection_ = false;
}

} // namespace brivo
