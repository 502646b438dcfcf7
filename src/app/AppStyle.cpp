#include "app/AppStyle.h"

#include <QApplication>
#include <QPalette>
#include <QStyleFactory>

namespace brivo {

void ApplyVisualStyle(QApplication& app) {
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) app.setStyle(fusion);
    QPalette p = app.palette();
    const QColor window(0xe4, 0xea, 0xee);
    const QColor base(0xfb, 0xfc, 0xfd);
    const QColor text(0x1d, 0x2b, 0x36);
    const QColor accent(0x2f, 0x7f, 0x93);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, QColor(0xee, 0xf3, 0xf6));
    p.setColor(QPalette::Button, QColor(0xd9, 0xe2, 0xe8));
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::Highlight, accent);
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::ToolTipBase, QColor(0xff, 0xfb, 0xe6));
    p.setColor(QPalette::ToolTipText, text);
    app.setPalette(p);
    app.setStyleSheet(QStringLiteral(
        "QWidget#ToolBand { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #f4f7f9, stop:1 #d6e0e6);"
        " border-bottom: 1px solid #a9bac5; }"
        "QToolBar { background: transparent; border: none; spacing: 0px; }"
        "QToolButton { border: 1px solid transparent; border-radius: 3px; }"
        "QToolButton:hover { background: #cfe3ea; border-color: #7fb0bf; }"
        "QToolButton:pressed { background: #a9cfdb; }"
        "QGroupBox { border: 1px solid #a9bac5; border-radius: 4px; margin-top: 14px; font-weight: bold; }"
        "QGroupBox::title { subcontrol-origin: margin; left: 8px; padding: 0 3px; color: #1f5e6e; }"
        "QGroupBox QWidget { font-weight: normal; }"
        "QHeaderView::section { background: #d6e0e6; border: none; border-right: 1px solid #a9bac5;"
        " border-bottom: 1px solid #a9bac5; padding: 3px 6px; }"
        "QStatusBar { background: #d6e0e6; border-top: 1px solid #a9bac5; }"
        "QStatusBar QLabel { padding-left: 4px; }"
        "QProgressBar { border: 1px solid #7f9aab; border-radius: 2px; background: #f4f7f9; }"
        "QProgressBar::chunk { background: #2f7f93; }"));
}

} // namespace brivo
