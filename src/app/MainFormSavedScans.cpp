// The window's saved scans: File > Save Scan writes the last scan's results to a file,
// File > Open Scan reads one back in place of scanning (the driver checks that the volume
// is still the one scanned), after which the list, preview and Recover work as after the scan.
#include "app/MainForm.h"

#include <QComboBox>
#include <QDir>
#include <QLineEdit>

#include "app/Dialogs.h"
#include "app/ResultsTableModel.h"
#include "core/ScanLog.h"
#include "core/TextFormat.h"
#include "driver/SavedScan.h"

namespace brivo {

const char* const TFrmMain::kSavedScanFilter =
    "Brivo scan (*.brivoscan;*.json)|*.brivoscan;*.json|All files (*.*)|*.*";
const char* const TFrmMain::kSavedScanSuffix = "brivoscan";

void TFrmMain::SaveScanClick() {
    if (ScanBusy() || FResultsModel->TotalCount() == 0) return;
    const QString file =
        Dialogs().SaveFile(this, QString::fromLatin1(kSavedScanFilter), QString::fromLatin1(kSavedScanSuffix));
    if (file.isEmpty()) return;
    const std::string path = QDir::toNativeSeparators(file).toStdString();
    try {
        WriteSavedScan(FDriver->LastScanToSave(), path);
    } catch (const std::exception& e) {
        ShowError(e.what());
        return;
    }
    Log(*this, "Scan saved: " + path);
    SetStatusText(Format(Translate("Scan saved to %s"), {path}));
}

void TFrmMain::OpenScanClick() {
    if (ScanBusy()) return;
    const QString file = Dialogs().OpenFile(this, QString::fromLatin1(kSavedScanFilter));
    if (file.isEmpty()) return;
    // What the window last scanned is not what the opened file holds: "Show them" and
    // "Deep scan" would scan the choice band's source, not the saved one's.
    haveLastChoice_ = false;
    lastShowedHidden_ = false;
    previewLoader_.reset();
    // Opening empties FFound before it says so: a tree build reading it ends first.
    const bool treeWasBuilding = StopFolderTreeBuild();
    openingSavedScan_ = true;
    FDriver->OpenSavedScan(QDir::toNativeSeparators(file).toStdString());
    if (treeWasBuilding && !ScanBusy() && !FScanState.FFound.empty()) StartFolderTreeBuild();  // refused
}

void TFrmMain::ShowSavedScanSource() {
    openingSavedScan_ = false;
    // A file that could not be opened leaves no rows; the band keeps what it showed.
    if (FScanState.FFound.empty() || FScanState.FLastWhereMode != TScanWhere::swDiskImage) return;
    cbWhereToScan->setCurrentIndex(static_cast<int>(TScanWhere::swDiskImage));
    EdDiskImagePath->setText(QString::fromStdString(FScanState.FLastSrcForFls));
    RefreshVolumeList();
    const int volume = cbVolume->findData(FScanState.FLastVolume);
    if (FScanState.FLastVolume != 0 && volume >= 0) cbVolume->setCurrentIndex(volume);
}

} // namespace brivo
