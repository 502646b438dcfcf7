#include "app/UpdateCheck.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include "app/AppInfo.h"
#include "app/AppSettings.h"
#include "app/Translation.h"

namespace brivo {

TUpdateState& UpdateState() {
    static TUpdateState state;
    return state;
}

QUrl UpdateBaseUrl() {
    const QString configured = OpenAppSettings()->value(kKeyUpdateAddress).toString().trimmed();
    QString base = configured.isEmpty() ? VendorAddress() : configured;
    while (base.endsWith('/')) base.chop(1);
    const QUrl url(base);
    if (!url.isValid() || url.host().isEmpty()) return {};
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https")) return url;
    // The check downloads and opens an installer, so plain http is taken only when the
    // setting asks for it by name.
    if (scheme == QLatin1String("http") && !configured.isEmpty()) return url;
    return {};
}

QString VersionDisplayText(const QString& digits) {
    if (digits.isEmpty()) return digits;
    return digits.left(digits.size() - 1) + '.' + digits.right(1);
}

namespace {

bool ParseStrictInt(const QString& text, int& out) {
    const QString t = text.trimmed();
    if (t.isEmpty()) return false;
    for (int i = 0; i < t.size(); ++i) {
        const QChar c = t[i];
        if (c.isDigit() && c.unicode() < 128) continue;
        if (i == 0 && (c == '-' || c == '+')) continue;
        return false;
    }
    bool ok = false;
    out = t.toInt(&ok);
    return ok;
}

QStringList SplitLines(const QString& text) {
    QString t = text;
    if (t.startsWith(QChar(0xFEFF))) t.remove(0, 1);
    t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    t.replace('\r', '\n');
    QStringList lines = t.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines;
}

} // namespace

bool EvaluateVersionLine(const QString& firstLine, const QStringList& changeLines, int ownVersion,
                         QString& message, bool& forced) {
    const int slash = firstLine.indexOf('/');
    if (slash < 0) return false;
    int latest = 0, lowest = 0;
    if (!ParseStrictInt(firstLine.left(slash), latest)) return false;
    if (!ParseStrictInt(firstLine.mid(slash + 1), lowest)) return false;
    const QString display = VersionDisplayText(firstLine.left(slash).trimmed());
    QString headline;
    forced = false;
    if (lowest > ownVersion) {
        forced = true;
        headline = QString::fromStdString(Translate(
                       "This version of the software is out of date. You must download the "
                       "current version %s to continue using the software."))
                       .replace(QStringLiteral("%s"), display);
    } else if (latest > ownVersion) {
        headline = QString::fromStdString(Translate("The new version %s is available"))
                       .replace(QStringLiteral("%s"), display);
    } else {
        return false;
    }
    message = headline + "\r\n\r\n" + QString::fromStdString(Translate("What's new:")) + "\r\n";
    for (const QString& line : changeLines)
        if (!line.isEmpty()) message += line + "\r\n";
    return true;
}

bool FetchSmallFile(QNetworkAccessManager& nam, const QUrl& url, int timeoutMs, QByteArray& body) {
    QNetworkRequest req(url);
    req.setHeader(QNetworkRequest::UserAgentHeader, QString::fromLatin1(kUpdateUserAgent));
    req.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                     QNetworkRequest::NoLessSafeRedirectPolicy);
    req.setMaximumRedirectsAllowed(10);
    req.setTransferTimeout(timeoutMs);
    QNetworkReply* reply = nam.get(req);
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, reply, &QNetworkReply::abort);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    deadline.start(timeoutMs);
    if (!reply->isFinished()) loop.exec(QEventLoop::ExcludeUserInputEvents);
    deadline.stop();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool ok = reply->error() == QNetworkReply::NoError && status >= 200 && status < 300;
    if (ok) body = reply->readAll();
    reply->deleteLater();
    return ok;
}

bool CheckForNewVersion() {
    TUpdateState& st = UpdateState();
    const QUrl base = UpdateBaseUrl();
    if (base.isEmpty()) return false;
    QNetworkAccessManager nam;
    QByteArray versionBody, changesBody;
    QUrl versionUrl = base, changesUrl = base;
    versionUrl.setPath(base.path() + kVersionFilePath);
    changesUrl.setPath(base.path() + kChangeListPath);
    if (!FetchSmallFile(nam, versionUrl, kCheckRequestTimeoutMs, versionBody)) return false;
    const QStringList versionLines = SplitLines(QString::fromUtf8(versionBody));
    if (versionLines.isEmpty()) return false;
    if (!FetchSmallFile(nam, changesUrl, kCheckRequestTimeoutMs, changesBody)) return false;
    const QStringList changes = SplitLines(QString::fromUtf8(changesBody));
    QString message;
    bool forced = false;
    if (!EvaluateVersionLine(versionLines.first(), changes, kAppVersionNumber, message, forced))
        return false;
    st.UpdateMessage = message;
    st.UpdateForced = forced;
    return true;
}

} // namespace brivo
