#pragma once
// What a job's worker reads and writes on the main window, without any GUI: the
// main dialog derives from this, velorctl and tests use it as it is. The main
// window writes the fields before it starts a worker; the worker reads them when it
// starts and writes back only while the main window keeps the competing buttons
// disabled. The busy flags and the result are touched by both sides and are atomic.

#include <atomic>
#include <cstdint>
#include <memory>

#include "ethernet/LinkHost.h"
#include "params/JobResult.h"
#include "params/ScpParams.h"
#include "platform/WinThread.h"

constexpr uint32_t JOB_CONFIGURE = 112;
constexpr uint32_t JOB_FLASH = 142;
// Reset only: the Ethernet job entered at its reset step (velorctl reset).
constexpr uint32_t JOB_RESET = 143;

class CJobHost : public CLinkHost {
public:
    explicit CJobHost(IPrompts* pPrompts) : CLinkHost(pPrompts) {}

    // Called by the worker at the end of every job, on the worker's thread.
    virtual void OnJobFinished() {}
    // Runs the network configuration dialog on m_pNetParams with the address fields
    // unlocked; on OK the target address and port follow the record. True for OK.
    virtual bool RunConfigDialog(bool bPropertiesMode = false) {
        if (!m_pPrompts->ConfigDialog(*m_pNetParams, bPropertiesMode, m_bKeysEnabled, m_nSerialNo))
            return false;
        m_strTargetIp = m_pNetParams->DottedAt(NetParams::OFS_IP);
        m_nTargetPort = m_pNetParams->Port();
        return true;
    }
    // Enables OK, Close and Ethernet again at the end of an Ethernet job.
    virtual void EnableEndButtons() {}

    std::atomic<uint32_t> m_nJob{JOB_CONFIGURE};
    ScpParams* m_pScpParams = nullptr;
    std::atomic<bool> m_bSerialBusy{false};
    std::atomic<bool> m_bEthernetBusy{false};
    // The stop events of the current or last worker of each link. Shared with the
    // worker, so a stop request that crosses a worker's end never touches freed memory.
    std::shared_ptr<CManualResetEvent> m_pSerialStop;
    std::shared_ptr<CManualResetEvent> m_pEthernetStop;
    bool m_bKeysEnabled = false;
    uint32_t m_nSerialNo = 0;
    // How the current or last job ended; set before OnJobFinished is called.
    std::atomic<EJobResult> m_eResult{EJobResult::None};

    // Asks a running Ethernet job to stop (the main window's OK and Close).
    void StopEthernetJob() {
        if (m_bEthernetBusy.exchange(false) && m_pEthernetStop) m_pEthernetStop->Set();
    }
    // Asks a running serial job to stop (a serial action button pressed again).
    void StopSerialJob() {
        if (m_bSerialBusy.exchange(false) && m_pSerialStop) m_pSerialStop->Set();
    }
};
