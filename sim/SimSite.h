#pragma once
// A site of simulated units in one process: each unit has its own UDP socket on its
// own loopback address, its own serial number, comm address, check word, record and
// faults, and one thread serves them all. A thousand units cost a few MB: a unit
// holds only the memory pages a load has written.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/SimUnit.h"

// One unit of a site, as it is set up.
struct SSiteUnit {
    std::string m_strHost; // a 127.x.y.z address of its own
    uint16_t m_nPort = 3001;
    // Serial number, comm address (m_nAddr, also in the record), faults and record;
    // the transport fields are not used.
    SSimOptions m_options;
    uint16_t m_nCheckWord = 0xFFFF; // of the program it came with; 0xFFFF: none
};

// A site laid out by rule: unit n (1..m_nUnits) sits at m_strFirstHost + (n-1) *
// m_nStep, on comm address 0 (or m_base.m_nAddr). Every k-th unit is silent, slow
// or on comm address m_nOtherAddr when the matching "every" is k (0: none).
struct SSiteLayout {
    size_t m_nUnits = 0;
    std::string m_strFirstHost = "127.1.0.1";
    uint16_t m_nPort = 3001;
    uint32_t m_nStep = 1;
    SSimOptions m_base; // what every unit starts from (faults, record, keys)
    uint16_t m_nFirstSerialNo = 0x1001;
    uint16_t m_nFirstCheckWord = 0x8001;
    size_t m_nSilentEvery = 0;
    size_t m_nSlowEvery = 0;
    int m_nSlowMs = 200;
    size_t m_nOtherAddrEvery = 0;
    int m_nOtherAddr = 2;
};

// The units the layout describes, or false with a message (too many, an address
// outside 127.0.0.0/8).
bool LayOutSite(const SSiteLayout& layout, std::vector<SSiteUnit>& units, std::string& strError);

// "unit: HOST:PORT serial-no=0x1001 comm-addr=0 check-word=0x8001 faults=silent,slow":
// how velorsim lists a unit once its site is ready.
std::string SiteUnitLine(const SSiteUnit& unit);

class CSimSite;
// The units as a velorctl --fleet file: "target,addr", then "udp:HOST:PORT,A" a unit.
std::string SiteFleetFile(const CSimSite& site);

class CSimSite {
public:
    CSimSite();
    ~CSimSite(); // stops
    // Binds every unit's socket (raising the soft limit on open files as far as
    // needed) and starts the thread; a port of 0 takes any free one.
    bool Start(std::vector<SSiteUnit> units, std::string* pError = nullptr);
    void Stop();

    size_t Size() const { return m_units.size(); }
    // As started: the bound port filled in.
    const SSiteUnit& Unit(size_t i) const { return m_units[i]; }

    void SetFaults(size_t i, const SSimFaults& faults);
    // The units' state (CSimUnit::StateJson) as a JSON array, each with its address.
    std::string StateJson();

    // Runs fn on unit i with the site's lock held.
    template <class F> auto WithUnit(size_t i, F fn) {
        std::lock_guard lock(m_mutex);
        return fn(*m_sims[i]);
    }

private:
    struct SImpl;
    std::unique_ptr<SImpl> m_pImpl;
    std::vector<SSiteUnit> m_units;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<CSimUnit>> m_sims;
};
