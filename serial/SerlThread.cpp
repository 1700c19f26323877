#include "serial/SerlThread.h"

#include "firmware/SerialDownload.h"
#include "serial/SerlComm.h"

CSerlThread::CSerlThread(CJobHost* pMainDlg, std::string strDevicePath)
    : m_pMainDlg(pMainDlg), m_hStopEvent(std::make_shared<CManualResetEvent>()),
      m_strDevicePath(std::move(strDevicePath)) {
    m_pMainDlg->m_pSerialStop = m_hStopEvent;
}

CSerlThread::~CSerlThread() = default;

bool CSerlThread::InitInstance() {
    m_nJob = m_pMainDlg->m_nJob;
    JobLoop();
    return true;
}

int CSerlThread::LoadImage(const std::string& strPath) {
    return ::LoadImage(*m_pComm, m_pMainDlg->Prompts(), strPath);
}

int CSerlThread::VerifyFlash(uint16_t nImageCheckWord) {
    return ::VerifyFlash(*m_pComm, m_pMainDlg->Prompts(), nImageCheckWord);
}

void CSerlThread::OfferOtherSettings() {
    // OK: the next pass starts again with the new settings.
    if (!m_pMainDlg->Prompts().SerialPortDialog(*m_pMainDlg->m_pScpParams)) m_hStopEvent->Set();
}

void CSerlThread::FlashPass() {
    IPrompts& prompts = m_pMainDlg->Prompts();
    std::string strPath;
    if (!prompts.ChooseImageFile(strPath)) {
        m_hStopEvent->Set();
        return;
    }
    if (m_pComm->CheckUnit() != 0) {
        OfferOtherSettings();
        return;
    }
    prompts.Message(FLASH_NOTICE);
    // The download shows its outcome; the job ends whatever it was.
    m_pMainDlg->m_nFlashResult = LoadImage(strPath);
    m_hStopEvent->Set();
}

void CSerlThread::ConfigurePass() {
    IPrompts& prompts = m_pMainDlg->Prompts();
    if (m_pComm->CheckUnit() != 0) {
        OfferOtherSettings();
        return;
    }
    m_pMainDlg->m_bKeysEnabled = m_pComm->m_bKeysEnabled;
    m_pMainDlg->m_nSerialNo = m_pComm->m_nSerialNo;
    if (m_pComm->ReadParams() != 0) {
        prompts.Message(NOT_RESPONDING);
        m_hStopEvent->Set();
        return;
    }
    m_pComm->GetParams(m_pMainDlg->m_pNetParams);
    if (!m_pMainDlg->RunConfigDialog(false)) {
        m_hStopEvent->Set();
        return;
    }
    m_pComm->SetParams(m_pMainDlg->m_pNetParams);
    if (m_pComm->WriteParams() != 0) {
        prompts.Message(UPDATE_FAILED);
        m_hStopEvent->Set();
        return;
    }
    prompts.Message(UPDATE_DONE);
    m_hStopEvent->Set();
    if (prompts.UpdateDoneDialog()) m_pComm->ResetUnit();
}

void CSerlThread::JobLoop() {
    m_pComm = std::make_unique<CSerlComm>(m_pMainDlg->m_pScpParams, &m_pMainDlg->Prompts(),
                                          m_strDevicePath);
    while (!m_hStopEvent->IsSet()) {
        if (m_nJob == JOB_FLASH)
            FlashPass();
        else
            ConfigurePass();
    }
    m_pMainDlg->m_bSerialBusy = false;
    m_pMainDlg->OnJobFinished();
    m_bAutoDelete = true;
    PostQuitMessage(JOB_EXIT_CODE);
    m_pComm.reset();
}
