#pragma once
// velorctl scan: finds the units nobody wrote down, over a range of UDP addresses or
// over every line setting and unit address of a serial port, with the status request.

#include <cstdint>
#include <string>
#include <vector>

#include "discovery/SerialScan.h"
#include "discovery/UdpScan.h"

namespace CLI {
class App;
}

struct SScanOptions {
    std::string m_strTarget;         // udp:NET/PREFIX[:PORT], udp:FIRST-LAST[:PORT], serial:PORT
    unsigned m_nRate = 0;            // udp: addresses asked a second (0: the default)
    int m_nWaitMs = 0;               // udp: each answer's wait (0: the default)
    std::string m_strCommAddr = "0"; // udp: 0..15 or all
    bool m_bBroadcast = false;       // udp: send to broadcast addresses too
    bool m_bAll = false;             // serial: go on after the first unit
    int m_nBaud = 0;                 // serial: try this rate first (0: not given)
    std::string m_strParity;         // serial: try this parity first
    int m_nUnitAddr = -1;            // serial: try this address first
    bool m_bJson = false;
    bool m_bQuiet = false; // no progress lines
    bool m_bYes = false;   // udp: scan more than a /16
    std::string m_strFleetCsv;
    // Which of the link-bound options the command line gave.
    bool m_bUdpOptionGiven = false;
    bool m_bSerialOptionGiven = false;
};

// Adds the scan subcommand with its options to velorctl's command line.
CLI::App* AddScanCommand(CLI::App& app, SScanOptions& opts);
// Runs it; returns the exit status: 0 a unit answered, 3 none did, 2 usage, 130 Ctrl-C.
int RunScan(const SScanOptions& opts);

// The addresses a udp: target names (the text after "udp:"), the local networks'
// edges given; false with the reason.
bool PlanUdpScan(const std::string& strText, const SScanOptions& opts,
                 const std::vector<uint32_t>& localNetworks,
                 const std::vector<uint32_t>& localBroadcasts, SUdpScanPlan& plan,
                 std::string& strError);

// What was found as a file velorctl --fleet reads: target, addr, line-baud, line-parity.
std::string FleetCsvText(const std::vector<SScanHit>& hits);
