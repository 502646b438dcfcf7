#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "AppTestSupport.h"
#include "app/AppInfo.h"
#include "app/AppSettings.h"
#include "app/LanguageSetting.h"
#include "app/Translation.h"

using namespace brivo;

namespace {
const char* kTwoLanguages = "2\r\nEnglish\r\nDeutsch\r\nen\r\nde\r\nFile\r\nDatei\r\n";

QString WriteFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes) {
    QFile f(dir.filePath(name));
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
    return f.fileName();
}
} // namespace

class TranslationTest : public QObject {
    Q_OBJECT
    QTemporaryDir settingsDir_;
    QTemporaryDir files_;

private slots:
    void initTestCase() { apptest::IsolateSettings(settingsDir_); }
    void init() {
        apptest::ClearSettings();
        qputenv("LC_ALL", "C");
        Translation().Clear();
    }

    void lookupFollowsTheTable() {
        TTranslation t;
        QVERIFY(t.LoadFromText(kTwoLanguages));
        t.SetCurrentIndex(t.IndexOfCode("de"));
        QCOMPARE(t.CurrentIndex(), 1);
        QCOMPARE(t.Translate("File"), std::string("Datei"));
        QCOMPARE(t.Translate("Edit"), std::string("Edit"));
        QCOMPARE(t.Translate("file"), std::string("file"));  // keys keep their case
        QCOMPARE(t.LanguageName(0), std::string("English"));
        QCOMPARE(t.LanguageName(1), std::string("Deutsch"));
        QCOMPARE(t.IndexOfCode("DE"), 1);  // codes ignore case
        QCOMPARE(t.IndexOfCode("fr"), -1);
        // Index 0 never consults the table, even for a key that column 0 holds.
        t.SetCurrentIndex(0);
        QCOMPARE(t.Translate("File"), std::string("File"));
        // Rows 0 and 1 are searched like any other.
        t.SetCurrentIndex(1);
        QCOMPARE(t.Translate("English"), std::string("Deutsch"));
    }

    void fileFormatRules_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("rows");  // -1: rejected (empty table)
        QTest::newRow("crlf") << QByteArray(kTwoLanguages) << 3;
        QTest::newRow("lf and bom") << QByteArray("\xEF\xBB\xBF" "2\nEnglish\nDeutsch\nen\nde\nFile\nDatei") << 3;
        QTest::newRow("cr only") << QByteArray("2\rEnglish\rDeutsch\ren\rde\rFile\rDatei\r") << 3;
        QTest::newRow("partial last row ignored") << QByteArray("2\nE\nD\nen\nde\nA\nB\nC\nD2\nX\n") << 4;
        QTest::newRow("eight lines give three rows") << QByteArray("2\nE\nD\nen\nde\nA\nB\nX\n") << 3;
        QTest::newRow("count with blanks") << QByteArray(" 2 \nE\nD\nen\nde\n") << 2;
        QTest::newRow("count not a number") << QByteArray("two\nE\nD\nen\nde\n") << -1;
        QTest::newRow("count zero") << QByteArray("0\nE\nD\n") << -1;
        QTest::newRow("count negative") << QByteArray("-2\nE\nD\nen\nde\n") << -1;
        QTest::newRow("empty file") << QByteArray() << -1;
        QTest::newRow("names without codes") << QByteArray("2\nEnglish\nDeutsch\nen\n") << -1;
        QTest::newRow("huge count, few lines") << QByteArray("999999999\nE\nD\n") << -1;
    }
    void fileFormatRules() {
        QFETCH(QByteArray, text);
        QFETCH(int, rows);
        TTranslation t;
        QCOMPARE(t.LoadFromText(text.toStdString()), rows >= 0);
        QCOMPARE(t.RowCount(), std::max(rows, 0));
        QCOMPARE(t.ColumnCount(), rows >= 0 ? 2 : 0);
    }

    void emptyEntryShowsTheKeyAndEmptyLinesCount() {
        TTranslation t;
        // The empty line after "Edit" is Edit's German entry; "Help" stays a key.
        QVERIFY(t.LoadFromText("2\nEnglish\nDeutsch\nen\nde\nEdit\n\nHelp\nHilfe\n"));
        t.SetCurrentIndex(1);
        QCOMPARE(t.Translate("Edit"), std::string("Edit"));
        QCOMPARE(t.Translate("Help"), std::string("Hilfe"));
    }

    void keyWithLineBreaksTranslatesLineByLine() {
        TTranslation t;
        QVERIFY(t.LoadFromText("2\nE\nD\nen\nde\nRecovery finished.\nFertig.\nOK: %d\nGut: %d\n"));
        t.SetCurrentIndex(1);
        QCOMPARE(t.Translate("Recovery finished.\r\nOK: %d\r\nFailed: %d"),
                 std::string("Fertig.\r\nGut: %d\r\nFailed: %d"));
    }

    void localeNamesMapToCodes_data() {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("code");
        const char* rows[][2] = {{"de_DE.UTF-8", "de"}, {"zh_CN.UTF-8", "cn"}, {"ja_JP", "jp"},
                                 {"ko_KR.eucKR", "kr"}, {"pt_BR", "pt"},     {"fr_CA@euro", "fr"},
                                 {"ar_EG", "ar"},       {"tr", "tr"},       {"ru_RU.UTF-8", "en"},
                                 {"C", "en"},           {"POSIX", "en"},    {"C.UTF-8", "en"},
                                 {"en_GB", "en"},       {"", "en"}};
        for (const auto& r : rows) QTest::newRow(r[0]) << QString(r[0]) << QString(r[1]);
    }
    void localeNamesMapToCodes() {
        QFETCH(QString, locale);
        QFETCH(QString, code);
        QCOMPARE(QString::fromStdString(LanguageCodeForLocale(locale.toStdString())), code);
    }

    void systemCodeTakesTheFirstSetVariable() {
        qputenv("LC_ALL", "");
        qputenv("LC_MESSAGES", "nl_NL.UTF-8");
        qputenv("LANG", "de_DE.UTF-8");
        QCOMPARE(SystemLanguageCode(), std::string("nl"));
        qputenv("LC_MESSAGES", "");
        QCOMPARE(SystemLanguageCode(), std::string("de"));
        qputenv("LC_ALL", "it_IT");
        QCOMPARE(SystemLanguageCode(), std::string("it"));
        qunsetenv("LC_MESSAGES");
        qunsetenv("LANG");
    }

    void loadPicksStoredThenSystemCode() {
        const QString path = WriteFile(files_, "two.dt", kTwoLanguages);
        // No stored code: the system's language decides.
        qputenv("LC_ALL", "de_AT.UTF-8");
        QVERIFY(LoadTranslation(path.toStdString()).empty());
        QCOMPARE(Translation().CurrentIndex(), 1);
        QCOMPARE(Translate("File"), std::string("Datei"));
        // A stored code wins over the system's, whatever its case.
        qputenv("LC_ALL", "C");
        OpenAppSettings()->setValue(kKeyCurrentLanguage, "DE");
        QVERIFY(LoadTranslation(path.toStdString()).empty());
        QCOMPARE(Translation().CurrentIndex(), 1);
        // A code no column carries gives English.
        OpenAppSettings()->setValue(kKeyCurrentLanguage, "fr");
        QVERIFY(LoadTranslation(path.toStdString()).empty());
        QCOMPARE(Translation().CurrentIndex(), 0);
        QCOMPARE(Translation().ColumnCount(), 2);
    }

    void missingOrBadFileLeavesEnglish() {
        OpenAppSettings()->setValue(kKeyCurrentLanguage, "de");
        const std::string missing = files_.filePath("nothing.dt").toStdString();
        QCOMPARE(LoadTranslation(missing), "Cannot find translation file:" + missing);
        QCOMPARE(Translation().ColumnCount(), 0);
        QCOMPARE(Translate("File"), std::string("File"));
        const QString bad = WriteFile(files_, "bad.dt", "x\nEnglish\nDeutsch\nen\nde\n");
        QVERIFY(!LoadTranslation(bad.toStdString()).empty());
        QCOMPARE(Translation().ColumnCount(), 0);
        QCOMPARE(Translation().CurrentIndex(), 0);
    }

    void saveWritesTheCurrentCode() {
        Translation().CurrentCode = "ru";
        SaveLanguageSetting();
        QCOMPARE(OpenAppSettings()->value(kKeyCurrentLanguage).toString(), QString("ru"));
    }

    void shippedTableCarriesGermanAndRussian() {
        QVERIFY(LoadTranslation(BRIVO_TRANSL_DT).empty());
        TTranslation& t = Translation();
        QCOMPARE(t.ColumnCount(), 3);
        QCOMPARE(t.LanguageCode(1), std::string("de"));
        QCOMPARE(t.LanguageCode(2), std::string("ru"));
        QCOMPARE(t.LanguageName(2), std::string("Русский"));
        // Every row has a Russian entry; German may leave a key that reads the same.
        for (int r = 2; r < t.RowCount(); ++r)
            QVERIFY2(!t.Entry(2, r).empty(), t.Entry(0, r).c_str());
        t.SetCurrentIndex(1);
        QCOMPARE(Translate("Scan finished. Found entries: %d"), std::string("Suche beendet. Gefundene Einträge: %d"));
        t.SetCurrentIndex(2);
        QCOMPARE(Translate("Ready."), std::string("Готово."));
    }
};

QTEST_GUILESS_MAIN(TranslationTest)
#include "TranslationTest.moc"
