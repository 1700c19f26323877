#pragma once
// The worker of one serial job: configure (check, read, edit, write, offer a reset)
// or flash (choose an image and download it). When the unit does not answer it asks
// for other port settings and tries again. At its end it records how the job ended,
// hands the main window back its buttons and deletes itself.

#include <cstdint>
#include <memory>
#include <string>

#include "jobs/JobHost.h"
#include "platform/WinThread.h"

class CSerlComm;

class CSerlThread : public CWinThread {
public:
    // Created by the main window with itself; the window has set m_nJob and
    // m_bSerialBusy. A non-empty device path is opened instead of the port the
    // settings name (velorctl --serial /dev/...). Stores the stop event in the host.
    explicit CSerlThread(CJobHost* pMainDlg, std::string strDevicePath = {});
    ~CSerlThread() override;

    bool InitInstance() override;
    int ExitInstance() override { return CWinThread::ExitInstance(); }

    std::shared_ptr<CManualResetEvent> StopEvent() const { return m_hStopEvent; }

    // The serial download on this job's link.
    EJobResult LoadImage(const std::string& strPath);

private:
    void JobLoop();
    void FlashPass();
    void ConfigurePass();
    // The unit did not answer: other settings and another pass, or the end.
    void OfferOtherSettings();
    // The job has decided how it ends.
    void Finish(EJobResult eResult);

    CJobHost* m_pMainDlg;
    std::unique_ptr<CSerlComm> m_pComm;
    std::shared_ptr<CManualResetEvent> m_hStopEvent;
    uint32_t m_nJob = 0;
    std::string m_strDevicePath;
    EJobResult m_eResult = EJobResult::None;
    bool m_bFinished = false;
};
