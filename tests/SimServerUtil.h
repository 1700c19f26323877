#pragma once
// Small helpers for tests that drive the simulated unit.

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "sim/SimSite.h"
#include "sim/SimUnit.h"

// Changes some of the unit's faults, keeping the others.
inline void ChangeFaults(CSimServer& sim, const std::function<void(SSimFaults&)>& fn) {
    SSimFaults faults = sim.Faults();
    fn(faults);
    sim.SetFaults(faults);
}

// Frames the unit received with a command (-1: empty frames).
inline uint32_t FramesReceived(CSimServer& sim, int nCmd) {
    return sim.WithUnit([&](CSimUnit& unit) { return unit.FrameCount(nCmd); });
}

// The unit's own record names the address and port it is reached at, as a real
// unit's does: a job that reads it takes them over for the next job.
inline void PointRecordAtServer(CSimServer& sim) {
    sim.WithUnit([&](CSimUnit& unit) {
        NetParams rec = unit.Params();
        rec.SetDottedAt(NetParams::OFS_IP, "127.0.0.1");
        rec.SetPort(sim.UdpPort());
        unit.SetParams(rec);
        return 0;
    });
}

// A serial write sends zeros for the unit's own port settings (bytes 24..28): a unit
// that holds zeros there reads back exactly what was written.
inline void ClearUnitPortSettings(CSimServer& sim) {
    sim.WithUnit([](CSimUnit& unit) {
        NetParams rec = unit.Params();
        for (size_t i = NetParams::OFS_SCP_PROPS; i <= NetParams::OFS_UNIT_COMM_ADDR; ++i)
            rec[i] = 0;
        unit.SetParams(rec);
        return 0;
    });
}

// Starts a site laid out by rule (a port of 0: a free one for each unit); false with
// the reason in strError.
inline bool StartSite(CSimSite& site, SSiteLayout layout, std::string& strError) {
    std::vector<SSiteUnit> units;
    return LayOutSite(layout, units, strError) && site.Start(std::move(units), &strError);
}

// Writes the site's units as a velorctl --fleet file; its path.
inline std::string WriteSiteFleetFile(const CSimSite& site, const std::string& strPath) {
    std::ofstream(strPath, std::ios::trunc) << SiteFleetFile(site);
    return strPath;
}
