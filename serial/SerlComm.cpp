#include "serial/SerlComm.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

#include "params/Texts.h"
#include "platform/TimeConstants.h"
#include "platform/Trace.h"
#include "serial/FrameCodec.h"

namespace {

constexpr int DATA_BITS = 8;
constexpr int STOP_BITS = 1;

// What a failed transaction means for the job: silence, or anything else that went wrong.
EJobResult ResultOf(int nCode) {
    return nCode == frame::ERR_NO_REPLY ? EJobResult::NoAnswer : EJobResult::CommFailure;
}

} // namespace

CSerlComm::CSerlComm(ScpParams* pSettings, IPrompts* pPrompts, std::string strDevicePath)
    : m_pSettings(pSettings), m_pPrompts(pPrompts), m_strDevicePath(std::move(strDevicePath)),
      m_pReadBlock(std::make_unique<NetParams>()), m_pWriteBlock(std::make_unique<NetParams>()) {}

CSerlComm::~CSerlComm() {
    ClosePort();
}

void CSerlComm::Show(const std::string& strText) {
    m_pPrompts->Message(strText);
}

int CSerlComm::Fail(EJobResult eResult, const char* pText, int nCode) {
    m_eResult = eResult;
    Show(pText);
    return nCode;
}

// ---- port primitives ----

int CSerlComm::OpenPort(int nPort, std::unique_ptr<serialdev::CSerialDevice>& pHandle) {
    pHandle.reset();
    const std::string strPath =
        m_strDevicePath.empty() ? serialdev::ResolvePort(nPort) : m_strDevicePath;
    auto pDevice = std::make_unique<serialdev::CSerialDevice>();
    if (const int nResult = pDevice->Open(strPath)) return nResult;
    pHandle = std::move(pDevice);
    return serialdev::OK;
}

std::string CSerlComm::FormatMode(int nBaud, int nParity, int nDataBits, int nStopBits,
                                  int nWriteTimeoutMs) {
    const char cParity = nParity == 0 ? 'n' : nParity == 1 ? 'o' : 'e';
    const char cStop = (nStopBits & 0x7F) == 1 ? '1' : '2';
    char sz[96];
    std::snprintf(sz, sizeof sz, "Baud=%d parity=%c data=%d stop=%c to=%s odsr=%s octs=%s", nBaud,
                  cParity, nDataBits, cStop, nWriteTimeoutMs == 0 ? "on" : "off", "off", "off");
    return sz;
}

int CSerlComm::SetLine(PortHandle hPort, int nBaud, int nParity, int nDataBits, int nStopBits,
                       int nWriteTimeoutMs, int nReadTimeoutMs) {
    if (!hPort) return serialdev::ERR_NOT_OPEN;
    hPort->SetTimeouts(nReadTimeoutMs, nReadTimeoutMs, nWriteTimeoutMs);
    serialdev::SLineMode mode;
    if (const int nResult = hPort->GetLineMode(mode)) return nResult;
    const std::string strMode = FormatMode(nBaud, nParity, nDataBits, nStopBits, nWriteTimeoutMs);
    if (const int nResult = serialdev::BuildLineMode(strMode, mode)) return nResult;
    if (const int nResult = hPort->SetLineMode(mode)) return nResult;
    hPort->GetLineMode(mode);
    return serialdev::OK;
}

void CSerlComm::PurgeInput(PortHandle hPort) {
    if (hPort) hPort->PurgeInput();
}

int CSerlComm::WritePort(PortHandle hPort, const uint8_t* p, size_t n) {
    if (!hPort) return serialdev::ERR_NOT_OPEN;
    size_t nWritten = 0;
    const int nResult = hPort->Write(p, n, nWritten);
    if (nWritten != n) return serialdev::ERR_WRITE_SHORT;
    return nResult;
}

int CSerlComm::ReadPort(PortHandle hPort, uint8_t* p, size_t n, size_t& nRead) {
    nRead = 0;
    if (!hPort) return serialdev::ERR_NOT_OPEN;
    return hPort->Read(p, n, nRead);
}

std::string CSerlComm::DevicePath() const {
    return m_strDevicePath.empty() ? serialdev::ResolvePort(m_nPort) : m_strDevicePath;
}

void CSerlComm::ClosePort() {
    m_pPort.reset();
}

std::string CSerlComm::PortNameProblem(const std::string& strName) {
    if (strName.size() == 4 && strName.compare(0, 3, "COM") == 0 && strName[3] >= '1' &&
        strName[3] <= '9')
        return {};
    std::string strShown;
    for (char c : strName)
        strShown += (c >= 0x20 && c < 0x7F) ? c : '?';
    return std::string(txt::SER_OPEN) + ": \"" + strShown + "\"" + txt::SER_PORT_NAME_RANGE;
}

// ---- frame protocol ----

size_t CSerlComm::BuildFrame(uint8_t* pBuf, const uint8_t* pData, uint8_t nCommand, size_t nSize) {
    const auto nAddr = static_cast<uint8_t>(m_pSettings->UnitAddress() & 0xFF);
    return frame::Build(pBuf, frame::MAX_FRAME, nAddr, m_nSequence, nCommand, nSize, pData);
}

void CSerlComm::AdvanceSequence() {
    m_nSequence = frame::NextSequence(m_nSequence);
}

uint8_t CSerlComm::ReplyCount(const uint8_t* pReply) const {
    return m_nReplyLen > frame::OFS_COUNT ? pReply[frame::OFS_COUNT] : 0;
}

int CSerlComm::FailAfterPause(int nCode) {
    std::this_thread::sleep_for(std::chrono::milliseconds(TimeConstants().m_nSerialRetryPauseMs));
    PurgeInput(m_pPort.get());
    return nCode;
}

int CSerlComm::Transact(uint8_t nCommand, size_t nSize, const uint8_t* pData, uint8_t* pReply,
                        size_t nReplyCap) {
    m_nReplyLen = 0;
    m_bRequestWritten = false;
    uint8_t abFrame[frame::MAX_FRAME];
    const size_t nFrameLen = BuildFrame(abFrame, pData, nCommand, nSize);
    if (nFrameLen == 0) return ERR_BAD_REQUEST;
    PurgeInput(m_pPort.get());
    int nResult = 0;
    for (int nAttempt = 0; nAttempt < 3; ++nAttempt) {
        nResult = TryOnce(abFrame, pReply, nFrameLen, nReplyCap);
        if (nResult == 0) break;
    }
    return nResult;
}

int CSerlComm::TryOnce(const uint8_t* pFrame, uint8_t* pReply, size_t nFrameLen, size_t nReplyCap) {
    m_nReplyLen = 0;
    PortHandle hPort = m_pPort.get();
    PurgeInput(hPort);
    TraceFrame(ETraceDir::Sent, pFrame, nFrameLen);
    if (const int nResult = WritePort(hPort, pFrame, nFrameLen)) return nResult;
    m_bRequestWritten = true;

    size_t nRead = 0;
    if (const int nResult = ReadPort(hPort, pReply, frame::HEADER_LEN, nRead)) return nResult;
    if (nRead == 0) return frame::ERR_NO_REPLY;
    if (nRead < frame::HEADER_LEN) {
        TraceFrame(ETraceDir::Received, pReply, nRead);
        return FailAfterPause(frame::ERR_SHORT);
    }
    const int nHeader = frame::CheckHeader(pReply);
    if (nHeader != frame::OK) {
        TraceFrame(ETraceDir::Received, pReply, nRead);
        if (nHeader == frame::ERR_RESYNC) m_nSequence = 0;
        return FailAfterPause(nHeader);
    }
    const size_t nLen = pReply[frame::OFS_LEN];
    if (nLen != 0) {
        if (frame::HEADER_LEN + nLen > nReplyCap) {
            // Too long for the buffer: take the rest off the line and refuse it.
            TraceFrame(ETraceDir::Received, pReply, nRead);
            uint8_t abDrain[255];
            size_t nDrained = 0;
            ReadPort(hPort, abDrain, nLen, nDrained);
            return FailAfterPause(frame::ERR_INVALID);
        }
        size_t nData = 0;
        const int nResult = ReadPort(hPort, pReply + frame::HEADER_LEN, nLen, nData);
        TraceFrame(ETraceDir::Received, pReply, frame::HEADER_LEN + nData);
        if (nResult) return FailAfterPause(nResult);
        if (nData < nLen) return FailAfterPause(frame::ERR_SHORT);
        if (!frame::DataSumOk(pReply)) return FailAfterPause(frame::ERR_INVALID);
    } else {
        TraceFrame(ETraceDir::Received, pReply, frame::HEADER_LEN);
    }
    AdvanceSequence();
    m_nReplyLen = frame::HEADER_LEN + nLen;
    return frame::OK;
}

// ---- unit operations ----

int CSerlComm::Connect() {
    ClosePort();
    m_eResult = EJobResult::None;
    if (m_strDevicePath.empty() && !m_pSettings->PortDigitValid()) {
        // The name would otherwise open COM1, or another port than the one chosen.
        m_eResult = EJobResult::CommFailure;
        Show(PortNameProblem(m_pSettings->PortName()));
        return 1;
    }
    m_nPort = m_pSettings->PortNumber();
    if (const int nResult = OpenPort(m_nPort, m_pPort)) {
        Fail(EJobResult::CommFailure, txt::SER_OPEN, 1);
        m_pPrompts->PortOpenFailed(DevicePath(), nResult);
        return 1;
    }
    m_nBaud = m_pSettings->BaudRate();
    m_nParity = m_pSettings->ParityIndex();
    if (SetLine(m_pPort.get(), m_nBaud, m_nParity, DATA_BITS, STOP_BITS,
                TimeConstants().m_nSerialWriteMs, TimeConstants().m_nSerialReadMs) != 0)
        return Fail(EJobResult::CommFailure, txt::SER_SET_LINE, 1);
    m_nSequence = 0;
    Transact(0, 0, nullptr, m_abReply);
    const int nResult = Transact(0, 0, nullptr, m_abReply);
    if (nResult) return Fail(ResultOf(nResult), txt::SER_NOT_RESPONDING, nResult);
    return 0;
}

int CSerlComm::CheckUnit() {
    ClosePort();
    if (const int nResult = Connect()) {
        Show(txt::SER_CHECK_CONNECT);
        return nResult;
    }
    if (const int nResult = Transact(frame::CMD_STATUS, 2, nullptr, m_abReply))
        return Fail(ResultOf(nResult), txt::SER_NOT_RESPONDING, nResult);
    const auto status = frame::ParseStatusReply(m_abReply, m_nReplyLen);
    if (!status) return Fail(EJobResult::CommFailure, txt::SER_NOT_RESPONDING, frame::ERR_SHORT);
    if (!status->m_bConfigSwitch) return Fail(EJobResult::Refused, txt::SER_SWITCH_OFF, 1);
    m_bKeysEnabled = status->m_bKeysEnabled;
    m_nSerialNo = status->m_nSerialNo;
    m_eResult = EJobResult::Success;
    return 0;
}

int CSerlComm::TakeReadReply() {
    // A reply too short to fill the record leaves it as it was.
    if (ReplyCount(m_abReply) == 0 || !DecryptReadReply(m_abReply, m_nReplyLen, *m_pReadBlock)) {
        m_eResult = EJobResult::CommFailure;
        return 1;
    }
    m_eResult = EJobResult::Success;
    return 0;
}

int CSerlComm::ReadParams() {
    ClosePort();
    if (const int nResult = Connect()) {
        Show(txt::SER_COMM_NOT_RESPONDING);
        return nResult;
    }
    if (const int nResult = Transact(frame::CMD_READ_PARAMS, 2, nullptr, m_abReply))
        return Fail(ResultOf(nResult), txt::SER_NOT_RESPONDING, nResult);
    return TakeReadReply();
}

int CSerlComm::ReadBack() {
    // Whatever the buffer holds after a failure is no reply to decrypt.
    if (const int nResult = Transact(frame::CMD_READ_PARAMS, 2, nullptr, m_abReply))
        return Fail(ResultOf(nResult), txt::SER_NOT_RESPONDING, nResult);
    return TakeReadReply();
}

int CSerlComm::WriteParams() {
    ClosePort();
    if (const int nResult = Connect()) {
        Show(txt::SER_NOT_UPDATED);
        return nResult;
    }
    std::memset(m_abReply, 0, sizeof m_abReply);
    std::unique_ptr<uint8_t[]> pData(new (std::nothrow) uint8_t[WRITE_DATA_LEN]);
    if (!pData) return Fail(EJobResult::NoMemory, txt::NO_UPDATE_MEMORY, 1);
    uint8_t abPlain[PLAIN_WRITE_LEN];
    PackParams(*m_pWriteBlock, abPlain);
    BuildWriteData(abPlain, m_pReadBlock->Data() + NetParams::OFS_DES_KEY, pData.get());
    int nResult = Transact(frame::CMD_WRITE_PARAMS, WRITE_DATA_LEN + 2, pData.get(), m_abReply);
    if (nResult == 0)
        nResult = ReadBack();
    else
        m_eResult = ResultOf(nResult);
    if (nResult) {
        Show(txt::SER_NOT_UPDATED);
        return nResult;
    }
    if (*m_pWriteBlock != *m_pReadBlock)
        return Fail(EJobResult::VerifyFailed, txt::SER_MISMATCH, 1);
    m_eResult = EJobResult::Success;
    return 0;
}

int CSerlComm::ResetUnit() {
    ClosePort();
    if (const int nResult = Connect()) {
        Show(txt::SER_COMM_NOT_RESPONDING);
        return nResult;
    }
    const int nResult = Transact(frame::CMD_RESET, 2, nullptr, m_abReply);
    if (nResult == 0) return Fail(EJobResult::Refused, txt::SER_NOT_RESET, 0);
    // A unit that resets falls silent, and an adapter powered by the unit may drop with
    // it: once any attempt carried the whole request, the reset was requested.
    if (!m_bRequestWritten) return Fail(EJobResult::CommFailure, txt::SER_RESET_NOT_SENT, nResult);
    return Fail(EJobResult::Success, txt::SER_RESET_DONE, 0);
}

void CSerlComm::GetParams(NetParams* pDest) const {
    *pDest = *m_pReadBlock;
}

void CSerlComm::SetParams(const NetParams* pSrc) {
    *m_pWriteBlock = *pSrc;
}
