#pragma once
#include <QDialog>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace brivo {

struct TImageProgress;

// File > Save Disk Image...: copies the chosen disk or image (or one of its volumes) into
// a raw image file with a map, on a worker thread, showing bytes, speed, errors and time
// left; Stop ends it with the map saved, and starting again with the same map goes on.
class TDiskImageDialog final : public QDialog {
public:
    // volume 0: the whole source.
    TDiskImageDialog(QWidget* parent, std::string source, uint32_t volume);
    ~TDiskImageDialog() override;

    bool Running() const { return worker_.joinable() && !finished_; }
    // For tests: the fields and buttons as the user uses them.
    QLineEdit* ImageEdit() const { return image_; }
    QLineEdit* MapEdit() const { return map_; }
    QPushButton* StartButton() const { return start_; }
    QPushButton* StopButton() const { return stop_; }
    QString StatusText() const;

protected:
    void reject() override;

private:
    void Start();
    void Stop();
    void ShowProgress(const TImageProgress& p);
    void Finished(const QString& text);
    void Join();

    std::string source_;
    uint32_t volume_;
    QLineEdit* image_ = nullptr;
    QLineEdit* map_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* start_ = nullptr;
    QPushButton* stop_ = nullptr;
    QPushButton* close_ = nullptr;
    std::thread worker_;
    std::atomic<bool> stopFlag_{false};
    bool finished_ = true;
};

} // namespace brivo
