#pragma once
// The worker of one Ethernet job: configure (status, read, edit, write, reset) or
// flash, run as a state machine on the job's own thread. It shows the job's dialogs
// and messages through the host's prompts and at its end records how the job ended,
// hands the main window back its buttons and deletes itself.

#include <cstdint>
#include <memory>
#include <string>

#include "jobs/JobHost.h"
#include "platform/WinThread.h"

class CEthLink;

class CEthernetThread : public CWinThread {
public:
    // A step that the unit keeps refusing (polls answered, command not) is run at
    // most this many times in a row; then the job ends saying so.
    static constexpr int MAX_STEP_REPEATS = 10;

    // Created by the main window with itself; the window has set m_nRecvLen,
    // m_bEthernetBusy and m_nJob. Stores the stop event in the host as well.
    explicit CEthernetThread(CJobHost* pMainDlg);
    ~CEthernetThread() override;

    bool InitInstance() override;
    int ExitInstance() override { return CWinThread::ExitInstance(); }

    std::shared_ptr<CManualResetEvent> StopEvent() const { return m_hStopEvent; }

private:
    void JobLoop();
    // One job step's work for the current state.
    void RunState();
    void Ending();
    void TakeTargetFromRecord(bool bPort);
    // The job has decided how it ends.
    void Finish(EJobResult eResult);

    uint32_t m_nJob = 0;
    CJobHost* m_pMainDlg;
    std::shared_ptr<CManualResetEvent> m_hStopEvent;
    std::unique_ptr<CEthLink> m_pLink; // socket, frame buffer and frame codec of the job
    uint32_t m_nState = 0;
    int m_nRepeats = 0;
    bool m_bVerifyFailed = false; // the write's read-back did not compare
    EJobResult m_eResult = EJobResult::None;
    bool m_bFinished = false;
};
