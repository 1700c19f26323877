#include "jobs/EthernetThread.h"

#include <new>

#include "ethernet/EthLink.h"
#include "params/Texts.h"
#include "platform/TimeConstants.h"
#include "serial/FrameCodec.h"

CEthernetThread::CEthernetThread(CJobHost* pMainDlg)
    : m_pMainDlg(pMainDlg), m_hStopEvent(std::make_shared<CManualResetEvent>()) {
    m_pMainDlg->m_pEthernetStop = m_hStopEvent;
}

CEthernetThread::~CEthernetThread() = default;

bool CEthernetThread::InitInstance() {
    m_nJob = m_pMainDlg->m_nJob;
    JobLoop();
    return true;
}

void CEthernetThread::TakeTargetFromRecord(bool bPort) {
    const NetParams& rec = *m_pMainDlg->m_pNetParams;
    m_pMainDlg->m_strTargetIp = rec.DottedAt(NetParams::OFS_IP);
    if (bPort) m_pMainDlg->m_nTargetPort = rec.Port();
}

void CEthernetThread::Finish(EJobResult eResult) {
    m_eResult = eResult;
    m_bFinished = true;
    m_hStopEvent->Set();
}

namespace {
EJobResult FlashResult(CEthLink::EFlash eFlash, EJobResult eLink) {
    switch (eFlash) {
    case CEthLink::EFlash::Updated:
        return EJobResult::Success;
    case CEthLink::EFlash::NotChecked:
        return EJobResult::Unverified;
    case CEthLink::EFlash::FileNotOpened:
    case CEthLink::EFlash::InvalidImage:
        return EJobResult::ImageError;
    case CEthLink::EFlash::CrcMismatch:
        return EJobResult::VerifyFailed;
    case CEthLink::EFlash::Unreachable:
        return EJobResult::NoAnswer;
    case CEthLink::EFlash::NotStarted:
    case CEthLink::EFlash::Interrupted:
    case CEthLink::EFlash::SendFailed:
        break;
    }
    // The exchange that broke off says whether the unit fell silent.
    return eLink == EJobResult::NoAnswer ? eLink : EJobResult::CommFailure;
}
} // namespace

void CEthernetThread::JobLoop() {
    try {
        m_pLink = std::make_unique<CEthLink>(m_pMainDlg);
        if (m_pLink->OpenSocket(TimeConstants().m_nRecvMs, CEthLink::EOpen::Start) ==
            CEthLink::EOpenResult::Failed) {
            Finish(m_pLink->Result());
        } else {
            // A failed connect has shown its message; the polls of the first step then fail.
            m_nState = m_nJob == JOB_CONFIGURE ? frame::CMD_STATUS
                       : m_nJob == JOB_FLASH   ? frame::CMD_LOAD
                       : m_nJob == JOB_RESET   ? frame::CMD_RESET
                                               : m_nJob;
            while (!m_hStopEvent->IsSet()) {
                if (!m_pLink->StepPolls()) {
                    Finish(m_pLink->Result());
                    break;
                }
                RunState();
            }
        }
    } catch (const std::bad_alloc&) {
        // A huge image, say: the job ends, the buttons come back.
        m_pMainDlg->Prompts().Message(txt::JOB_NO_MEMORY);
        Finish(EJobResult::NoMemory);
    }
    Ending();
}

void CEthernetThread::RunState() {
    IPrompts& prompts = m_pMainDlg->Prompts();
    const uint32_t nState = m_nState;
    CEthLink::EStep eStep = CEthLink::EStep::Stop;
    switch (nState) {
    case frame::CMD_STATUS:
        eStep = m_pLink->StatusCheck();
        if (eStep == CEthLink::EStep::OfferAddress) {
            // The user's answer, not the unit, decides whether this step repeats.
            m_nRepeats = 0;
            if (m_pLink->AddressReentry() != CEthLink::EStep::Retry) Finish(m_pLink->Result());
            return;
        }
        if (eStep == CEthLink::EStep::Next) m_nState = frame::CMD_READ_PARAMS;
        break;
    case frame::CMD_READ_PARAMS:
        eStep = m_pLink->ReadParams();
        if (eStep == CEthLink::EStep::Next) {
            if (prompts.ConfigDialog(*m_pMainDlg->m_pNetParams, m_pLink->PropertiesMode(),
                                     m_pLink->KeysEnabled(), m_pLink->SerialNo())) {
                // The next Ethernet job starts with this address and port.
                TakeTargetFromRecord(true);
                m_nState = frame::CMD_WRITE_PARAMS;
            } else {
                Finish(EJobResult::Cancelled);
                return;
            }
        }
        break;
    case frame::CMD_WRITE_PARAMS:
        eStep = m_pLink->WriteParams();
        if (eStep == CEthLink::EStep::Next) {
            m_bVerifyFailed = m_pLink->Result() == EJobResult::VerifyFailed;
            m_nState = frame::CMD_RESET;
        }
        break;
    case frame::CMD_RESET: {
        // Declining the reset leaves the write's outcome; a reset that fails replaces a
        // verified write's, never a failed verification.
        EJobResult eResult = m_bVerifyFailed ? EJobResult::VerifyFailed : EJobResult::Success;
        if (prompts.UpdateDoneDialog() && !m_pLink->ResetUnit() && !m_bVerifyFailed)
            eResult = m_pLink->Result();
        Finish(eResult);
        return;
    }
    case frame::CMD_LOAD: {
        std::string strPath;
        if (!prompts.ChooseImageFile(strPath)) {
            Finish(EJobResult::Cancelled);
            return;
        }
        prompts.Message(txt::ETH_FLASH_START);
        const CEthLink::EFlash eFlash = m_pLink->LoadImage(strPath);
        Finish(FlashResult(eFlash, m_pLink->Result()));
        return;
    }
    default:
        // No work for an unknown state; only a stop request ends the job.
        return;
    }

    if (eStep == CEthLink::EStep::Stop || eStep == CEthLink::EStep::OfferAddress) {
        Finish(m_pLink->Result());
    } else if (eStep == CEthLink::EStep::Retry) {
        if (++m_nRepeats >= MAX_STEP_REPEATS) {
            prompts.Message(txt::ETH_REFUSED);
            Finish(EJobResult::Refused);
        }
    } else {
        m_nRepeats = 0;
    }
}

void CEthernetThread::Ending() {
    if (m_pLink) m_pLink->CloseSocket(CEthLink::EClose::JobEnd);
    m_pLink.reset(); // frame buffer and codec
    m_pMainDlg->m_eResult = m_bFinished ? m_eResult : EJobResult::Stopped;
    m_pMainDlg->m_bEthernetBusy = false;
    m_pMainDlg->OnJobFinished();
    m_bAutoDelete = true;
    PostQuitMessage(JOB_EXIT_CODE);
    m_pMainDlg->EnableEndButtons();
}
