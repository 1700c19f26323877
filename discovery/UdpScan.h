#pragma once
// The status request to every address of an IPv4 range, paced by a rate, each
// answer waited for once; with every comm address, one socket per comm address so
// that an answer is credited only to the comm address it answers.

#include <cstdint>
#include <string>
#include <vector>

#include "discovery/ScanHit.h"

// An IPv4 range to scan, inclusive, host order, with the addresses left out.
struct SUdpScanPlan {
    uint32_t m_nFirst = 0;
    uint32_t m_nLast = 0;
    uint16_t m_nPort = 3001;
    std::vector<uint8_t> m_commAddrs{0};
    std::vector<uint32_t> m_skip;       // sorted: never sent to
    std::vector<uint32_t> m_broadcasts; // sorted: sent to with SO_BROADCAST (--broadcast)
    int m_nWaitMs = 0;                  // each request's wait for its answer; 0: the default
    unsigned m_nRate = 0;               // addresses asked a second; 0: the default
    // Addresses actually probed.
    uint64_t Count() const;
};

// Local interfaces' network and broadcast addresses (host order): a scan does not send
// to them unless asked.
void LocalNetworkEdges(std::vector<uint32_t>& networks, std::vector<uint32_t>& broadcasts);

// Addresses asked a second when the plan names no rate: a /20 in well under a second
// and a /16 in 11 s, about 300 kB/s of requests (2.4 Mbit/s).
constexpr unsigned DEFAULT_UDP_RATE = 6000;

// The rate a scan of the plan runs at: the plan's (or the default), kept lower where
// the range lies on a local Ethernet link, so that the addresses being resolved fit
// the kernel's neighbour table (half its hard limit, gc_thresh3, for as long as an
// unanswered resolution lasts); pWhy then says so.
unsigned UdpScanRate(const SUdpScanPlan& plan, std::string* pWhy = nullptr);

// Asks every address of the plan; hits in address order, a unit (address and serial
// number) once, at its lowest comm address. strError when the sockets cannot be had.
std::vector<SScanHit> ScanUdp(const SUdpScanPlan& plan, const SScanHooks& hooks, SScanTally& tally,
                              std::string& strError);
