// SPDX-License-Identifier: GPL-3.0-or-later
// The window's results list with a million results: filling, building the folder tree,
// sorting, filtering, marking and scrolling, timed. Run by hand (QT_QPA_PLATFORM=offscreen works):
//   results-list-bench [count]
#include <QAbstractItemView>
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QScrollBar>
#include <QTableView>
#include <QTreeView>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/MainForm.h"
#include "app/FolderTreeModel.h"
#include "app/ResultsTableModel.h"
#include "results/FolderTree.h"

using namespace brivo;

namespace {

template <typename F>
double TimeMs(F&& f) {
    QElapsedTimer t;
    t.start();
    f();
    QCoreApplication::processEvents();
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const long n = argc > 1 ? std::atol(argv[1]) : 1000000;
    TFrmMainOptions o;
    o.UnpackEngine = false;
    o.ListDrives = [] { return std::vector<std::string>{}; };
    o.SystemDrive = [] { return std::string(); };
    o.DebugLogPath = "/dev/null";
    TFrmMain w(o);
    w.resize(1280, 800);
    w.show();
    QCoreApplication::processEvents();

    TFoundFiles& found = w.ScanState().FFound;
    found.reserve(static_cast<size_t>(n));
    for (long i = 0; i < n; ++i) {
        TFoundFile f;
        f.Inode = std::to_string(1000 + i);
        char path[96];
        std::snprintf(path, sizeof path, "/Users/User%02ld/Documents/Folder%04ld/file%07ld.%s", i % 37, (i * 7919) % 5000,
                      (i * 104729) % n, i % 5 ? "txt" : "jpg");
        f.FullPath = path;
        f.SizeBytes = (i * 2654435761L) % 100000000;
        f.HasModDate = true;
        f.ModDateUtc = 40000 + static_cast<double>((i * 31) % 8000);
        found.push_back(std::move(f));
    }
    std::printf("results: %ld\n", n);
    std::printf("fill the list (scan order):   %8.1f ms\n", TimeMs([&] { w.PopulateResults(); }));
    // The tree is built on a worker while the list is already shown.
    QElapsedTimer treeClock;
    treeClock.start();
    w.WaitForFolderTree(600000);
    std::printf("folder tree ready (worker):   %8.1f ms (%zu folders)\n", static_cast<double>(treeClock.nsecsElapsed()) / 1e6,
                w.FolderTree()->NodeCount());
    std::printf("folder tree build alone:      %8.1f ms\n", TimeMs([&] { (void)BuildFolderTree(found); }));
    for (int col = 0; col < 5; ++col)
        std::printf("sort by column %d:             %8.1f ms\n", col, TimeMs([&] { w.lvFilesColumnClick(col); }));
    std::printf("check all:                    %8.1f ms\n", TimeMs([&] { w.btCheckAllClick(); }));
    std::printf("sort with every row marked:   %8.1f ms\n", TimeMs([&] { w.lvFilesColumnClick(1); }));
    std::printf("uncheck all:                  %8.1f ms\n", TimeMs([&] { w.btUncheckAllClick(); }));
    {
        // One user's folder (a thirty-seventh of the results), and the root again.
        TFolderTreeModel* m = w.FolderModel();
        const QModelIndex users = m->index(0, 0, m->index(0, 0));
        const QModelIndex user = m->index(0, 0, users);
        w.tvFolders->expand(users);
        double ms = TimeMs([&] { w.tvFolders->setCurrentIndex(user); });
        std::printf("choose a folder:              %8.1f ms (%zu rows)\n", ms, w.ResultsModel()->ShownCount());
        ms = TimeMs([&] { w.FolderCheckClick(m->FolderAt(user), true); });
        std::printf("check the folder:             %8.1f ms (%d marked)\n", ms, w.CountChecked());
        std::printf("sort inside the folder:       %8.1f ms\n", TimeMs([&] { w.lvFilesColumnClick(0); }));
        ms = TimeMs([&] { w.tvFolders->setCurrentIndex(m->index(0, 0)); });
        std::printf("choose the root:              %8.1f ms (%zu rows)\n", ms, w.ResultsModel()->ShownCount());
        w.btUncheckAllClick();
    }
    for (const char* text : {"u", "users/user1", "file00012", "zzz", ""}) {
        const double ms = TimeMs([&] {
            w.edResultFilter->setText(QString::fromLatin1(text));
            w.ApplyResultFilter();
        });
        std::printf("filter \"%s\":%*s%8.1f ms (%zu rows)\n", text, static_cast<int>(18 - std::strlen(text)), "", ms,
                    w.ResultsModel()->ShownCount());
    }
    // Scrolling: a page at a time through the whole list would be n/40 pages; take 400
    // pages spread over it, each painted.
    QScrollBar* bar = w.lvFiles->verticalScrollBar();
    const int pages = 400;
    double worst = 0, total = 0;
    for (int p = 0; p < pages; ++p) {
        const double ms = TimeMs([&] {
            bar->setValue(static_cast<int>(static_cast<long long>(bar->maximum()) * p / (pages - 1)));
            w.lvFiles->viewport()->repaint();
        });
        worst = std::max(worst, ms);
        total += ms;
    }
    std::printf("scroll and paint a page:      %8.2f ms average, %.2f ms worst (%d pages)\n", total / pages, worst, pages);
    const double line = TimeMs([&] {
        for (int k = 0; k < 200; ++k) {
            bar->setValue(bar->value() - 1);
            w.lvFiles->viewport()->repaint();
        }
    });
    std::printf("scroll one row and paint:     %8.2f ms average\n", line / 200);
    return 0;
}
