// The preview pane: the first bytes of the current result, read on a worker through the
// extraction recovery uses, shown as a picture, as text or as a hex dump.
#include "app/MainForm.h"

#include <QAction>
#include <QImage>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QSplitter>
#include <QStackedWidget>
#include <QTableView>
#include <QVBoxLayout>

#include <climits>

#include "app/ResultsTableModel.h"
#include "core/TextFormat.h"
#include "results/ResultsModel.h"

namespace brivo {

namespace {
// Enough for a page of text; a preview never holds a whole large file.
constexpr size_t kPreviewCap = 1024 * 1024;
// A picture is read whole (a cut one is drawn grey below the cut): far above what cameras
// and phones write, still a bound on what one preview holds.
constexpr size_t kPicturePreviewCap = 64 * 1024 * 1024;
// Pictures are scaled to this on the worker: the pane never needs more, and the UI thread
// only scales a small image to the pane's size.
constexpr int kPreviewPictureSide = 2048;
QString Q(const std::string& s) { return QString::fromStdString(s); }

// The picture in bytes, decoded and scaled down on the calling thread; null when the
// bytes are not a picture Qt can draw.
QImage DecodePreviewPicture(const std::vector<uint8_t>& bytes) {
    if (ClassifyPreview(bytes) != TPreviewKind::Image) return {};
    QImage image = QImage::fromData(bytes.data(), static_cast<int>(std::min<size_t>(bytes.size(), INT_MAX)));
    if (image.width() > kPreviewPictureSide || image.height() > kPreviewPictureSide)
        image = image.scaled(kPreviewPictureSide, kPreviewPictureSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}
} // namespace

void TFrmMain::CreatePreviewPane() {
    PreviewPane = new QWidget;
    PreviewPane->setObjectName(QStringLiteral("PreviewPane"));
    auto* col = new QVBoxLayout(PreviewPane);
    col->setContentsMargins(4, 0, 0, 0);
    PreviewInfo = new QLabel(PreviewPane);
    PreviewInfo->setObjectName(QStringLiteral("PreviewInfo"));
    PreviewInfo->setWordWrap(true);
    PreviewStack = new QStackedWidget(PreviewPane);
    PreviewImage = new QLabel;
    PreviewImage->setObjectName(QStringLiteral("PreviewImage"));
    PreviewImage->setAlignment(Qt::AlignCenter);
    PreviewImage->setMinimumSize(64, 64);
    PreviewImage->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    PreviewTextView = new QPlainTextEdit;
    PreviewTextView->setObjectName(QStringLiteral("PreviewTextView"));
    PreviewTextView->setReadOnly(true);
    PreviewTextView->setLineWrapMode(QPlainTextEdit::NoWrap);
    PreviewStack->addWidget(PreviewImage);
    PreviewStack->addWidget(PreviewTextView);
    col->addWidget(PreviewInfo);
    col->addWidget(PreviewStack, 1);
    PreviewPane->setVisible(false);
    PreviewImage->installEventFilter(this);

    ShowPreview1 = new QAction(this);
    ShowPreview1->setObjectName(QStringLiteral("ShowPreview1"));
    ShowPreview1->setCheckable(true);
    ShowPreview1->setShortcut(QKeySequence(QStringLiteral("F3")));
    View1->addAction(ShowPreview1);
    connect(ShowPreview1, &QAction::toggled, this, &TFrmMain::ShowPreviewClick);
    connect(lvFiles->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] { UpdatePreview(); });
    connect(FResultsModel, &QAbstractItemModel::modelReset, this, [this] { UpdatePreview(); });
}

void TFrmMain::ShowPreviewClick(bool shown) {
    PreviewPane->setVisible(shown);
    if (shown && ResultsSplitter->sizes().value(1) < 100) {
        const int w = ResultsSplitter->width();
        ResultsSplitter->setSizes({w * 2 / 3, w - w * 2 / 3});
    }
    UpdatePreview();
}

void TFrmMain::UpdatePreview() {
    if (!PreviewPane || !PreviewPane->isVisibleTo(this)) {
        if (previewLoader_) previewTicket_ = previewLoader_->Cancel();
        return;
    }
    const long long i = FResultsModel->ResultIndex(lvFiles->currentIndex().row());
    previewImage_ = QImage();
    PreviewImage->clear();
    PreviewTextView->clear();
    if (i < 0 || busyWidgets_ || static_cast<size_t>(i) >= FScanState.FFound.size()) {
        if (previewLoader_) previewTicket_ = previewLoader_->Cancel();
        previewMode_.clear();
        PreviewInfo->setText(busyWidgets_ ? Tr("The preview waits until the work in progress has ended.")
                                          : Tr("Select a file to preview it."));
        return;
    }
    const TFoundFile& f = FScanState.FFound[i];
    const QString name = Q(ResultFileName(f.FullPath));
    if (!FScanState.FMakeExtractor || f.IsDir) {
        if (previewLoader_) previewTicket_ = previewLoader_->Cancel();
        previewMode_ = QStringLiteral("none");
        PreviewInfo->setText(name + QStringLiteral("\n") + Tr("Preview is not available for this result."));
        return;
    }
    if (!previewLoader_) {
        QPointer<TFrmMain> self(this);
        previewLoader_ = std::make_unique<TPreviewLoader>(
            [self](uint64_t ticket, TPreviewBytes bytes) {
                // Worker thread: decode a picture here, then hand over to the window's
                // thread; the window drops answers to requests a newer selection replaced.
                QImage picture = DecodePreviewPicture(bytes.Bytes);
                QMetaObject::invokeMethod(
                    self.data(),
                    [self, ticket, b = std::make_shared<TPreviewBytes>(std::move(bytes)), picture]() mutable {
                        if (self && !self->destroying_ && ticket == self->previewTicket_) {
                            const long long row = self->FResultsModel->ResultIndex(self->lvFiles->currentIndex().row());
                            if (row >= 0 && static_cast<size_t>(row) < self->FScanState.FFound.size())
                                self->ShowPreviewBytes(ticket, self->FScanState.FFound[row], std::move(*b), picture);
                        }
                    },
                    Qt::QueuedConnection);
            },
            kPreviewCap, kPicturePreviewCap);
    }
    previewMode_ = QStringLiteral("loading");
    PreviewInfo->setText(name + QStringLiteral("\n") + Tr("Reading..."));
    previewTicket_ = previewLoader_->Request(FScanState.FMakeExtractor, f);
}

void TFrmMain::ShowPreviewBytes(uint64_t, const TFoundFile& f, TPreviewBytes bytes, const QImage& picture) {
    QString info = Q(ResultFileName(f.FullPath)) + QStringLiteral(" \u2014 ") + Q(FormatSize(f.SizeBytes, this));
    if (bytes.Truncated)
        info += QStringLiteral("\n") +
                Q(Format(Translate("Showing the first %s."), {FormatSize(static_cast<int64_t>(bytes.Cap), this)}));
    // Zeros stand where the disk gave nothing: say where, so they are not taken for the file.
    if (!bytes.Unreadable.empty())
        info += QStringLiteral("\n") +
                Q(Format(Translate("Bytes %s could not be read from the disk; zeros are shown in their place."),
                         {ByteRangesText(bytes.Unreadable)}));
    else if (!bytes.UnreadableMessage.empty())
        info += QStringLiteral("\n") + Q(Format(Translate("Parts of the file could not be read: %s"), {bytes.UnreadableMessage}));
    if (!bytes.Error.empty()) {
        info += QStringLiteral("\n") + Q(Format(Translate("Could not read the file: %s"), {bytes.Error}));
        if (bytes.Bytes.empty()) {
            previewMode_ = QStringLiteral("error");
            PreviewInfo->setText(info);
            return;
        }
    }
    PreviewInfo->setText(info);
    const TPreviewKind kind = ClassifyPreview(bytes.Bytes);
    if (kind == TPreviewKind::Image) {
        previewImage_ = picture;
        if (!previewImage_.isNull()) {
            previewMode_ = QStringLiteral("image");
            PreviewStack->setCurrentWidget(PreviewImage);
            ScalePreviewImage();
            return;
        }
    }
    std::string text;
    if (kind == TPreviewKind::Text && PreviewText(bytes.Bytes, text)) {
        previewMode_ = QStringLiteral("text");
        PreviewTextView->setPlainText(Q(text));
    } else {
        previewMode_ = QStringLiteral("hex");
        PreviewTextView->setPlainText(Q(HexDump(bytes.Bytes)));
    }
    PreviewStack->setCurrentWidget(PreviewTextView);
}

void TFrmMain::ScalePreviewImage() {
    if (previewImage_.isNull()) return;
    const QSize room = PreviewImage->size().boundedTo(previewImage_.size());
    PreviewImage->setPixmap(QPixmap::fromImage(
        previewImage_.scaled(room.expandedTo(QSize(1, 1)), Qt::KeepAspectRatio, Qt::SmoothTransformation)));
}

} // namespace brivo
