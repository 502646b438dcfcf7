#pragma once
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <deque>
#include <memory>
#include <optional>

#include "app/Dialogs.h"
#include "app/MainForm.h"

namespace brivo::apptest {

// Answers the window's dialogs from queues and records every box shown, as
// "warning: text", "error: text", "info: text", "question: text", "open-file", "save-file",
// "select-folder: title", "url: address".
class TScriptedDialogs : public TDialogs {
public:
    TScriptedDialogs() { SetDialogs(this); }
    ~TScriptedDialogs() override { SetDialogs(nullptr); }
    void Warning(QWidget*, const QString& text) override { events << "warning: " + text; }
    void Error(QWidget*, const QString& text) override { events << "error: " + text; }
    void Info(QWidget*, const QString& text) override { events << "info: " + text; }
    bool Question(QWidget*, const QString& text) override {
        events << "question: " + text;
        return questionAnswer;
    }
    QString OpenFile(QWidget*, const QString& filter) override {
        events << "open-file";
        lastFilter = filter;
        return Take(files);
    }
    QString SaveFile(QWidget*, const QString& filter, const QString& suffix) override {
        events << "save-file";
        lastFilter = filter;
        lastSuffix = suffix;
        return Take(saveFiles);
    }
    QString SelectFolder(QWidget*, const QString& title, const QString& start) override {
        events << "select-folder: " + title;
        lastStartFolder = start;
        return Take(folders);
    }
    QString SelectRecoveryFolder(QWidget* parent, const QString& title, const QString& checkText,
                                 bool& keepDamaged) override {
        lastCheckText = checkText;
        keepDamaged = keepDamagedAnswer;
        return SelectFolder(parent, title, QString());
    }
    bool OpenUrl(const QString& url) override {
        events << "url: " + url;
        return urlOpens;
    }

    QStringList Boxes() const;  // the warning/error/info/question events only
    QStringList events;
    std::deque<QString> files;    // answers of OpenFile ("" = cancel); empty queue cancels
    std::deque<QString> folders;  // answers of SelectFolder
    std::deque<QString> saveFiles;  // answers of SaveFile
    bool questionAnswer = true;
    bool keepDamagedAnswer = false;  // the Recover dialog's check box as the user leaves it
    QString lastCheckText;
    bool urlOpens = true;  // false: as if no browser is installed
    QString lastFilter;
    QString lastStartFolder;
    QString lastSuffix;

private:
    static QString Take(std::deque<QString>& q) {
        if (q.empty()) return {};
        QString s = q.front();
        q.pop_front();
        return s;
    }
};

// Points QSettings (user scope) at a fresh folder so no test touches the user's settings.
// Call once, before anything reads a setting.
void IsolateSettings(const QTemporaryDir& dir);
// Clears every stored setting of the program.
void ClearSettings();

// gunzips tests/fixtures/<name>.gz into dir; the path, or "" when the fixture is missing.
QString UnpackFixture(const QString& name, const QTemporaryDir& dir);
// $BRIVO_TESTDATA/<name> (default: ../shared/testdata beside the project), or "" when absent.
QString SharedTestData(const QString& name);
QString Md5OfFile(const QString& path);

// A window over one drive "sda" and no system drive, its debug log in work; routes stand in
// for the direct readers when given.
std::unique_ptr<TFrmMain> NewScanWindow(const QTemporaryDir& work, std::optional<TScanRoutes> routes = {});
// Scans a disk image through the window's own controls and waits for the scan to end.
void ScanImage(TFrmMain& w, const QString& image);

} // namespace brivo::apptest
