#include "ethernet/EthLink.h"

#include <chrono>
#include <cstring>
#include <vector>

#include "firmware/ImageReader.h"
#include "firmware/LoadBlock.h"
#include "params/NetParams.h"
#include "params/Texts.h"
#include "platform/TimeConstants.h"
#include "platform/Trace.h"
#include "serial/FrameCodec.h"

namespace {
constexpr size_t COMPARE_LEN = 61; // record bytes a write sends from the record
constexpr uint32_t LEN_NO_DATA = 2;
constexpr uint32_t LEN_WRITE = 2 + WRITE_DATA_LEN; // 134
// Queued datagrams dropped ahead of one request at most: a flood cannot hold it back.
constexpr int DROP_LIMIT = 64;
} // namespace

CEthLink::CEthLink(CLinkHost* pHost)
    : m_pHost(pHost), m_strIp(pHost->m_strTargetIp), m_nPort(pHost->m_nTargetPort),
      m_pFraming(std::make_unique<CEthFraming>()),
      m_pFrame(std::make_unique<uint8_t[]>(FRAME_BUFFER)) {}

CEthLink::~CEthLink() {
    if (m_socket.IsOpen()) m_socket.Close();
    if (m_bStarted) CDatagramSocket::Cleanup();
}

void CEthLink::Show(const std::string& strText) {
    m_pHost->Prompts().Message(strText);
}

void CEthLink::ShowSocketError(const char* pFormat, int nError) {
    m_eResult = nError == WSAETIMEDOUT ? EJobResult::NoAnswer : EJobResult::CommFailure;
    Show(txt::Format(pFormat, m_sockUtil.ErrorText(nError)));
}

void CEthLink::ClearFrame() {
    std::memset(m_pFrame.get(), 0, FRAME_BUFFER);
}

int CEthLink::CheckReply() {
    return m_pFraming->CheckReply(m_pFrame.get(), m_nReceived);
}

// --- socket ---------------------------------------------------------------------------

CEthLink::EOpenResult CEthLink::OpenSocket(int nTimeoutMs, EOpen eMode) {
    m_eResult = EJobResult::CommFailure;
    if (CDatagramSocket::Startup() != 0) {
        Show(txt::ETH_STARTUP);
        return EOpenResult::Failed;
    }
    m_bStarted = true;
    if (!m_socket.Open()) {
        ShowSocketError(eMode == EOpen::Start ? txt::ETH_SOCKET_AT_START : txt::ETH_SOCKET_AGAIN,
                        m_socket.LastError());
        return EOpenResult::Failed;
    }
    if (!m_socket.SetRecvTimeout(nTimeoutMs)) {
        Show(txt::ETH_TIMEOUT);
        return EOpenResult::Failed;
    }
    if (!m_socket.Connect(m_strIp, m_nPort)) {
        ShowSocketError(txt::ETH_CONNECT, m_socket.LastError());
        return EOpenResult::NotConnected;
    }
    m_eResult = EJobResult::Success;
    return EOpenResult::Open;
}

void CEthLink::CloseSocket(EClose eMsg) {
    if (m_socket.IsOpen() && !m_socket.Close())
        ShowSocketError(eMsg == EClose::JobEnd ? txt::ETH_CLOSE_AT_END : txt::ETH_CLOSE_REOPEN,
                        m_socket.LastError());
    if (m_bStarted) {
        CDatagramSocket::Cleanup();
        m_bStarted = false;
    }
}

bool CEthLink::ReopenSocket() {
    m_strIp = m_pHost->m_strTargetIp;
    m_nPort = m_pHost->m_pNetParams->Port();
    CloseSocket(EClose::Reopen);
    return OpenSocket(TimeConstants().m_nRecvReopenMs, EOpen::Again) == EOpenResult::Open;
}

CEthLink::EStep CEthLink::AddressReentry() {
    NetParams& rec = *m_pHost->m_pNetParams;
    if (!m_pHost->Prompts().IpAddressDialog(rec)) return EStep::Stop;
    m_pHost->m_strTargetIp = rec.DottedAt(NetParams::OFS_IP);
    return ReopenSocket() ? EStep::Retry : EStep::Stop;
}

// --- exchange forms -------------------------------------------------------------------

void CEthLink::DropQueued() {
    uint8_t ab[FRAME_BUFFER];
    const size_t nAsked = m_pHost->m_nRecvLen > 0 ? static_cast<size_t>(m_pHost->m_nRecvLen) : 0;
    for (int i = 0; i < DROP_LIMIT && m_socket.Wait(0, false) > 0; ++i) {
        const int nGot = m_socket.Recv(ab, sizeof ab, nAsked);
        if (nGot < 0 && m_socket.LastError() != WSAEMSGSIZE) break;
        if (nGot >= 0) TraceFrame(ETraceDir::Received, ab, static_cast<size_t>(nGot));
    }
}

bool CEthLink::Send(const uint8_t* p, size_t n) {
    DropQueued();
    TraceFrame(ETraceDir::Sent, p, n);
    if (m_socket.Send(p, n) < 0) {
        ShowSocketError(txt::ETH_SEND, m_socket.LastError());
        return false;
    }
    return true;
}

bool CEthLink::CanAnswer(const uint8_t* p, size_t nReceived, EAwait eAwait) {
    const int nCheck = frame::CheckReply(p, nReceived);
    if (nCheck == CEthFraming::INVALID) return false;
    if (nCheck != CEthFraming::VALID || eAwait == EAwait::Frame) return true;
    if (eAwait == EAwait::Status) return frame::ParseStatusReply(p, nReceived).has_value();
    const size_t nCount = frame::DataCount(p);
    return nCount >= IV_LEN + PLAIN_READ_MIN && nReceived >= frame::OFS_DATA + nCount;
}

bool CEthLink::ReceiveAnswer(EAwait eAwait, int& nError) {
    using Clock = std::chrono::steady_clock;
    // One deadline for the whole wait: datagrams that are set aside do not extend it.
    const int nTimeoutMs = m_socket.RecvTimeout();
    const auto tEnd = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    const size_t nAsked = m_pHost->m_nRecvLen > 0 ? static_cast<size_t>(m_pHost->m_nRecvLen) : 0;
    std::vector<uint8_t> abAside; // the last datagram that could not be the answer
    int nAsideError = 0;          // or the error its receive gave instead
    bool bAside = false;
    ClearFrame();
    m_nReceived = 0;
    for (;;) {
        int nWaitMs = -1;
        if (nTimeoutMs > 0) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(tEnd - Clock::now()).count();
            nWaitMs = left > 0 ? static_cast<int>(left) : 0;
        }
        const int nReady = m_socket.Wait(nWaitMs, false);
        if (nReady < 0 && m_socket.LastError() == WSAEINTR) continue;
        if (nReady < 0) {
            nError = m_socket.LastError();
            return false;
        }
        if (nReady == 0) break;
        ClearFrame();
        const int nGot = m_socket.Recv(m_pFrame.get(), FRAME_BUFFER, nAsked);
        if (nGot >= 0) {
            m_nReceived = static_cast<size_t>(nGot);
            TraceFrame(ETraceDir::Received, m_pFrame.get(), m_nReceived);
            if (CanAnswer(m_pFrame.get(), m_nReceived, eAwait)) return true;
            abAside.assign(m_pFrame.get(), m_pFrame.get() + m_nReceived);
            nAsideError = 0;
        } else if (m_socket.LastError() == WSAEMSGSIZE) {
            nAsideError = WSAEMSGSIZE;
        } else {
            m_nReceived = 0;
            nError = m_socket.LastError();
            return false;
        }
        m_nReceived = 0;
        bAside = true;
        if (nTimeoutMs > 0 && Clock::now() >= tEnd) break;
    }
    ClearFrame();
    if (!bAside || nAsideError) {
        nError = bAside ? nAsideError : WSAETIMEDOUT;
        return false;
    }
    if (!abAside.empty()) std::memcpy(m_pFrame.get(), abAside.data(), abAside.size());
    m_nReceived = abAside.size();
    return true;
}

CEthLink::EAwait CEthLink::AwaitFor(uint8_t nCmd) {
    if (nCmd == frame::CMD_STATUS) return EAwait::Status;
    return nCmd == frame::CMD_READ_PARAMS ? EAwait::Record : EAwait::Frame;
}

bool CEthLink::Exchange(size_t nLen, EAwait eAwait) {
    if (!Send(m_pFrame.get(), nLen)) return false;
    int nError = 0;
    if (!ReceiveAnswer(eAwait, nError)) {
        ShowSocketError(txt::ETH_RECEIVE, nError);
        return false;
    }
    return true;
}

bool CEthLink::Poll() {
    const size_t nLen = m_pFraming->BuildFrame(0, 0, nullptr, m_pFrame.get());
    if (!Exchange(nLen)) return false;
    if (CheckReply() != CEthFraming::VALID) {
        m_eResult = EJobResult::CommFailure;
        Show(txt::ETH_POLL_ERROR);
        return false;
    }
    return true;
}

bool CEthLink::CommandExchange(uint8_t nCmd, uint32_t nLen, const uint8_t* pData) {
    const uint8_t nAddr = m_pFrame[frame::OFS_ADDR];
    ClearFrame();
    m_pFrame[frame::OFS_ADDR] = nAddr;
    if (!Poll()) return false;
    ClearFrame();
    m_pFrame[frame::OFS_ADDR] = nAddr;
    const size_t nFrame = m_pFraming->BuildFrame(nCmd, nLen, pData, m_pFrame.get());
    return nFrame != 0 && Exchange(nFrame, AwaitFor(nCmd));
}

bool CEthLink::SendOnly(uint8_t nCmd, uint32_t nLen, const uint8_t* pData) {
    const size_t nFrame = m_pFraming->BuildFrame(nCmd, nLen, pData, m_pFrame.get());
    return nFrame != 0 && Send(m_pFrame.get(), nFrame);
}

bool CEthLink::SendBlock(uint8_t nCmd, uint32_t nLen, const uint8_t* pData) {
    ClearFrame();
    m_pFrame[frame::OFS_ADDR] = m_nFlashAddr;
    const size_t nFrame = m_pFraming->BuildFrame(nCmd, nLen, pData, m_pFrame.get());
    if (nFrame == 0 || !Exchange(nFrame, AwaitFor(nCmd))) return false;
    return CheckReply() == CEthFraming::VALID;
}

bool CEthLink::ReceiveReply() {
    int nError = 0;
    return ReceiveAnswer(EAwait::Frame, nError) && CheckReply() == CEthFraming::VALID;
}

// --- unit operations ------------------------------------------------------------------

bool CEthLink::StepPolls() {
    ClearFrame();
    m_pFraming->ResetSequence();
    m_pFrame[frame::OFS_ADDR] = (*m_pHost->m_pNetParams)[NetParams::OFS_UNIT_COMM_ADDR];
    Poll(); // only the second poll decides; the first wakes the unit
    return Poll();
}

CEthLink::EStep CEthLink::StatusCheck() {
    m_pFrame[frame::OFS_ADDR] = (*m_pHost->m_pNetParams)[NetParams::OFS_COMM_ADDR];
    if (!CommandExchange(frame::CMD_STATUS, LEN_NO_DATA, nullptr)) return EStep::OfferAddress;
    m_eResult = EJobResult::Refused; // until a usable record arrives
    if (CheckReply() != CEthFraming::VALID) return EStep::Retry;
    const auto status = frame::ParseStatusReply(m_pFrame.get(), m_nReceived);
    if (!status) return EStep::Retry;
    if (!status->m_bConfigSwitch && !status->m_bPropertiesMode) {
        Show(txt::ETH_SWITCH_OFF);
        return EStep::Stop;
    }
    m_nSerialNo = status->m_nSerialNo;
    m_bKeysEnabled = status->m_bKeysEnabled;
    m_bPropertiesMode = status->m_bPropertiesMode;
    m_eResult = EJobResult::Success;
    return EStep::Next;
}

int CEthLink::DecryptReplyInFrame(uint8_t* pFrame, size_t nReceived) {
    const size_t nCount = frame::DataCount(pFrame);
    // Only data that arrived is decrypted; this also keeps the cipher text inside
    // the buffer, which a count above 250 would otherwise leave.
    if (nCount < IV_LEN || nReceived < frame::OFS_DATA + nCount) return -1;
    const size_t nPlain = nCount - IV_LEN;
    uint8_t abPlain[256];
    uint8_t* pData = pFrame + frame::OFS_DATA;
    CryptPayload(pData + IV_LEN, abPlain, pData, LINK_KEY.data(), nPlain, CRYPT_DECRYPT);
    std::memcpy(pData, abPlain, nPlain);
    return static_cast<int>(nPlain);
}

CEthLink::EStep CEthLink::ReadParams() {
    NetParams& rec = *m_pHost->m_pNetParams;
    m_pFrame[frame::OFS_ADDR] = rec[NetParams::OFS_COMM_ADDR];
    if (!CommandExchange(frame::CMD_READ_PARAMS, LEN_NO_DATA, nullptr)) return EStep::Stop;
    m_eResult = EJobResult::Refused; // until a usable record arrives
    if (CheckReply() != CEthFraming::VALID) return EStep::Retry;
    const int nPlain = DecryptReply();
    if (nPlain < static_cast<int>(PLAIN_READ_MIN)) return EStep::Retry;
    m_eResult = EJobResult::Success;
    uint8_t* pPlain = m_pFrame.get() + frame::OFS_DATA;
    if (m_bPropertiesMode)
        m_pHost->Prompts().PropertiesDialog(pPlain, static_cast<size_t>(nPlain), m_nSerialNo);
    UnpackParams(rec, pPlain);
    m_pHost->m_nTargetPort = rec.Port();
    return EStep::Next;
}

CEthLink::EStep CEthLink::WriteParams() {
    NetParams& rec = *m_pHost->m_pNetParams;
    uint8_t abPlain[PLAIN_WRITE_LEN] = {};
    PackParamsEthernet(rec, abPlain);
    uint8_t abIv[IV_LEN];
    std::memcpy(abIv, rec.Data() + NetParams::OFS_DES_KEY, IV_LEN);
    uint8_t abKept[COMPARE_LEN];
    std::memcpy(abKept, abPlain, COMPARE_LEN);
    uint8_t abData[WRITE_DATA_LEN];
    BuildWriteData(abPlain, abIv, abData);

    m_pFrame[frame::OFS_ADDR] = rec[NetParams::OFS_COMM_ADDR];
    if (!CommandExchange(frame::CMD_WRITE_PARAMS, LEN_WRITE, abData)) return EStep::Stop;
    m_eResult = EJobResult::Refused; // until the unit takes the write
    if (CheckReply() != CEthFraming::VALID) return EStep::Retry;

    m_pFrame[frame::OFS_ADDR] = rec[NetParams::OFS_UNIT_COMM_ADDR];
    if (!CommandExchange(frame::CMD_READ_PARAMS, LEN_NO_DATA, nullptr)) return EStep::Stop;
    // A read-back too short to hold the compared bytes cannot confirm the write.
    const int nPlain = DecryptReply();
    const bool bSame = nPlain >= static_cast<int>(COMPARE_LEN) &&
                       std::memcmp(m_pFrame.get() + frame::OFS_DATA, abKept, COMPARE_LEN) == 0;
    m_eResult = bSame ? EJobResult::Success : EJobResult::VerifyFailed;
    Show(bSame ? txt::ETH_COMPARE_OK : txt::ETH_COMPARE_FAILED);
    return EStep::Next;
}

bool CEthLink::ResetUnit() {
    const uint8_t nAddr = (*m_pHost->m_pNetParams)[NetParams::OFS_UNIT_COMM_ADDR];
    ClearFrame();
    m_pFrame[frame::OFS_ADDR] = nAddr;
    if (!Poll()) return false;
    ClearFrame();
    m_pFrame[frame::OFS_ADDR] = nAddr;
    if (!SendOnly(frame::CMD_RESET, LEN_NO_DATA, nullptr)) return false;
    m_eResult = EJobResult::Success;
    Show(txt::ETH_RESET_DONE);
    return true;
}

// --- firmware download ----------------------------------------------------------------

CEthLink::EFlash CEthLink::LoadImage(const std::string& strPath) {
    auto pImage = m_pHost->Prompts().ImageInMemory();
    if (!pImage || pImage->m_strPath != strPath) pImage = ReadImage(strPath);
    return LoadImage(*pImage);
}

CEthLink::EFlash CEthLink::LoadImage(const CLoadImage& image) {
    // The whole file was read and checked before anything goes to the unit, so that
    // the exchanges that follow wait for nothing but the unit.
    const CImageCheck& check = image.m_check;
    if (check.m_nResult == CImageReader::ERR_OPEN) {
        Show(txt::FILE_OPEN);
        return EFlash::FileNotOpened;
    }
    if (check.m_nResult != CImageReader::OK) {
        Show(check.FormatErrorMessage());
        return EFlash::InvalidImage;
    }

    if (!m_socket.SetRecvTimeout(TimeConstants().m_nRecvMs)) {
        Show(txt::ETH_TIMEOUT);
        return EFlash::NotStarted;
    }
    m_nFlashAddr = m_pFrame[frame::OFS_ADDR];
    m_pFraming->ResetSequence();
    ClearFrame();
    m_pFrame[frame::OFS_ADDR] = m_nFlashAddr;
    if (!Poll()) return EFlash::NotStarted;

    m_pHost->Prompts().LoadStep(false);
    const int nSent = image.Send(
        [&](const uint8_t* pBlock, size_t nLen) {
            return SendBlock(frame::CMD_LOAD, static_cast<uint32_t>(nLen + 2), pBlock) ? 0 : 1;
        },
        [&](uint64_t nDone, uint64_t nTotal) { m_pHost->Prompts().Progress(nDone, nTotal); });
    if (nSent != 0) return EFlash::Interrupted;

    ClearFrame();
    m_pFrame[frame::OFS_ADDR] = m_nFlashAddr;
    if (!SendOnly(frame::CMD_LOAD, static_cast<uint32_t>(2 + loadblock::LOAD_HEADER),
                  loadblock::END_OF_LOAD))
        return EFlash::Interrupted;
    m_pHost->Prompts().LoadStep(true);
    return VerifyFlash(check.m_nCheckWord);
}

void CEthLink::Drain() {
    const auto tEnd = std::chrono::steady_clock::now() +
                      std::chrono::milliseconds(TimeConstants().m_nDrainLimitMs);
    while (ReceiveReply() && std::chrono::steady_clock::now() < tEnd) {
    }
}

CEthLink::EFlash CEthLink::VerifyFlash(uint16_t nExpected) {
    for (int nAttempt = 0; nAttempt < VERIFY_ATTEMPTS; ++nAttempt) {
        Drain();
        m_pFraming->ResetSequence();
        ClearFrame();
        m_pFrame[frame::OFS_ADDR] = m_nFlashAddr;
        if (!SendOnly(0, 0, nullptr)) return EFlash::SendFailed;
        if (!ReceiveReply()) continue;
        if (!SendBlock(frame::CMD_STATUS, LEN_NO_DATA, nullptr)) continue;
        const auto status = frame::ParseStatusReply(m_pFrame.get(), m_nReceived);
        if (!status) continue;
        const uint16_t nUnit = status->m_nCheckWord;
        if (nUnit == 0) return EFlash::NotChecked;
        const bool bSame = nUnit == nExpected;
        m_strResult = bSame ? txt::FLASH_OK : txt::FLASH_CRC;
        Show(m_strResult);
        return bSame ? EFlash::Updated : EFlash::CrcMismatch;
    }
    m_strResult = txt::FLASH_GONE;
    Show(m_strResult);
    return EFlash::Unreachable;
}
