#pragma once
// The worker of one serial job: configure (check, read, edit, write, offer a reset)
// or flash (choose an image and download it). When the unit does not answer it asks
// for other port settings and tries again. At its end it hands the main window back
// its buttons and deletes itself.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/JobHost.h"
#include "platform/WinThread.h"

class CSerlComm;

class CSerlThread : public CWinThread {
public:
    static constexpr const char* FLASH_NOTICE =
        "Click 'OK' to start flashing, please wait up to two minutes at 115,200 baud and up to "
        "12 minutes at 9600 baud.  Do not power Velor off during the update.";
    static constexpr const char* NOT_RESPONDING = "Orvik not responding";
    static constexpr const char* UPDATE_FAILED = " The parameter update failed";
    static constexpr const char* UPDATE_DONE = " Parameters are updated successfully";

    // Created by the main window with itself; the window has set m_nJob and
    // m_bSerialBusy. A non-empty device path is opened instead of the port the
    // settings name (velorctl --serial /dev/...). Stores the stop event in the host.
    explicit CSerlThread(CJobHost* pMainDlg, std::string strDevicePath = {});
    ~CSerlThread() override;

    bool InitInstance() override;
    int ExitInstance() override { return CWinThread::ExitInstance(); }

    std::shared_ptr<CManualResetEvent> StopEvent() const { return m_hStopEvent; }

    // The serial download on this job's link.
    int LoadImage(const std::string& strPath);
    int VerifyFlash(uint16_t nImageCheckWord);

private:
    void JobLoop();
    void FlashPass();
    void ConfigurePass();
    // The unit did not answer: other settings and another pass, or the end.
    void OfferOtherSettings();

    CJobHost* m_pMainDlg;
    std::unique_ptr<CSerlComm> m_pComm;
    std::shared_ptr<CManualResetEvent> m_hStopEvent;
    uint32_t m_nJob = 0;
    std::string m_strDevicePath;
};
