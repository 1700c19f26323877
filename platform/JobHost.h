#pragma once
// What a job's worker reads and writes on the main window, without any GUI: the
// main dialog derives from this, velorctl and tests use it as it is. The main
// window writes the fields before it starts a worker; the worker reads them when it
// starts and writes back only while the main window keeps the competing buttons
// disabled. The busy flags are touched by both sides and are atomic.

#include <atomic>
#include <cstdint>
#include <string>

#include "params/NetParams.h"
#include "params/ScpParams.h"
#include "platform/Prompts.h"

constexpr uint32_t JOB_CONFIGURE = 112;
constexpr uint32_t JOB_FLASH = 142;

class CJobHost {
public:
    explicit CJobHost(IPrompts* pPrompts) : m_pPrompts(pPrompts) {}
    virtual ~CJobHost() = default;

    IPrompts& Prompts() { return *m_pPrompts; }

    // Called by the worker at the end of every job, on the worker's thread.
    virtual void OnJobFinished() {}
    // Runs the network configuration dialog on m_pNetParams; true for OK.
    virtual bool RunConfigDialog(bool bPropertiesMode) {
        return m_pPrompts->ConfigDialog(*m_pNetParams, bPropertiesMode, m_bKeysEnabled,
                                        m_nSerialNo);
    }
    // Enables OK, Close and Ethernet again at the end of an Ethernet job.
    virtual void EnableEndButtons() {}

    std::atomic<uint32_t> m_nJob{JOB_CONFIGURE};
    NetParams* m_pNetParams = nullptr;
    ScpParams* m_pScpParams = nullptr;
    std::string m_strTargetIp = "192.168.0.132";
    uint16_t m_nTargetPort = 3001;
    int m_nRecvLen = 512;
    std::atomic<bool> m_bSerialBusy{false};
    std::atomic<bool> m_bEthernetBusy{false};
    bool m_bKeysEnabled = false;
    uint32_t m_nSerialNo = 0;

protected:
    IPrompts* m_pPrompts;
};
