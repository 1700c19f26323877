#pragma once
// Every time-out and pause the links use, in one place. The programs run with the
// defaults; tests shorten them here (in process) or with VELOR_TIME_DIVISOR (for a
// program they start) so that nothing waits for real time-outs. Values are atomics because a worker
// thread reads them while a test's main thread may have set them.

#include <atomic>

struct CTimeConstants {
    std::atomic<int> m_nSerialReadMs{500};       // serial read: total and between bytes
    std::atomic<int> m_nSerialWriteMs{500};      // serial write
    std::atomic<int> m_nSerialRetryPauseMs{500}; // pause after a bad reply
    std::atomic<int> m_nRecvMs{5000};            // UDP receive at job start and for a download
    std::atomic<int> m_nRecvReopenMs{10000};     // UDP receive after the address was entered again
    std::atomic<int> m_nDrainLimitMs{15000};     // upper bound of one drain after a download
    // A serial scan's wait for a unit to begin its answer once the request has left the
    // line; the line time of request and reply comes on top, reckoned from the rate.
    std::atomic<int> m_nScanAnswerMs{100};
    // A UDP scan's wait for each request's answer (what a unit behind a slow link needs).
    std::atomic<int> m_nScanWaitMs{2000};

    static CTimeConstants& Get();
    // Restores the defaults above.
    void Reset();

private:
    void ApplyTestDivisor();
};

inline CTimeConstants& TimeConstants() {
    return CTimeConstants::Get();
}
