#include "ethernet/EthernetThread.h"

#include "ethernet/EthLink.h"
#include "platform/TimeConstants.h"
#include "serial/FrameCodec.h"

CEthernetThread::CEthernetThread(CJobHost* pMainDlg)
    : m_pMainDlg(pMainDlg), m_hStopEvent(std::make_shared<CManualResetEvent>()) {
    m_pMainDlg->m_pEthernetStop = m_hStopEvent;
}

CEthernetThread::~CEthernetThread() = default;

bool CEthernetThread::InitInstance() {
    m_strIp = m_pMainDlg->m_strTargetIp;
    m_nPort = m_pMainDlg->m_nTargetPort;
    m_nJob = m_pMainDlg->m_nJob;
    JobLoop();
    return true;
}

void CEthernetThread::TakeTargetFromRecord(bool bPort) {
    const NetParams& rec = *m_pMainDlg->m_pNetParams;
    m_pMainDlg->m_strTargetIp = rec.DottedAt(NetParams::OFS_IP);
    if (bPort) m_pMainDlg->m_nTargetPort = rec.Port();
}

namespace {
// The download's outcome in the codes the serial download uses.
int FlashResultCode(CEthLink::EFlash eFlash) {
    switch (eFlash) {
    case CEthLink::EFlash::Updated:
    case CEthLink::EFlash::NotChecked:
        return 0;
    case CEthLink::EFlash::Unreachable:
        return 2;
    case CEthLink::EFlash::FileNotOpened:
        return 4;
    case CEthLink::EFlash::InvalidImage:
        return 5;
    case CEthLink::EFlash::CrcMismatch:
        return 6;
    default:
        return 3;
    }
}
} // namespace

void CEthernetThread::JobLoop() {
    m_pLink = std::make_unique<CEthLink>(m_pMainDlg);
    if (m_pLink->OpenSocket(TimeConstants().m_nRecvMs, CEthLink::EOpen::Start) !=
        CEthLink::EOpenResult::Failed) {
        // A failed connect has shown its message; the polls of the first step then fail.
        m_nState = m_nJob == JOB_CONFIGURE ? frame::CMD_STATUS
                   : m_nJob == JOB_FLASH   ? frame::CMD_LOAD
                   : m_nJob == JOB_RESET   ? frame::CMD_RESET
                                           : m_nJob;
        while (!m_hStopEvent->IsSet()) {
            if (!m_pLink->StepPolls()) {
                m_hStopEvent->Set();
                break;
            }
            RunState();
        }
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
            if (m_pLink->AddressReentry() != CEthLink::EStep::Retry) m_hStopEvent->Set();
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
                eStep = CEthLink::EStep::Stop;
            }
        }
        break;
    case frame::CMD_WRITE_PARAMS:
        eStep = m_pLink->WriteParams();
        if (eStep == CEthLink::EStep::Next) m_nState = frame::CMD_RESET;
        break;
    case frame::CMD_RESET:
        if (prompts.UpdateDoneDialog()) m_pLink->ResetUnit();
        eStep = CEthLink::EStep::Stop;
        break;
    case frame::CMD_LOAD: {
        std::string strPath;
        if (prompts.ChooseImageFile(strPath)) {
            prompts.Message(ethmsg::FLASH_START);
            m_pMainDlg->m_nFlashResult = FlashResultCode(m_pLink->LoadImage(strPath));
        }
        eStep = CEthLink::EStep::Stop;
        break;
    }
    default:
        // No work for an unknown state; only a stop request ends the job.
        return;
    }

    if (eStep == CEthLink::EStep::Stop || eStep == CEthLink::EStep::OfferAddress) {
        m_hStopEvent->Set();
    } else if (eStep == CEthLink::EStep::Retry) {
        if (++m_nRepeats >= MAX_STEP_REPEATS) {
            prompts.Message(REFUSED_MESSAGE);
            m_hStopEvent->Set();
        }
    } else {
        m_nRepeats = 0;
    }
}

void CEthernetThread::Ending() {
    if (m_pLink) m_pLink->CloseSocket(CEthLink::EClose::JobEnd);
    m_pLink.reset(); // frame buffer and codec
    m_pMainDlg->m_bEthernetBusy = false;
    m_pMainDlg->OnJobFinished();
    m_bAutoDelete = true;
    PostQuitMessage(JOB_EXIT_CODE);
    m_pMainDlg->EnableEndButtons();
}
