#pragma once
// Runs one scan of the discovery engine on a worker thread for a window. The window
// hears of hits, progress and the end on the GUI thread, never waits for the worker,
// and may go at any time: Stop (or the worker's destruction) sets the engine's stop
// flag, and nothing the worker posts reaches a window that has gone.

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "discovery/ScanHit.h"

class CManualResetEvent;

class CScanWorker {
public:
    // What the worker runs: the engine with these hooks; nullopt-like failures go to
    // strError with bFailed.
    struct SResult {
        std::vector<SScanHit> m_hits;
        SScanTally m_tally;
        std::string m_strError;
        bool m_bFailed = false;
    };
    using FRun = std::function<SResult(const SScanHooks&)>;
    using FHit = std::function<void(const SScanHit&)>;
    using FProgress = std::function<void(const SScanProgress&)>;
    using FDone = std::function<void(const SResult&)>;

    CScanWorker() = default;
    CScanWorker(const CScanWorker&) = delete;
    CScanWorker& operator=(const CScanWorker&) = delete;
    ~CScanWorker(); // stops the scan; its callbacks are not called any more

    // Starts fnRun on a new thread; the callbacks run on the GUI thread. False when a
    // scan is still running or no thread could be had.
    bool Start(FRun fnRun, FHit fnHit, FProgress fnProgress, FDone fnDone);
    // Ends the scan at once: the engine returns what it found, interrupted.
    void Stop();
    bool Running() const;
    // Set once the last scan's thread has ended (a test's wait; never the GUI's).
    std::shared_ptr<CManualResetEvent> Ended() const { return m_pEnded; }

private:
    struct SShared;
    std::shared_ptr<SShared> m_pShared;
    std::shared_ptr<CManualResetEvent> m_pEnded;
};
