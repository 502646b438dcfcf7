// The Save Disk Image dialog: copies the source on its worker into an image and map the
// user names, and refuses to write over the source itself.
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include "AppTestSupport.h"
#include "app/DiskImageDialog.h"

using namespace brivo;

class DiskImageDialogTest : public QObject {
    Q_OBJECT

private slots:
    void copiesTheSourceAndRefusesTheSourceAsItsImage() {
        QTemporaryDir dir;
        const QString src = apptest::UnpackFixture("fat16.img", dir);
        if (src.isEmpty()) QSKIP("fat16.img fixture missing");
        apptest::TScriptedDialogs dialogs;
        TDiskImageDialog d(nullptr, src.toStdString(), 0);

        // The source as its own image: refused before anything is written.
        d.ImageEdit()->setText(src);
        d.MapEdit()->setText(dir.filePath("x.map"));
        d.StartButton()->click();
        QVERIFY(!d.Running());
        QCOMPARE(dialogs.Boxes().size(), 1);
        QVERIFY2(dialogs.Boxes()[0].contains("must not be the source itself"), qPrintable(dialogs.Boxes()[0]));

        const QString out = dir.filePath("out.img");
        d.ImageEdit()->setText(out);
        d.MapEdit()->setText(out + ".map");
        d.StartButton()->click();
        QVERIFY(!d.StartButton()->isEnabled() && d.StopButton()->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(d.StartButton()->isEnabled(), 60000);
        QVERIFY2(d.StatusText().startsWith("Copied"), qPrintable(d.StatusText()));
        QFile a(src), b(out);
        QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
        QVERIFY(a.readAll() == b.readAll());
        QVERIFY(QFile::exists(out + ".map"));
    }
};

QTEST_MAIN(DiskImageDialogTest)
#include "DiskImageDialogTest.moc"
