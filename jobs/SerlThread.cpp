#include "jobs/SerlThread.h"

#include <new>

#include "params/Texts.h"
#include "serial/SerialDownload.h"
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

EJobResult CSerlThread::LoadImage(const std::string& strPath) {
    return ::LoadImage(*m_pComm, m_pMainDlg->Prompts(), strPath);
}

void CSerlThread::Finish(EJobResult eResult) {
    m_eResult = eResult;
    m_bFinished = true;
    m_hStopEvent->Set();
}

void CSerlThread::OfferOtherSettings() {
    // OK: the next pass starts again with the new settings. Cancel: the job ends with
    // what made the unit unreachable.
    const EJobResult eWhy = m_pComm->Result();
    if (!m_pMainDlg->Prompts().SerialPortDialog(*m_pMainDlg->m_pScpParams)) Finish(eWhy);
}

void CSerlThread::FlashPass() {
    IPrompts& prompts = m_pMainDlg->Prompts();
    std::string strPath;
    if (!prompts.ChooseImageFile(strPath)) {
        Finish(EJobResult::Cancelled);
        return;
    }
    if (m_pComm->CheckUnit() != 0) {
        OfferOtherSettings();
        return;
    }
    prompts.Message(txt::SER_FLASH_NOTICE);
    // The download shows its outcome; the job ends with it.
    Finish(LoadImage(strPath));
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
        prompts.Message(txt::SER_NOT_RESPONDING);
        Finish(m_pComm->Result());
        return;
    }
    m_pComm->GetParams(m_pMainDlg->m_pNetParams);
    if (!m_pMainDlg->RunConfigDialog(false)) {
        Finish(EJobResult::Cancelled);
        return;
    }
    m_pComm->SetParams(m_pMainDlg->m_pNetParams);
    if (m_pComm->WriteParams() != 0) {
        prompts.Message(txt::SER_UPDATE_FAILED);
        Finish(m_pComm->Result());
        return;
    }
    prompts.Message(txt::SER_UPDATE_DONE);
    Finish(EJobResult::Success);
    // A reset that fails says so and becomes the job's outcome; declining it does not.
    if (prompts.UpdateDoneDialog()) {
        m_pComm->ResetUnit();
        if (m_pComm->Result() != EJobResult::Success) m_eResult = m_pComm->Result();
    }
}

void CSerlThread::JobLoop() {
    try {
        m_pComm = std::make_unique<CSerlComm>(m_pMainDlg->m_pScpParams, &m_pMainDlg->Prompts(),
                                              m_strDevicePath);
        while (!m_hStopEvent->IsSet()) {
            if (m_nJob == JOB_FLASH)
                FlashPass();
            else
                ConfigurePass();
        }
    } catch (const std::bad_alloc&) {
        // A huge image, say: the job ends, the buttons come back.
        m_pMainDlg->Prompts().Message(txt::JOB_NO_MEMORY);
        Finish(EJobResult::NoMemory);
    }
    m_pMainDlg->m_eResult = m_bFinished ? m_eResult : EJobResult::Stopped;
    m_pMainDlg->m_bSerialBusy = false;
    m_pMainDlg->OnJobFinished();
    m_bAutoDelete = true;
    PostQuitMessage(JOB_EXIT_CODE);
    m_pComm.reset();
}
