#include "app/Dialogs.h"

#include <QApplication>
#include <QCheckBox>
#include <QGridLayout>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QStringList>
#include <QUrl>

#include "app/AppInfo.h"

namespace brivo {

namespace {
TDialogs gRealDialogs;
TDialogs* gDialogs = nullptr;

QString BoxTitle() { return QString::fromUtf8(kAppTitle); }
} // namespace

TDialogs& Dialogs() { return gDialogs ? *gDialogs : gRealDialogs; }
void SetDialogs(TDialogs* d) { gDialogs = d; }

void TDialogs::Warning(QWidget* parent, const QString& text) {
    QMessageBox::warning(parent, BoxTitle(), text, QMessageBox::Ok);
}
void TDialogs::Error(QWidget* parent, const QString& text) {
    QMessageBox::critical(parent, BoxTitle(), text, QMessageBox::Ok);
}
void TDialogs::Info(QWidget* parent, const QString& text) {
    QMessageBox::information(parent, BoxTitle(), text, QMessageBox::Ok);
}
bool TDialogs::Question(QWidget* parent, const QString& text) {
    return QMessageBox::question(parent, BoxTitle(), text, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

QString DelphiFilterToQt(const QString& filter) {
    const QStringList parts = filter.split('|');
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(';', ' ');
        QString desc = parts[i];
        // Qt reads the patterns from the parentheses of the description.
        const int paren = desc.indexOf('(');
        if (paren >= 0) desc = desc.left(paren).trimmed();
        out << QStringLiteral("%1 (%2)").arg(desc, patterns);
    }
    return out.join(QStringLiteral(";;"));
}

QString TDialogs::OpenFile(QWidget* parent, const QString& filter) {
    const QString qtFilter = DelphiFilterToQt(filter);
    const QString first = qtFilter.section(QStringLiteral(";;"), 0, 0);
    QString selected = first;
    return QFileDialog::getOpenFileName(parent, QString(), QString(), qtFilter, &selected);
}

QString TDialogs::SaveFile(QWidget* parent, const QString& filter, const QString& defaultSuffix) {
    // The static helper has no default suffix: a name typed bare would be saved bare.
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(DelphiFilterToQt(filter).split(QStringLiteral(";;")));
    dialog.setDefaultSuffix(defaultSuffix);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().constFirst();
}

QString TDialogs::SelectFolder(QWidget* parent, const QString& title, const QString& startFolder) {
    return QFileDialog::getExistingDirectory(parent, title, startFolder, QFileDialog::ShowDirsOnly);
}

QString TDialogs::SelectRecoveryFolder(QWidget* parent, const QString& title, const QString& checkText,
                                       bool& keepDamaged) {
    // Qt's own folder dialog, for room for the check box under its fields.
    QFileDialog dialog(parent, title);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    auto* keep = new QCheckBox(checkText, &dialog);
    keep->setChecked(keepDamaged);
    if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout())) grid->addWidget(keep, grid->rowCount(), 0, 1, -1);
    else dialog.layout()->addWidget(keep);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    keepDamaged = keep->isChecked();
    return dialog.selectedFiles().first();
}

bool TDialogs::OpenUrl(const QString& url) {
    const QUrl u = url.startsWith('/') ? QUrl::fromLocalFile(url) : QUrl(url);
    return QDesktopServices::openUrl(u);
}

} // namespace brivo
