#pragma once
// What a job's worker reads and writes on the main window, without any GUI: the
// main dialog derives from this, velorctl and tests use it as it is. The main
// window writes the fields before it starts a worker; the worker reads them when it
// starts and writes back only while the main window keeps the competing buttons
// disabled. The busy flags are touched by both sides and are atomic.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "params/NetParams.h"
#include "params/ScpParams.h"
#include "platform/Prompts.h"
#include "platform/WinThread.h"

constexpr uint32_t JOB_CONFIGURE = 112;
constexpr uint32_t JOB_FLASH = 142;
// Reset only: the Ethernet job entered at its reset step (velorctl reset).
constexpr uint32_t JOB_RESET = 143;

class CJobHost {
public:
    explicit CJobHost(IPrompts* pPrompts) : m_pPrompts(pPrompts) {}
    virtual ~CJobHost() = default;

    IPrompts& Prompts() { return *m_pPrompts; }

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
    NetParams* m_pNetParams = nullptr;
    ScpParams* m_pScpParams = nullptr;
    std::string m_strTargetIp = "192.168.0.132";
    uint16_t m_nTargetPort = 3001;
    int m_nRecvLen = 512;
    std::atomic<bool> m_bSerialBusy{false};
    std::atomic<bool> m_bEthernetBusy{false};
    // The stop events of the current or last worker of each link. Shared with the
    // worker, so a stop request that crosses a worker's end never touches freed memory.
    std::shared_ptr<CManualResetEvent> m_pSerialStop;
    std::shared_ptr<CManualResetEvent> m_pEthernetStop;
    bool m_bKeysEnabled = false;
    uint32_t m_nSerialNo = 0;
    // Code of the last download, for callers without a window to read: 0 loaded (and
    // verified, unless the unit reports check word 0), 1 rejected after the load,
    // 2 unit not back, 4 file not opened, 5 invalid file, 6 check word mismatch, any
    // other value: interrupted. -1 until a download ends.
    std::atomic<int> m_nFlashResult{-1};

    // Asks a running Ethernet job to stop (the main window's OK and Close).
    void StopEthernetJob() {
        if (m_bEthernetBusy.exchange(false) && m_pEthernetStop) m_pEthernetStop->Set();
    }
    // Asks a running serial job to stop (a serial action button pressed again).
    void StopSerialJob() {
        if (m_bSerialBusy.exchange(false) && m_pSerialStop) m_pSerialStop->Set();
    }

protected:
    IPrompts* m_pPrompts;
};
