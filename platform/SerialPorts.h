#pragma once
// The machine's serial ports (libserialport) and the COM numbers they are offered
// under. The record holds a port as "COMn" in 4 characters, so a machine port gets
// one of the free numbers COM3..COM9; COM1 and COM2 keep their own meaning.

#include <string>
#include <vector>

namespace serialdev {

struct SPortInfo {
    std::string m_strDevice;      // /dev/ttyUSB0
    std::string m_strDescription; // the USB product name, or what the driver calls it
};

// The serial ports the system knows, in its order; empty when it lists none.
std::vector<SPortInfo> ListMachinePorts();

struct SPortOffer {
    int m_nPort = 0; // the COM number
    SPortInfo m_info;
};

constexpr int FIRST_OFFERED_PORT = 3;
constexpr int LAST_OFFERED_PORT = 9;

// COM3, COM4, ... for the machine's ports, in order, until COM9; the rest are left
// out. A device COM1, COM2 or a $VELOR_COMn already opens is not offered twice, and
// a number $VELOR_COMn names is skipped (the variable wins over any mapping).
std::vector<SPortOffer> OfferMachinePorts(const std::vector<SPortInfo>& ports);

} // namespace serialdev
