#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/ScanHost.h"
#include "core/ScanState.h"
#include "results/Recovery.h"

namespace brivo {

// What became of one result of a batch.
// Damaged: written, with zeros where the source could not be read (KeepDamaged).
enum class TRecoveryOutcome { Ok, Failed, Stopped, Damaged };

struct TRecoveryRecord {
    size_t Row = 0;
    std::string Address;     // the result's Inode
    std::string Path;        // the result's FullPath
    std::string OutputPath;  // the file written; empty unless Ok
    bool NameShortened = false;  // a name on the way was cut to fit Linux's 255 bytes
    uint64_t Size = 0;       // bytes written
    std::string Sha256;      // of the bytes written; empty unless Ok and hashing was asked for
    TRecoveryOutcome Outcome = TRecoveryOutcome::Failed;
    std::string Error;       // the message of a failure
    bool FailedUnreadable = false;  // Failed because the source could not read part of it
    std::vector<TByteRange> Unreadable;  // Damaged: the zero-filled parts, as offsets in the file
};

// How a batch ended, for the front end's summary.
struct TRecoverySummary {
    TRecoveryCounts Counts;
    bool Stopped = false;
    size_t NotRecovered = 0;  // rows left when Stop ended the batch (the one being written included)
    std::string Folder;
    std::string Text;         // the translated "Recovery finished. OK: %d Failed: %d", with
                              // " Damaged: %d" after it when files were kept with unreadable parts
    // The files that failed or were kept with unreadable parts, in batch order (at most
    // kMaxProblemRecords of them; Counts has them all).
    std::vector<TRecoveryRecord> Problems;
    int FailedUnreadable = 0;  // of Counts.Failed: for want of readable parts
    // Translated: what the user can do about the failures (tick "Keep files with unreadable
    // parts"); empty when nothing can be done.
    std::string Hint;
};

inline constexpr size_t kMaxProblemRecords = 10000;

// The translated "<path>: <why>" line of a record that failed or was kept damaged, as the
// summary lists it.
std::string RecoveryProblemText(const TRecoveryRecord& r, TScanHost& host);

struct TRecoveryBatchOptions {
    // Called on the worker after each result, in row order (the command line's report).
    // Must not throw.
    std::function<void(const TRecoveryRecord&)> OnRecord;
    // Whether the records carry each file's SHA-256 (costs about as much processor time
    // as the copy; only a report reads it).
    bool Hash = false;
    // Files with unreadable parts are kept (outcome Damaged) instead of failing.
    bool KeepDamaged = false;
    // Replaces the summary's information box (the window offers to open the folder).
    // Runs on the UI thread.
    std::function<void(const TRecoverySummary&)> ShowSummary;
};

// The Recover command's batch, run on a worker owned like the scan worker: the front end
// stays responsive, sees "Recovering n of N: <path>" with a determinate progress (files
// and bytes), and Stop ends the batch after removing the file being written. Each result
// is streamed through the extractor of the last scan's route (state.FMakeExtractor; icat
// when none was set) into RecoverOne. Destroying the batch (or Shutdown) requests Stop and
// joins the worker.
//
// The front end must leave state.FFound alone while Busy() (the busy switch does).
class TRecoveryBatch {
public:
    TRecoveryBatch(TScanState& state, TScanHost& host);
    ~TRecoveryBatch();
    TRecoveryBatch(const TRecoveryBatch&) = delete;
    TRecoveryBatch& operator=(const TRecoveryBatch&) = delete;

    // UI thread. Creates the folder with missing parents (throws std::runtime_error with the
    // system's message when that fails, before anything else happens), goes busy with
    // "Recovering selected files..." and starts the worker. False when a batch runs.
    bool Start(std::vector<size_t> rows, const std::string& folder, TRecoveryBatchOptions options = {});
    // The Stop command (UI thread): the file being written is abandoned and removed.
    void Stop();
    // True from an accepted Start until its idle step has run on the UI thread.
    bool Busy() const { return busy_; }
    // Requests Stop and waits for the worker.
    void Shutdown();
    // The last finished batch's summary (valid once Busy() is false again).
    const TRecoverySummary& LastSummary() const { return summary_; }

private:
    void Run(const std::vector<size_t>& rows, const std::string& folder, const TRecoveryBatchOptions& options);
    void Finish(const TRecoverySummary& summary, const TRecoveryBatchOptions& options);
    void JoinWorker();

    TScanState& st_;
    TScanHost& host_;
    std::thread worker_;
    bool busy_ = false;
    TRecoverySummary summary_;
};

} // namespace brivo
