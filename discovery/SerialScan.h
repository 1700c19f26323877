#pragma once
// The status request at every line setting and unit address of a serial port.

#include <optional>
#include <string>
#include <vector>

#include "discovery/ScanHit.h"

namespace serialdev {
class CSerialDevice;
}

// Every rate and parity a unit can be set to, most likely first: 115200 even (the
// settings a unit and the serial dialog start with), then nBaud / cParity when given
// (0: not given), then the rates by how often field units run at them.
std::vector<SLineSetting> SerialScanOrder(int nBaud, char cParity);

// The unit addresses in the order tried: nFirst (when 0..15) first, then 0..15.
std::vector<uint8_t> UnitAddrOrder(int nFirst);

// Milliseconds a silent probe costs at a setting: the request and a reply header on
// the line, and the unit's time to begin.
int SerialProbeMs(const SLineSetting& line);
// The most any probe costs at a setting, whatever comes back (a noisy line, a modem):
// the request and a whole status reply on the line, and the unit's time to begin
// and to end it.
int SerialProbeBoundMs(const SLineSetting& line);

struct SSerialScanPlan {
    std::string m_strName;   // as the user named the port, for the hits' target
    std::string m_strDevice; // the device opened
    std::vector<SLineSetting> m_settings;
    std::vector<uint8_t> m_addrs;
    bool m_bAll = false; // go on after the first unit
};

// Probes every setting and address of the plan (until the first unit unless m_bAll)
// and puts the line back as it was found, however it ends. nullopt with the reason
// when the port cannot be opened.
std::optional<std::vector<SScanHit>> ScanSerial(const SSerialScanPlan& plan,
                                                const SScanHooks& hooks, SScanTally& tally,
                                                std::string& strError);
// The same on a device already open (a test's or a fuzz target's stand-in).
std::vector<SScanHit> ScanSerialDevice(serialdev::CSerialDevice& dev, const SSerialScanPlan& plan,
                                       const SScanHooks& hooks, SScanTally& tally);
