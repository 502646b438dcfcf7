#include "app/NewVersionDialog.h"

#include <QEventLoop>
#include <QHBoxLayout>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <stdexcept>
#include <stdlib.h>

#include "app/AppInfo.h"
#include "app/AppResources.h"
#include "app/Dialogs.h"
#include "app/Translation.h"
#include "app/UpdateCheck.h"
#include "platform/Paths.h"

namespace brivo {

namespace {

QString Tr(const char* text) { return QString::fromStdString(Translate(text)); }

// A fresh 0700 folder in the shared temporary folder, so the installer is never written
// under a name another user could have prepared.
QString MakePrivateDownloadFolder() {
    std::string tmpl = JoinPath(TempDirectory(), "brivo_update_XXXXXX");
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("Cannot create a temporary folder.");
    return QString::fromStdString(tmpl);
}

} // namespace

TfrmNewVersion::TfrmNewVersion(QWidget* parent) : QDialog(parent) {
    InitAppResources();
    setFixedSize(431, 196);
    auto* icon = new QLabel(this);
    icon->setPixmap(QPixmap(QStringLiteral(":/icons/update.png")));
    icon->setAlignment(Qt::AlignTop);
    Label1 = new QLabel(this);
    Label1->setWordWrap(true);
    Label1->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    Label1->setTextFormat(Qt::PlainText);
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setVisible(false);
    btUpdateNow = new QPushButton(this);
    btCancel = new QPushButton(this);

    auto* top = new QHBoxLayout;
    top->addWidget(icon);
    top->addWidget(Label1, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(btUpdateNow);
    buttons->addWidget(btCancel);
    auto* main = new QVBoxLayout(this);
    main->addLayout(top, 1);
    main->addWidget(ProgressBar1);
    main->addLayout(buttons);

    connect(btUpdateNow, &QPushButton::clicked, this, &TfrmNewVersion::btUpdateNowClick);
    connect(btCancel, &QPushButton::clicked, this, &TfrmNewVersion::btCancelClick);
    FormShow();
}

void TfrmNewVersion::showEvent(QShowEvent* e) {
    FormShow();
    QDialog::showEvent(e);
}

void TfrmNewVersion::FormShow() {
    if (reply_) return;  // a download is running: keep "Abort"
    setResult(QDialog::Accepted);
    setWindowTitle(QStringLiteral(" ") + QString::fromUtf8(kAppTitle));
    btUpdateNow->setText(QStringLiteral("Update Now"));
    btCancel->setText(UpdateState().UpdateForced ? QStringLiteral("Exit") : QStringLiteral("Skip"));
    QString text = UpdateState().UpdateMessage;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    Label1->setText(text);
}

void TfrmNewVersion::btCancelClick() {
    if (btCancel->text() == QLatin1String("Abort")) {
        UpdateState().DownloadAbortRequested = true;
        // Do not wait for the next block of data: a stalled server would never send it.
        if (reply_) {
            QString error;
            if (!DownloadWork(0, error)) {
                failure_ = error;
                reply_->abort();
            }
        }
        return;
    }
    close();
}

bool TfrmNewVersion::DownloadWork(qint64 count, QString& error) {
    if (UpdateState().DownloadAbortRequested) {
        error = QStringLiteral("Download is cancelled. Please download manually.");
        return false;
    }
    if (!reply_) return true;
    const qint64 length = reply_->header(QNetworkRequest::ContentLengthHeader).toLongLong();
    const QString encoding = QString::fromLatin1(reply_->rawHeader("Transfer-Encoding")).toLower();
    if (!encoding.contains(QLatin1String("chunked")) && length > 0 && count > 0) {
        ProgressBar1->setValue(static_cast<int>(std::min<qint64>(count * 100 / length, 100)));
        ProgressBar1->repaint();
    }
    return true;
}

void TfrmNewVersion::Download() {
    const QUrl base = UpdateBaseUrl();
    if (base.isEmpty()) throw std::runtime_error("No update address.");
    QUrl url = base;
    url.setPath(base.path() + kInstallerPath);
    downloadFile_ = MakePrivateDownloadFolder() + '/' + kInstallerFileName;
    QFile out(downloadFile_);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw std::runtime_error(out.errorString().toStdString());

    QNetworkAccessManager nam;
    QNetworkRequest req(url);
    req.setHeader(QNetworkRequest::UserAgentHeader, QString::fromLatin1(kUpdateUserAgent));
    req.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    failure_.clear();
    reply_ = nam.get(req);
    QNetworkReply* reply = reply_;
    QEventLoop loop;
    connect(reply, &QNetworkReply::readyRead, &loop, [&] {
        const QByteArray chunk = reply->readAll();
        if (out.write(chunk) != chunk.size() && failure_.isEmpty()) {
            failure_ = out.errorString();
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::downloadProgress, &loop, [&](qint64 received, qint64) {
        QString error;
        if (failure_.isEmpty() && !DownloadWork(received, error)) {
            failure_ = error;
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished()) loop.exec();
    if (failure_.isEmpty()) {
        const QByteArray rest = reply->readAll();
        if (out.write(rest) != rest.size()) failure_ = out.errorString();
    }
    out.close();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString netError = reply->errorString();
    const bool netFailed = reply->error() != QNetworkReply::NoError;
    reply_ = nullptr;
    reply->deleteLater();
    if (!failure_.isEmpty()) throw std::runtime_error(failure_.toStdString());
    if (netFailed) throw std::runtime_error(netError.toStdString());
    if (status < 200 || status >= 300)
        throw std::runtime_error(QStringLiteral("HTTP status %1").arg(status).toStdString());
    if (!QFile::exists(downloadFile_)) throw std::runtime_error("Cannot find downloaded file.");
    Dialogs().OpenUrl(downloadFile_);
}

void TfrmNewVersion::btUpdateNowClick() {
    TUpdateState& st = UpdateState();
    st.UpdateForced = true;
    st.DownloadAbortRequested = false;
    btCancel->setText(QStringLiteral("Abort"));
    btUpdateNow->setEnabled(false);
    ProgressBar1->setValue(0);
    ProgressBar1->setVisible(true);
    ProgressBar1->repaint();
    try {
        Download();
    } catch (const std::exception& e) {
        Dialogs().Error(this, Tr("Failed to download update. Please download manually on website.\r\n\r\n") +
                                  QString::fromStdString(e.what()));
        Dialogs().OpenUrl(HomePageUrl());
    }
    accept();
}

void TfrmNewVersion::done(int r) {
    if (reply_) {  // closing during a download acts as Abort
        btCancelClick();
        return;
    }
    if (UpdateState().UpdateForced) endsProgram_ = true;
    QDialog::done(r);
}

} // namespace brivo
