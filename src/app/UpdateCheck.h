#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>

class QNetworkAccessManager;

namespace brivo {

// State of the start-up update check, shared with the update dialog.
struct TUpdateState {
    QString UpdateMessage;
    bool UpdateForced = false;            // mandatory update, or a download was started
    bool DownloadAbortRequested = false;  // Abort pressed during the download
};
TUpdateState& UpdateState();

inline constexpr const char* kUpdateUserAgent = "Mozilla/4.0 (compatible; MyApp)";
inline constexpr const char* kVersionFilePath = "/download/version/brivofilerecovery-version.html";
inline constexpr const char* kChangeListPath = "/download/version/brivofilerecovery-changes.html";
inline constexpr const char* kInstallerPath = "/download/brivofilerecovery.exe";
inline constexpr const char* kInstallerFileName = "brivo_update.exe";
// A start without a network must not wait for the usual read time-outs: each of the
// two small requests gets this long in all before the check gives up silently.
inline constexpr int kCheckRequestTimeoutMs = 1500;

// Base address of the three requests: the "UpdateAddress" setting, else the vendor
// address. Only https is used, unless that setting explicitly names an http:// server
// (a test or a local mirror). Empty when the address is not acceptable.
QUrl UpdateBaseUrl();

// "25" -> "2.5", "100" -> "10.0", "7" -> ".7": a "." before the last digit as written.
QString VersionDisplayText(const QString& digits);

// From the version file's first line and the change list: false when there is no update
// or the line does not parse; otherwise the message and whether the update is forced.
bool EvaluateVersionLine(const QString& firstLine, const QStringList& changeLines, int ownVersion,
                         QString& message, bool& forced);

// One GET with the check's client settings (user agent, up to 10 redirects that never
// downgrade to http, an overall time limit). False on any network error, time-out or
// error status.
bool FetchSmallFile(QNetworkAccessManager& nam, const QUrl& url, int timeoutMs, QByteArray& body);

// The start-up check: true when the update dialog is to be shown (UpdateMessage and
// UpdateForced set). Every failure is silent and returns false.
bool CheckForNewVersion();

} // namespace brivo
