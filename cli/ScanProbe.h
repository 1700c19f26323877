#pragma once
// The two probes behind velorctl scan: the status request to many UDP addresses from
// one socket, and the status request at every line setting and unit address of a
// serial port. Both build and check frames with the links' codec; neither shows a
// message of the jobs.

#include <csignal>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "params/UnitStatus.h"

// Set by the Ctrl-C handler; the probes look at it between exchanges.
extern volatile std::sig_atomic_t g_bScanInterrupted;

struct SScanHit {
    std::string m_strTarget; // udp:HOST:PORT or serial:PORT
    uint32_t m_nIp = 0;      // udp, host order
    uint16_t m_nPort = 0;    // udp
    uint8_t m_nAddr = 0;     // comm address (udp) or unit address (serial)
    int m_nBaud = 0;         // serial
    char m_cParity = 0;      // serial: n, o or e
    status::CUnitStatus m_status;
    double m_dReplyMs = 0;
};

// What one scan saw besides its hits, for the lines on stderr.
struct SScanTally {
    size_t m_nProbes = 0; // requests whose answer was waited for to the end
    size_t m_nUnsent = 0; // udp: addresses a datagram could not be sent to
    bool m_bInterrupted = false;
    std::vector<std::string> m_notes; // one line each: answers that were not usable
};

// --- UDP --------------------------------------------------------------------------

// An IPv4 range to scan, inclusive, host order, with the addresses left out.
struct SUdpScanPlan {
    uint32_t m_nFirst = 0;
    uint32_t m_nLast = 0;
    uint16_t m_nPort = 3001;
    std::vector<uint8_t> m_commAddrs{0};
    std::vector<uint32_t> m_skip;       // sorted: never sent to
    std::vector<uint32_t> m_broadcasts; // sorted: sent to with SO_BROADCAST (--broadcast)
    unsigned m_nInFlight = 256;
    // Addresses actually probed.
    uint64_t Count() const;
};

// Local interfaces' network and broadcast addresses (host order): a scan does not send
// to them unless asked.
void LocalNetworkEdges(std::vector<uint32_t>& networks, std::vector<uint32_t>& broadcasts);

// Sends the status request to every address of the plan, at most m_nInFlight
// addresses waiting at once; each waits the UDP receive time-out for its answer. A
// unit asking to resynchronise, or an answer that is not a valid frame, is asked
// again (twice at most). Hits in address order.
std::vector<SScanHit> ScanUdp(const SUdpScanPlan& plan, SScanTally& tally, std::string& strError);

// --- serial -----------------------------------------------------------------------

struct SLineSetting {
    int m_nBaud = 115200;
    char m_cParity = 'e';
};

// Every rate and parity a unit can be set to, most likely first: 115200 even (the
// settings a unit and the serial dialog start with), then nBaud / cParity when given
// (0: not given), then the rates by how often field units run at them.
std::vector<SLineSetting> SerialScanOrder(int nBaud, char cParity);

// The unit addresses in the order tried: nFirst (when 0..15) first, then 0..15.
std::vector<uint8_t> UnitAddrOrder(int nFirst);

// Milliseconds a silent probe costs at a setting: the request and a reply header on
// the line, and the unit's time to begin.
int SerialProbeMs(const SLineSetting& line);

struct SSerialScanPlan {
    std::string m_strName;   // as the user named the port, for the hits' target
    std::string m_strDevice; // the device opened
    std::vector<SLineSetting> m_settings;
    std::vector<uint8_t> m_addrs;
    bool m_bAll = false; // go on after the first unit
    // Called before each line setting with its position.
    std::function<void(size_t, const SLineSetting&)> m_fnProgress;
};

// Probes every setting and address of the plan (until the first unit unless m_bAll)
// and puts the line back as it was found. nullopt with the reason when the port cannot
// be opened.
std::optional<std::vector<SScanHit>> ScanSerial(const SSerialScanPlan& plan, SScanTally& tally,
                                                std::string& strError);

const char* ParityWord(char cParity); // "none", "odd", "even"
