// SPDX-License-Identifier: GPL-3.0-or-later
// Takes the README's pictures of the window: a scan of a disk image with the preview of
// one result, the pictures found as a grid, and the same window in German with the list
// filtered. Run by hand under a display (xvfb-run works); "deep" scans with the deep scan:
//   brivo-screenshots IMAGE OUTDIR [FILE-TO-PREVIEW [FILTER [deep]]]
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QMenu>
#include <QTableView>
#include <QThread>
#include <QTreeView>

#include <cstdio>
#include <string>

#include "app/AppResources.h"
#include "app/AppStyle.h"
#include "app/LanguageSetting.h"
#include "app/MainForm.h"
#include "app/ResultsTableModel.h"

using namespace brivo;

namespace {

void Settle(int ms) {
    QDeadlineTimer until(ms);
    while (!until.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
}

bool SelectResult(TFrmMain& w, const std::string& name) {
    auto* m = w.ResultsModel();
    for (int r = 0; r < m->rowCount(); ++r)
        if (m->data(m->index(r, 0), Qt::DisplayRole).toString().toStdString() == name) {
            w.lvFiles->setCurrentIndex(m->index(r, 0));
            w.lvFiles->selectRow(r);
            return true;
        }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: brivo-screenshots IMAGE OUTDIR [FILE-TO-PREVIEW [FILTER [deep]]]\n");
        return 2;
    }
    InitAppResources();
    ApplyVisualStyle(app);
    LoadTranslation();
    const QString outDir = QString::fromLocal8Bit(argv[2]);
    const std::string preview = argc > 3 ? argv[3] : "holiday.jpg";
    const QString filter = QString::fromLocal8Bit(argc > 4 ? argv[4] : "Users");

    TFrmMain w;
    w.resize(1180, 660);
    w.show();
    Settle(300);
    w.cbWhereToScan->setCurrentIndex(1);
    w.EdDiskImagePath->setText(QString::fromLocal8Bit(argv[1]));
    w.cbDeepScan->setChecked(argc > 5 && std::string(argv[5]) == "deep");
    w.tbFastScanClick();
    if (!w.WaitForScan(120000)) return 1;
    if (!w.WaitForFolderTree(120000)) return 1;
    w.tvFolders->expandToDepth(2);
    w.ShowPreview1->trigger();
    if (!SelectResult(w, preview)) std::fprintf(stderr, "no result named %s\n", preview.c_str());
    Settle(1500);
    w.grab().save(outDir + "/screenshot-main.png");

    w.ShowThumbnails1->trigger();  // the selected picture stays chosen in the grid
    Settle(2500);
    w.grab().save(outDir + "/screenshot-thumbnails.png");
    w.ShowThumbnails1->trigger();

    for (QAction* a : w.mmLanguage->actions())
        if (a->text() == QStringLiteral("Deutsch")) a->trigger();
    w.edResultFilter->setText(filter);
    w.ApplyResultFilter();
    w.lvFiles->setCurrentIndex(w.ResultsModel()->index(0, 0));
    w.lvFiles->selectRow(0);
    Settle(1500);
    w.grab().save(outDir + "/screenshot-de.png");
    std::printf("pictures written to %s\n", argv[2]);
    return 0;
}
