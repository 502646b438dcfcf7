#include "AppTestSupport.h"

#include <QAction>
#include <QComboBox>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QSettings>
#include <QtTest>

#include "app/AppSettings.h"

namespace brivo::apptest {

QStringList TScriptedDialogs::Boxes() const {
    QStringList out;
    for (const QString& e : events)
        if (e.startsWith("warning: ") || e.startsWith("error: ") || e.startsWith("info: ") ||
            e.startsWith("question: "))
            out << e;
    return out;
}

void IsolateSettings(const QTemporaryDir& dir) {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
}

void ClearSettings() {
    auto s = OpenAppSettings();
    s->clear();
    s->sync();
}

QString UnpackFixture(const QString& name, const QTemporaryDir& dir) {
    const QString gz = QStringLiteral(BRIVO_FIXTURE_DIR "/") + name + ".gz";
    if (!QFileInfo::exists(gz)) return {};
    QProcess p;
    p.setStandardOutputFile(dir.filePath(name));
    p.start(QStringLiteral("gzip"), {QStringLiteral("-dc"), gz});
    if (!p.waitForFinished(60000) || p.exitCode() != 0) return {};
    return dir.filePath(name);
}

QString SharedTestData(const QString& name) {
    const QString dir = qEnvironmentVariableIsEmpty("BRIVO_TESTDATA") ? QStringLiteral(BRIVO_SHARED_TESTDATA)
                                                                      : qEnvironmentVariable("BRIVO_TESTDATA");
    const QString path = dir + QLatin1Char('/') + name;
    return QFileInfo::exists(path) ? path : QString();
}

QString Md5OfFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    QCryptographicHash h(QCryptographicHash::Md5);
    h.addData(&f);
    return QString::fromLatin1(h.result().toHex());
}

std::unique_ptr<TFrmMain> NewScanWindow(const QTemporaryDir& work, std::optional<TScanRoutes> routes) {
    TFrmMainOptions o;
    o.ListDrives = [] { return std::vector<std::string>{"sda"}; };
    o.SystemDrive = [] { return std::string(); };
    o.DebugLogPath = work.filePath("debug.log").toStdString();
    o.Routes = std::move(routes);
    return std::make_unique<TFrmMain>(o);
}

void ScanImage(TFrmMain& w, const QString& image) {
    w.cbWhereToScan->setCurrentIndex(1);
    w.EdDiskImagePath->setText(image);
    w.tbFastScan->trigger();
    QVERIFY(w.WaitForScan(120000));
}

} // namespace brivo::apptest
