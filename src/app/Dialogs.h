#pragma once
#include <QString>

class QWidget;

namespace brivo {

// Every box and dialog the window opens goes through this seam, so tests can answer
// them without a user. The default implementation shows the real Qt dialogs.
class TDialogs {
public:
    virtual ~TDialogs() = default;
    virtual void Warning(QWidget* parent, const QString& text);
    virtual void Error(QWidget* parent, const QString& text);
    virtual void Info(QWidget* parent, const QString& text);
    // Yes/No question; true for Yes.
    virtual bool Question(QWidget* parent, const QString& text);
    // Open-file dialog with a "|"-separated filter text (description|patterns|...);
    // empty when cancelled.
    virtual QString OpenFile(QWidget* parent, const QString& filter);
    // Save-file dialog with the same kind of filter; a name typed without an extension
    // gets defaultSuffix. Empty when cancelled.
    virtual QString SaveFile(QWidget* parent, const QString& filter, const QString& defaultSuffix);
    // Folder selection; empty when cancelled. startFolder may be empty.
    virtual QString SelectFolder(QWidget* parent, const QString& title, const QString& startFolder);
    // The folder to recover into, with a check box below (checkText; keepDamaged in: its
    // state when shown, out: as the user left it). Empty when cancelled.
    virtual QString SelectRecoveryFolder(QWidget* parent, const QString& title, const QString& checkText,
                                         bool& keepDamaged);
    // Opens a web page or a file with the desktop's default program; false when none
    // could be started (the caller then shows the address).
    virtual bool OpenUrl(const QString& url);
};

// The seam in use (the real dialogs unless a test installed its own).
TDialogs& Dialogs();
// Installs d (not owned; nullptr restores the real dialogs).
void SetDialogs(TDialogs* d);

// "Desc (*.a;*.b)|*.a;*.b|..." as Qt's ";;"-separated name filters.
QString DelphiFilterToQt(const QString& filter);

} // namespace brivo
