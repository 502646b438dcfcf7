#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMap>
#include <QProgressBar>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <sys/stat.h>

#include "AppTestSupport.h"
#include "app/AppInfo.h"
#include "app/AppSettings.h"
#include "app/NewVersionDialog.h"
#include "app/Translation.h"
#include "app/UpdateCheck.h"

using namespace brivo;

namespace {

// A tiny HTTP/1.1 server on 127.0.0.1 that answers from a table of paths. It runs on the
// test's thread: the check's own event loop serves it.
class TLocalHttpServer : public QObject {
public:
    struct TAnswer {
        int status = 200;
        QByteArray body;
        bool chunked = false;
        bool stall = false;           // accept, never answer
        int stallAfterBytes = -1;     // send headers and this much of the body, then wait
    };

    TLocalHttpServer() {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                s->setParent(this);
                QObject::connect(s, &QTcpSocket::readyRead, this, [this, s] { OnRead(s); });
            }
        });
    }
    QString Base() const { return QStringLiteral("http://127.0.0.1:%1").arg(server_.serverPort()); }

    QMap<QString, TAnswer> answers;
    QStringList requested;    // paths in order
    QStringList userAgents;

private:
    void OnRead(QTcpSocket* s) {
        QByteArray& buf = pending_[s];
        buf += s->readAll();
        if (!buf.contains("\r\n\r\n")) return;
        const QList<QByteArray> lines = buf.left(buf.indexOf("\r\n\r\n")).split('\n');
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        const QString path = QString::fromLatin1(first.value(1));
        requested << path;
        for (const QByteArray& l : lines)
            if (l.toLower().startsWith("user-agent:")) userAgents << QString::fromLatin1(l.mid(11).trimmed());
        pending_.remove(s);
        const TAnswer a = answers.value(path, TAnswer{404, "not found"});
        if (a.stall) return;
        QByteArray head = "HTTP/1.1 " + QByteArray::number(a.status) + " X\r\nConnection: close\r\n";
        if (a.chunked) {
            head += "Transfer-Encoding: chunked\r\n\r\n";
            QByteArray body;
            for (int i = 0; i < a.body.size(); i += 1000) {
                const QByteArray part = a.body.mid(i, 1000);
                body += QByteArray::number(part.size(), 16) + "\r\n" + part + "\r\n";
            }
            s->write(head + body + "0\r\n\r\n");
        } else {
            head += "Content-Length: " + QByteArray::number(a.body.size()) + "\r\n\r\n";
            if (a.stallAfterBytes >= 0) {
                s->write(head + a.body.left(a.stallAfterBytes));
                return;
            }
            s->write(head + a.body);
        }
        s->disconnectFromHost();
    }

    QTcpServer server_;
    QMap<QTcpSocket*, QByteArray> pending_;
};

const QString kVersionPath = QString::fromLatin1(kVersionFilePath);
const QString kChangesPath = QString::fromLatin1(kChangeListPath);
const QString kInstaller = QString::fromLatin1(kInstallerPath);

} // namespace

class UpdateCheckTest : public QObject {
    Q_OBJECT
    QTemporaryDir settingsDir_;
    QTemporaryDir tmp_;

    void UseServer(const TLocalHttpServer& server) {
        OpenAppSettings()->setValue(kKeyUpdateAddress, server.Base());
    }

private slots:
    void initTestCase() {
        apptest::IsolateSettings(settingsDir_);
        qputenv("TMPDIR", tmp_.path().toLocal8Bit());
        Translation().Clear();
    }
    void init() {
        apptest::ClearSettings();
        UpdateState() = TUpdateState{};
    }

    void versionLines_data() {
        QTest::addColumn<QByteArray>("versionFile");
        QTest::addColumn<bool>("shown");
        QTest::addColumn<bool>("forced");
        QTest::addColumn<QString>("headline");
        const QString optional = "The new version %1 is available";
        const QString forced = "This version of the software is out of date. You must download the current "
                               "version %1 to continue using the software.";
        QTest::newRow("25/20 optional") << QByteArray("25/20\r\n") << true << false << optional.arg("2.5");
        QTest::newRow("26/25 forced") << QByteArray("26/25") << true << true << forced.arg("2.6");
        QTest::newRow("24/24 none") << QByteArray("24/24\n") << false << false << QString();
        QTest::newRow("20/10 none") << QByteArray("20/10") << false << false << QString();
        QTest::newRow("100/0 shown as 10.0") << QByteArray("100/0\nignored/line") << true << false << optional.arg("10.0");
        QTest::newRow("no slash") << QByteArray("25") << false << false << QString();
        QTest::newRow("not a number") << QByteArray("2.5/2x") << false << false << QString();
        QTest::newRow("empty file") << QByteArray() << false << false << QString();
        QTest::newRow("bom before the line") << QByteArray("\xEF\xBB\xBF" "25/20") << true << false << optional.arg("2.5");
    }
    void versionLines() {
        QFETCH(QByteArray, versionFile);
        QFETCH(bool, shown);
        QFETCH(bool, forced);
        QFETCH(QString, headline);
        TLocalHttpServer server;
        server.answers[kVersionPath] = {200, versionFile};
        server.answers[kChangesPath] = {200, "Faster scans\r\n\r\nNew icons\r\n"};
        UseServer(server);
        QCOMPARE(CheckForNewVersion(), shown);
        if (!shown) return;
        QCOMPARE(UpdateState().UpdateForced, forced);
        QCOMPARE(UpdateState().UpdateMessage, headline + "\r\n\r\nWhat's new:\r\nFaster scans\r\nNew icons\r\n");
        QCOMPARE(server.requested, QStringList({kVersionPath, kChangesPath}));
        QCOMPARE(server.userAgents, QStringList({kUpdateUserAgent, kUpdateUserAgent}));
        // The dialog's captions for the two cases; closing a forced one ends the program.
        TfrmNewVersion dlg;
        dlg.show();
        QCOMPARE(dlg.btUpdateNow->text(), QString("Update Now"));
        QCOMPARE(dlg.btCancel->text(), forced ? QString("Exit") : QString("Skip"));
        QVERIFY(dlg.Label1->text().startsWith(headline + "\n\nWhat's new:\nFaster scans\nNew icons"));
        QVERIFY(dlg.ProgressBar1->isHidden());
        dlg.btCancel->click();
        QVERIFY(dlg.isHidden());
        QCOMPARE(dlg.EndsProgram(), forced);
    }

    void failuresAreSilent_data() {
        QTest::addColumn<int>("versionStatus");
        QTest::addColumn<int>("changesStatus");
        QTest::newRow("version file missing") << 404 << 200;
        QTest::newRow("server error on the change list") << 200 << 500;
    }
    void failuresAreSilent() {
        QFETCH(int, versionStatus);
        QFETCH(int, changesStatus);
        TLocalHttpServer server;
        server.answers[kVersionPath] = {versionStatus, "99/99"};
        server.answers[kChangesPath] = {changesStatus, "x"};
        UseServer(server);
        QVERIFY(!CheckForNewVersion());
        QVERIFY(UpdateState().UpdateMessage.isEmpty());
    }

    void noNetworkDoesNotHoldUpTheStart() {
        // Nothing listens (refused at once) and a server that never answers (time-out).
        QTcpServer closed;
        closed.listen(QHostAddress::LocalHost, 0);
        const quint16 port = closed.serverPort();
        closed.close();
        OpenAppSettings()->setValue(kKeyUpdateAddress, QStringLiteral("http://127.0.0.1:%1").arg(port));
        QVERIFY(!CheckForNewVersion());
        TLocalHttpServer silent;
        silent.answers[kVersionPath].stall = true;
        UseServer(silent);
        QElapsedTimer t;
        t.start();
        QVERIFY(!CheckForNewVersion());
        // Well under the two 10-second read time-outs a blocking client would sit through.
        QVERIFY2(t.elapsed() < 8000, qPrintable(QString::number(t.elapsed())));
    }

    void onlyHttpsUnlessPlainHttpIsAskedFor() {
        QCOMPARE(UpdateBaseUrl().toString(), QString::fromLatin1(kVendorAddress));
        OpenAppSettings()->setValue(kKeyVendorAddress, "http://plain.example.com");
        QVERIFY(UpdateBaseUrl().isEmpty());  // the vendor address alone never downgrades
        OpenAppSettings()->setValue(kKeyVendorAddress, "https://mirror.example.com/");
        QCOMPARE(UpdateBaseUrl().toString(), QString("https://mirror.example.com"));
        OpenAppSettings()->setValue(kKeyUpdateAddress, "http://127.0.0.1:8080");
        QCOMPARE(UpdateBaseUrl().toString(), QString("http://127.0.0.1:8080"));
        OpenAppSettings()->setValue(kKeyUpdateAddress, "ftp://127.0.0.1");
        QVERIFY(UpdateBaseUrl().isEmpty());
    }

    void downloadRunsTheInstaller_data() {
        QTest::addColumn<bool>("chunked");
        QTest::newRow("with length") << false;
        QTest::newRow("chunked") << true;
    }
    void downloadRunsTheInstaller() {
        QFETCH(bool, chunked);
        apptest::TScriptedDialogs dialogs;
        TLocalHttpServer server;
        const QByteArray installer(300000, 'I');
        server.answers[kInstaller] = {200, installer, chunked};
        UseServer(server);
        UpdateState().UpdateMessage = "The new version 2.5 is available";
        TfrmNewVersion dlg;
        dlg.show();
        dlg.btUpdateNow->click();
        QVERIFY(UpdateState().UpdateForced);
        QVERIFY(dlg.EndsProgram());
        QVERIFY(dlg.isHidden());
        QCOMPARE(dialogs.events, QStringList({"url: " + dlg.DownloadedFile()}));
        QFile f(dlg.DownloadedFile());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), installer);
        QCOMPARE(QFileInfo(dlg.DownloadedFile()).fileName(), QString(kInstallerFileName));
        QVERIFY(dlg.DownloadedFile().startsWith(tmp_.path() + "/brivo_update_"));
        struct stat st {};
        QCOMPARE(::stat(QFileInfo(dlg.DownloadedFile()).path().toLocal8Bit().constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0700u);
        // A chunked answer has no length: the bar never moves.
        QCOMPARE(dlg.ProgressBar1->value(), chunked ? 0 : 100);
    }

    void failedDownloadOpensTheHomePage() {
        apptest::TScriptedDialogs dialogs;
        TLocalHttpServer server;  // no installer: 404
        UseServer(server);
        TfrmNewVersion dlg;
        dlg.show();
        dlg.btUpdateNow->click();
        QCOMPARE(dialogs.events.size(), 2);
        QVERIFY(dialogs.events[0].startsWith(
            "error: Failed to download update. Please download manually on website.\r\n\r\n"));
        QCOMPARE(dialogs.events[1], "url: " + HomePageUrl());
        QVERIFY(dlg.EndsProgram());
    }

    void abortCancelsARunningDownload() {
        apptest::TScriptedDialogs dialogs;
        TLocalHttpServer server;
        TLocalHttpServer::TAnswer a{200, QByteArray(100000, 'P')};
        a.stallAfterBytes = 40000;
        server.answers[kInstaller] = a;
        UseServer(server);
        TfrmNewVersion dlg;
        dlg.show();
        QString captionDuringDownload;
        QTimer::singleShot(300, &dlg, [&] {
            captionDuringDownload = dlg.btCancel->text();
            QVERIFY(!dlg.btUpdateNow->isEnabled());
            dlg.btCancel->click();
        });
        dlg.btUpdateNow->click();
        QCOMPARE(captionDuringDownload, QString("Abort"));
        QCOMPARE(dialogs.events,
                 QStringList({"error: Failed to download update. Please download manually on website.\r\n\r\n"
                              "Download is cancelled. Please download manually.",
                              "url: " + HomePageUrl()}));
        QVERIFY(dlg.EndsProgram());
        QVERIFY(QFileInfo::exists(dlg.DownloadedFile()));  // the partial file stays
    }
};

QTEST_MAIN(UpdateCheckTest)
#include "UpdateCheckTest.moc"
