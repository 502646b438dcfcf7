#include <fcntl.h>
#include <unistd.h>

#include <QComboBox>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QTemporaryDir>
#include <QtTest>

#include "AppTestSupport.h"
#include "app/MainForm.h"

using namespace brivo;

// Runs only under the services tests/services/disk-service-as-user.sh starts, as one of
// the users it makes: the window on the machine's own drive list, a device that user
// may not open directly.
class DiskServiceTest : public QObject {
    Q_OBJECT
    QTemporaryDir settingsDir_;
    QTemporaryDir work_;
    QString device_;

    std::unique_ptr<TFrmMain> NewWindow() {
        TFrmMainOptions o;
        o.SystemDrive = [] { return std::string(); };
        o.DebugLogPath = work_.filePath("debug.log").toStdString();
        return std::make_unique<TFrmMain>(o);
    }

    // Chooses the device in the disk list (listed by the disk service, described without
    // opening it) and scans it.
    void ScanDevice(TFrmMain& w) {
        const int i = w.cbDisk->findData(device_.mid(5));
        QVERIFY2(i >= 0, qPrintable(device_ + " is not in the drive list"));
        QVERIFY2(w.cbDisk->itemText(i).contains(QLatin1String("FAT16")), qPrintable(w.cbDisk->itemText(i)));
        w.cbWhereToScan->setCurrentIndex(0);
        w.cbDisk->setCurrentIndex(i);
        w.tbFastScan->trigger();
        QVERIFY(w.WaitForScan(120000));
    }

private slots:
    void initTestCase() {
        device_ = qEnvironmentVariable("BRIVO_DISK_SERVICE_DEVICE");
        if (device_.isEmpty()) QSKIP("runs under tests/services/disk-service-as-user.sh, which starts the disk service");
        apptest::IsolateSettings(settingsDir_);
    }

    void scansADeviceTheUserMayNotOpen() {
        if (qEnvironmentVariableIsSet("BRIVO_DISK_SERVICE_REFUSED")) QSKIP("this user is refused");
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        ScanDevice(*w);
        QCOMPARE(dialogs.Boxes(), QStringList());
        QCOMPARE(static_cast<int>(w->ScanState().FFound.size()), qEnvironmentVariableIntValue("BRIVO_DISK_SERVICE_FOUND"));
    }

    // A device the service adds (a card put in) appears in the lists, and goes when it is
    // taken out, without an Update press. The user sets up a loop device of a file of its
    // own through the service, as a desktop's disk image mounter does.
    void followsDevicesPutInAndTakenOut() {
        if (qEnvironmentVariableIsSet("BRIVO_DISK_SERVICE_REFUSED")) QSKIP("this user is refused");
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        const QString image = apptest::UnpackFixture("fat16.img", work_);
        QVERIFY(!image.isEmpty());
        const int fd = ::open(image.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
        QVERIFY(fd >= 0);
        QDBusMessage setup = QDBusMessage::createMethodCall("org.freedesktop.UDisks2", "/org/freedesktop/UDisks2/Manager",
                                                            "org.freedesktop.UDisks2.Manager", "LoopSetup");
        setup << QVariant::fromValue(QDBusUnixFileDescriptor(fd)) << QVariantMap{{"read-only", true}};
        ::close(fd);
        const QDBusMessage reply = QDBusConnection::systemBus().call(setup, QDBus::Block, 30000);
        QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
        const QString object = qdbus_cast<QDBusObjectPath>(reply.arguments().at(0)).path();
        const QString name = object.section('/', -1);
        QTRY_VERIFY_WITH_TIMEOUT(w->cbDisk->findData(name) >= 0, 15000);
        QVERIFY(w->cbRecycleBinDisk->findData(name) >= 0);
        const int chosen = w->cbDisk->findData(device_.mid(5));
        w->cbDisk->setCurrentIndex(chosen);

        QDBusMessage remove = QDBusMessage::createMethodCall("org.freedesktop.UDisks2", object,
                                                             "org.freedesktop.UDisks2.Loop", "Delete");
        remove << QVariantMap{};
        const QDBusMessage removed = QDBusConnection::systemBus().call(remove, QDBus::Block, 30000);
        QVERIFY2(removed.type() == QDBusMessage::ReplyMessage, qPrintable(removed.errorMessage()));
        QTRY_VERIFY_WITH_TIMEOUT(w->cbDisk->findData(name) < 0, 15000);
        QCOMPARE(w->cbDisk->currentData().toString(), device_.mid(5));  // the choice stays
        QCOMPARE(dialogs.Boxes(), QStringList());
    }

    void aRefusalSaysWhatToDo() {
        if (!qEnvironmentVariableIsSet("BRIVO_DISK_SERVICE_REFUSED")) QSKIP("this user is allowed");
        apptest::TScriptedDialogs dialogs;
        auto w = NewWindow();
        ScanDevice(*w);
        QVERIFY(w->ScanState().FFound.empty());
        const QString shown = dialogs.Boxes().join('\n') + '\n' + QString::fromStdString(w->StatusText());
        QVERIFY2(shown.contains(QLatin1String("administrator's password")), qPrintable(shown));
    }
};

QTEST_MAIN(DiskServiceTest)
#include "DiskServiceTest.moc"
