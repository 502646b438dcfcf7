// The window as the scan host: log memo, status bar, progress bar, busy switch, the
// results list and the boxes.
#include "app/MainForm.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDeadlineTimer>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QStatusBar>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <QTreeView>

#include "app/Dialogs.h"
#include "app/FolderTreeModel.h"
#include "app/ResultsTableModel.h"
#include "app/ThumbnailModel.h"
#include "app/Translation.h"
#include "app/WindowPlatform.h"
#include "driver/ScanDriver.h"

namespace brivo {

bool TFrmMain::IsUiThread() const { return QThread::currentThread() == thread(); }

void TFrmMain::Queue(std::function<void()> step) {
    // Posted to the window: steps run on the UI thread in the order queued, and the ones
    // still pending when the window goes are dropped with its event queue.
    QMetaObject::invokeMethod(
        this, [this, step = std::move(step)] {
            if (!destroying_) step();
        },
        Qt::QueuedConnection);
}

void TFrmMain::AddMemoLine(const std::string& line) {
    if (memoLog) memoLog->appendPlainText(QString::fromStdString(line));
}

void TFrmMain::ClearMemo() {
    if (memoLog) memoLog->clear();
}

void TFrmMain::SetStatusText(const std::string& text) {
    statusText_ = text;
    // The status bar is one line high: line breaks of a text (the recovery summary
    // carries two) are shown as blanks.
    if (!StatusLabel) return;
    StatusLabel->setText(ShownStatus());
    // A recovery batch holds the UI thread; paint its status now rather than at the end.
    if (busyCursor_ && !ScanBusy() && StatusLabel->isVisible()) StatusLabel->repaint();
}

QString TFrmMain::ShownStatus() const {
    QString shown = QString::fromStdString(statusText_);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    shown.replace('\r', ' ');
    shown.replace('\n', ' ');
    // A long scan shows that it is alive even when its step text does not change; a
    // step text that carries its own elapsed time needs no second one.
    const QString own = Tr("(%s elapsed)");
    const int hole = own.indexOf(QStringLiteral("%s"));
    const bool hasOwn = hole >= 0 && shown.contains(own.left(hole)) && shown.endsWith(own.mid(hole + 2));
    if (busyWidgets_ && scanClock_.isValid() && !hasOwn) {
        const qint64 s = scanClock_.elapsed() / 1000;
        const QString clock = s >= 3600 ? QStringLiteral("%1:%2:%3")
                                              .arg(s / 3600)
                                              .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
                                              .arg(s % 60, 2, 10, QLatin1Char('0'))
                                        : QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
        shown += QStringLiteral("  (") + clock + QLatin1Char(')');
    }
    return shown;
}

void TFrmMain::SetProgress(TProgressStyle style, int position) {
    if (!FProgress) return;
    if (style == TProgressStyle::Indeterminate) {
        FProgress->setRange(0, 0);
    } else {
        FProgress->setRange(0, 1000);
        FProgress->setValue(std::clamp(position, 0, 1000));
    }
}

void TFrmMain::SetBusyWidgets(bool busy) {
    if (busy && !busyWidgets_) scanClock_.start();
    busyWidgets_ = busy;
    // The grid reads nothing while a scan or recovery has the disk and the results.
    if (FThumbModel) FThumbModel->SetPaused(busy);
    if (elapsedTimer_) {
        if (busy) elapsedTimer_->start();
        else elapsedTimer_->stop();
    }
    if (!busy) scanClock_.invalidate();
    if (!busy && conditionsStale_)
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (conditionsStale_ && !ScanBusy()) {
                    RetranslateConditions();
                    FResultsModel->RefreshTexts();
                }
            },
            Qt::QueuedConnection);
    UpdateCommandStates();
    UpdateCountLabels();
    if (StatusLabel) StatusLabel->setText(ShownStatus());
    if (busy && !busyCursor_) {
        QApplication::setOverrideCursor(Qt::BusyCursor);
        busyCursor_ = true;
    } else if (!busy && busyCursor_) {
        QApplication::restoreOverrideCursor();
        busyCursor_ = false;
    }
    if (FProgress) {
        PlaceProgressBar();
        FProgress->setVisible(busy);
        FProgress->setRange(0, 1000);
        FProgress->setValue(0);
        if (busy) FProgress->raise();
    }
    // The pane said it waits: now it shows the current row, or the hint to choose one.
    if (!busy) UpdatePreview();
    if (!busy && openingSavedScan_) ShowSavedScanSource();
}

void TFrmMain::ClearResults() {
    StopFolderTreeBuild();
    folderTree_.reset();
    FFolderModel->SetTree(nullptr, nullptr);
    FResultsModel->SetFolderFilter(nullptr, 0);
    FResultsModel->Clear();
    FThumbModel->Forget();
}

void TFrmMain::PopulateResults() {
    // The sort moves FFound's results: a build reading them ends first.
    const bool building = StopFolderTreeBuild();
    TPopulateOutcome out =
        PopulateResultsModel(FScanState.FFound, FResultsModel->Checks(), FSort, *this, FScanState.StopRequested());
    if (conditionsStale_) RetranslateConditions();
    // A sort moves the results, not their folders: the tree follows them.
    const bool treeFits = folderTree_ && !building &&
                          (out.Order.empty() ? folderTree_->ResultCount() == FScanState.FFound.size()
                                             : folderTree_->Reorder(out.Order));
    if (!treeFits) {
        folderTree_.reset();
        FFolderModel->SetTree(nullptr, nullptr);
        FResultsModel->SetFolderFilter(nullptr, 0);
    }
    FResultsModel->Attach(FScanState.FFound, std::move(out.Checked), this);
    if (treeFits) {
        FFolderModel->ChecksChanged();
        tvFolders->viewport()->update();
    } else {
        StartFolderTreeBuild();
    }
    ResizeResultColumns();
}

void TFrmMain::ShowWarning(const std::string& text) {
    // What the status said before (an earlier failure) no longer holds.
    SetStatusText(text.substr(0, text.find('\n')));
    Dialogs().Warning(isVisible() ? this : nullptr, QString::fromStdString(text));
}
void TFrmMain::ShowError(const std::string& text) {
    // The status keeps the failure's own words, not the step that was running.
    SetStatusText(text.substr(0, text.find('\n')));
    Dialogs().Error(isVisible() ? this : nullptr, QString::fromStdString(text));
}
void TFrmMain::ShowInfo(const std::string& text) {
    Dialogs().Info(isVisible() ? this : nullptr, QString::fromStdString(text));
}

std::string TFrmMain::Translate(const std::string& text) { return brivo::Translate(text); }

// A scan or a recovery batch: the busy switch keeps the two from overlapping.
bool TFrmMain::ScanBusy() const { return (FDriver && FDriver->Busy()) || (FRecovery && FRecovery->Busy()); }

bool TFrmMain::WaitForScan(int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (ScanBusy()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(5);
    }
    // Steps queued after the idle step (late log lines) run too.
    QCoreApplication::processEvents();
    return true;
}

void TFrmMain::StopWorker() {
    if (FRecovery) FRecovery->Shutdown();
    if (!FDriver) return;
    FDriver->Shutdown();
    // The worker has ended; what it queued would reach a window that is closing.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
    if (ScanBusy()) SetBusyWidgets(false);
}

void TFrmMain::closeEvent(QCloseEvent* e) {
    previewLoader_.reset();  // stops and joins a preview read
    FThumbModel->Shutdown();
    StopFolderTreeBuild();
    StopWorker();
    QMainWindow::closeEvent(e);
}

void TFrmMain::FormDestroy() { RemoveEngineFolder(FEngine); }

TFrmMain::~TFrmMain() {
    destroying_ = true;
    volumeSearchStop_ = true;
    if (volumeSearch_.joinable()) volumeSearch_.join();
    previewLoader_.reset();
    if (FThumbModel) FThumbModel->Shutdown();
    StopFolderTreeBuild();
    StopWorker();
    FRecovery.reset();
    FDriver.reset();
    if (busyCursor_) QApplication::restoreOverrideCursor();
    FormDestroy();
}

} // namespace brivo
