#include "platform/SerialPorts.h"

#include <algorithm>
#include <cstdlib>
#include <libserialport.h>

#include "platform/SerialDevice.h"

namespace serialdev {

std::vector<SPortInfo> ListMachinePorts() {
    std::vector<SPortInfo> ports;
    sp_port** ppList = nullptr;
    if (sp_list_ports(&ppList) != SP_OK) return ports;
    for (sp_port** pp = ppList; *pp; ++pp) {
        const char* pszName = sp_get_port_name(*pp);
        if (!pszName) continue;
        // A USB adapter's product name tells a technician which one it is; the
        // driver's own description is the fallback.
        const char* pszProduct =
            sp_get_port_transport(*pp) == SP_TRANSPORT_USB ? sp_get_port_usb_product(*pp) : nullptr;
        const char* pszDesc = pszProduct && *pszProduct ? pszProduct : sp_get_port_description(*pp);
        ports.push_back({pszName, pszDesc ? pszDesc : ""});
    }
    sp_free_port_list(ppList);
    return ports;
}

namespace {
// $VELOR_COMn is set: the number already names a device, and that one wins.
bool NamedByEnvironment(int nPort) {
    const std::string strVar = "VELOR_COM" + std::to_string(nPort);
    const char* psz = std::getenv(strVar.c_str());
    return psz && *psz;
}
} // namespace

std::vector<SPortOffer> OfferMachinePorts(const std::vector<SPortInfo>& ports) {
    std::vector<std::string> taken = {ResolvePort(1), ResolvePort(2)};
    for (int n = FIRST_OFFERED_PORT; n <= LAST_OFFERED_PORT; ++n)
        if (NamedByEnvironment(n)) taken.push_back(ResolvePort(n));
    std::vector<SPortOffer> offers;
    int nPort = FIRST_OFFERED_PORT;
    for (const SPortInfo& info : ports) {
        if (std::find(taken.begin(), taken.end(), info.m_strDevice) != taken.end()) continue;
        while (nPort <= LAST_OFFERED_PORT && NamedByEnvironment(nPort))
            ++nPort;
        if (nPort > LAST_OFFERED_PORT) break;
        offers.push_back({nPort++, info});
    }
    return offers;
}

} // namespace serialdev
