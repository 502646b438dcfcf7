#pragma once
#include <QDialog>
#include <QFile>
#include <QString>

class QLabel;
class QNetworkReply;
class QProgressBar;
class QPushButton;

namespace brivo {

// The update dialog: the message of the check, "Update Now" and "Skip"/"Exit"; during a
// download "Abort". Closing it while UpdateForced is set means the program must end.
class TfrmNewVersion : public QDialog {
    Q_OBJECT
public:
    explicit TfrmNewVersion(QWidget* parent = nullptr);

    // True once the dialog has closed with UpdateForced set.
    bool EndsProgram() const { return endsProgram_; }
    // Where the installer is written (a private folder made for the download).
    QString DownloadedFile() const { return downloadFile_; }

    void FormShow();
    void btUpdateNowClick();
    void btCancelClick();
    // Progress of the installer download; count = bytes received so far. Returns false
    // (with the cancellation message) when Abort was pressed.
    bool DownloadWork(qint64 count, QString& error);

    QLabel* Label1 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QPushButton* btUpdateNow = nullptr;
    QPushButton* btCancel = nullptr;

protected:
    void showEvent(QShowEvent* e) override;
    void done(int r) override;

private:
    // Downloads the installer into a private temporary folder; throws with the message.
    void Download();

    QNetworkReply* reply_ = nullptr;
    QString failure_;
    QString downloadFile_;
    bool endsProgram_ = false;
};

} // namespace brivo
