#include "app/DiskImageDialog.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include <cmath>
#include <stdexcept>

#include "app/Dialogs.h"
#include "app/Translation.h"
#include "core/TextFormat.h"
#include "results/ResultsModel.h"
#include "volumes/DiskImager.h"
#include "volumes/ImageTarget.h"
#include "volumes/VolumeList.h"

namespace brivo {

namespace {

QString Tr(const char* text) { return QString::fromStdString(Translate(text)); }
QString Q(const std::string& s) { return QString::fromStdString(s); }

std::string TimeLeftText(double seconds) {
    if (seconds < 0) return "?";
    const long long s = std::llround(seconds);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    return buf;
}

} // namespace

TDiskImageDialog::TDiskImageDialog(QWidget* parent, std::string source, uint32_t volume)
    : QDialog(parent), source_(std::move(source)), volume_(volume) {
    setWindowTitle(Tr("Save Disk Image"));
    auto* grid = new QGridLayout(this);
    const std::string what = volume_ == 0 ? source_ : Format(Translate("%s, volume %d"), {source_, volume_});
    grid->addWidget(new QLabel(Tr("Source:"), this), 0, 0);
    grid->addWidget(new QLabel(Q(what), this), 0, 1, 1, 2);

    image_ = new QLineEdit(this);
    map_ = new QLineEdit(this);
    QLineEdit* edits[] = {image_, map_};
    const char* labels[] = {"Image file:", "Map file:"};
    for (int i = 0; i < 2; ++i) {
        grid->addWidget(new QLabel(Tr(labels[i]), this), i + 1, 0);
        grid->addWidget(edits[i], i + 1, 1);
        auto* browse = new QPushButton(Tr("Browse..."), this);
        grid->addWidget(browse, i + 1, 2);
        QLineEdit* edit = edits[i];
        connect(browse, &QPushButton::clicked, this, [this, edit] {
            const QString f = QFileDialog::getSaveFileName(this, windowTitle(), edit->text(), QString(), nullptr,
                                                           QFileDialog::DontConfirmOverwrite);
            if (!f.isEmpty()) edit->setText(f);
        });
    }
    // The map follows the image's name until the user picks one of its own.
    connect(image_, &QLineEdit::textEdited, this, [this](const QString& t) {
        if (!map_->isModified()) map_->setText(t.isEmpty() ? QString() : t + QStringLiteral(".map"));
    });

    bar_ = new QProgressBar(this);
    bar_->setRange(0, 1000);
    status_ = new QLabel(Tr("A failing disk is read once, the readable areas first; run again with the same map to go "
                            "on where it stopped."),
                         this);
    status_->setWordWrap(true);
    grid->addWidget(bar_, 3, 0, 1, 3);
    grid->addWidget(status_, 4, 0, 1, 3);

    auto* buttons = new QHBoxLayout();
    start_ = new QPushButton(Tr("Start"), this);
    stop_ = new QPushButton(Tr("Stop"), this);
    close_ = new QPushButton(Tr("Close"), this);
    stop_->setEnabled(false);
    buttons->addStretch();
    buttons->addWidget(start_);
    buttons->addWidget(stop_);
    buttons->addWidget(close_);
    grid->addLayout(buttons, 5, 0, 1, 3);
    connect(start_, &QPushButton::clicked, this, [this] { Start(); });
    connect(stop_, &QPushButton::clicked, this, [this] { Stop(); });
    connect(close_, &QPushButton::clicked, this, [this] { reject(); });
    resize(640, sizeHint().height());
}

TDiskImageDialog::~TDiskImageDialog() {
    stopFlag_ = true;
    Join();
}

QString TDiskImageDialog::StatusText() const { return status_->text(); }

void TDiskImageDialog::Join() {
    if (worker_.joinable()) worker_.join();
}

void TDiskImageDialog::reject() {
    // A copy running is stopped (its map saved) before the dialog goes.
    if (Running()) {
        Stop();
        Join();
    }
    QDialog::reject();
}

void TDiskImageDialog::Stop() {
    stopFlag_ = true;
    status_->setText(Tr("Stopping..."));
}

void TDiskImageDialog::Start() {
    if (Running()) return;
    Join();
    const std::string image = image_->text().trimmed().toStdString();
    std::string map = map_->text().trimmed().toStdString();
    if (image.empty()) {
        Dialogs().Warning(this, Tr("Please choose the image file to write."));
        return;
    }
    if (map.empty()) map = image + ".map";
    try {
        CheckImageTarget(source_, image, map);
    } catch (const std::exception& e) {
        Dialogs().Warning(this, Q(e.what()));
        return;
    }
    stopFlag_ = false;
    finished_ = false;
    start_->setEnabled(false);
    stop_->setEnabled(true);
    image_->setEnabled(false);
    map_->setEnabled(false);
    status_->setText(Tr("Opening the source..."));
    worker_ = std::thread([this, image, map, source = source_, volume = volume_] {
        QString text;
        try {
            TSourceVolumes volumes = ListVolumes(source);
            TByteSourcePtr bytes = volumes.Disk;
            if (volume != 0) bytes = OpenVolumeSource(volumes, ChooseVolume(volumes, volume));
            TImageOptions options;
            options.MapPath = map;
            options.MapComments = {"Saved by the window: " + source + (volume ? " volume " + std::to_string(volume) : "")};
            options.Stop = &stopFlag_;
            options.OnProgress = [this](const TImageProgress& p) {
                QMetaObject::invokeMethod(this, [this, p] { ShowProgress(p); }, Qt::QueuedConnection);
            };
            const TImageResult r = ImageSource(*bytes, image, options);
            const TImageProgress& p = r.Last;
            std::string done = Format(Translate("Copied %s of %s."), {FormatSize(static_cast<int64_t>(p.Rescued)),
                                                                    FormatSize(static_cast<int64_t>(p.Total))});
            // A stopped copy has not read everything: what is left is not called unreadable.
            const uint64_t badBytes = r.Stopped ? p.BadBytes : p.BadBytes + p.Pending;
            if (badBytes > 0)
                done += " " + Format(Translate("%d areas (%s) could not be read and are zeros in the image."),
                                     {r.Stopped ? r.BadAreas : p.Errors, FormatSize(static_cast<int64_t>(badBytes))});
            if (r.Stopped && p.Pending + p.NotTried > 0)
                done += " " + Format(Translate("%s not read yet: it is read when the copy goes on."),
                                     {FormatSize(static_cast<int64_t>(p.Pending + p.NotTried))});
            if (r.Stopped) done += " " + Translate("Stopped: start again with the same map to go on where it stopped.");
            else done += " " + Translate("Scan the image now (Disk Image).");
            text = Q(done);
        } catch (const std::exception& e) {
            text = Tr("The image could not be saved: ") + Q(e.what());
        }
        QMetaObject::invokeMethod(this, [this, text] { Finished(text); }, Qt::QueuedConnection);
    });
}

void TDiskImageDialog::ShowProgress(const TImageProgress& p) {
    if (finished_) return;
    const uint64_t done = p.Rescued + p.BadBytes;
    bar_->setValue(p.Total ? static_cast<int>(std::min<uint64_t>(1000, done * 1000 / p.Total)) : 0);
    status_->setText(Q(Format(Translate("%s of %s copied, %s/s, errors: %d, time left: %s"),
                              {FormatSize(static_cast<int64_t>(p.Rescued)), FormatSize(static_cast<int64_t>(p.Total)),
                               FormatSize(static_cast<int64_t>(p.BytesPerSecond)), p.Errors, TimeLeftText(p.SecondsLeft)})));
}

void TDiskImageDialog::Finished(const QString& text) {
    finished_ = true;
    Join();
    status_->setText(text);
    start_->setEnabled(true);
    stop_->setEnabled(false);
    image_->setEnabled(true);
    map_->setEnabled(true);
}

} // namespace brivo
