#pragma once
// What a scan finds and how a caller follows and ends it. The scans print nothing:
// each unit, each progress step and each note goes to the caller's hooks, called on
// the thread that runs the scan.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "params/UnitStatus.h"

struct SScanHit {
    std::string m_strTarget; // udp:HOST:PORT or serial:PORT
    uint32_t m_nIp = 0;      // udp, host order
    uint16_t m_nPort = 0;    // udp
    uint8_t m_nAddr = 0;     // comm address (udp) or unit address (serial)
    int m_nBaud = 0;         // serial
    char m_cParity = 0;      // serial: n, o or e
    status::CUnitStatus m_status;
    double m_dReplyMs = 0; // from this request's own send to its answer
};

// What one scan saw besides its hits.
struct SScanTally {
    uint64_t m_nProbes = 0; // requests whose answer was waited for to the end
    uint64_t m_nUnsent = 0; // udp: addresses a datagram could not be sent to
    bool m_bInterrupted = false;
    std::vector<std::string> m_notes; // one line each: answers that were not usable
};

struct SLineSetting {
    int m_nBaud = 115200;
    char m_cParity = 'e';
};

// How far a scan is.
struct SScanProgress {
    uint64_t m_nDone = 0;      // probes ended
    uint64_t m_nTotal = 0;     // probes the scan makes at most
    size_t m_nFound = 0;       // units so far
    double m_dSecondsLeft = 0; // at most
    // serial: the line setting being tried, 0-based of m_nSettings
    SLineSetting m_line;
    size_t m_nSetting = 0;
    size_t m_nSettings = 0;
};

struct SScanHooks {
    // Each unit once, as it is found (a unit found again at a lower comm address is
    // not reported twice; the returned list holds the one that stands).
    std::function<void(const SScanHit&)> m_fnHit;
    // About every m_nProgressMs (udp), and at each line setting and probe (serial).
    std::function<void(const SScanProgress&)> m_fnProgress;
    int m_nProgressMs = 250;
    // Set by the caller (from any thread or a signal handler) to end the scan at once:
    // the scan returns what it found with m_bInterrupted, the serial line put back.
    const std::atomic<bool>* m_pStop = nullptr;

    bool Stopped() const { return m_pStop && m_pStop->load(std::memory_order_relaxed); }
};

const char* ParityWord(char cParity); // "none", "odd", "even"
