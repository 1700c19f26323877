#pragma once
// The serial link to one unit: the COM port, the framed transaction with its
// retries, and the unit operations a serial job strings together. One object per
// job, used only by the thread that runs the job.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "params/JobResult.h"
#include "params/NetParams.h"
#include "params/ScpParams.h"
#include "platform/Prompts.h"
#include "platform/SerialDevice.h"
#include "serial/FrameCodec.h"

class CSerlComm {
public:
    static constexpr size_t REPLY_SIZE = frame::REPLY_BUFFER;
    // Result of a request that does not fit a frame (size 1, above 254, or data
    // longer than the buffer); no unit ever sees it.
    static constexpr int ERR_BAD_REQUEST = 87;

    using PortHandle = serialdev::CSerialDevice*;

    // pSettings and pPrompts belong to the caller and must outlive the link. A
    // non-empty strDevicePath is opened instead of the device the port name stands for.
    CSerlComm(ScpParams* pSettings, IPrompts* pPrompts, std::string strDevicePath = {});
    virtual ~CSerlComm();
    CSerlComm(const CSerlComm&) = delete;
    CSerlComm& operator=(const CSerlComm&) = delete;

    // Unit operations. Each starts from a closed port, shows its own failures and
    // returns 0 on success.
    int Connect();
    int CheckUnit();
    int ReadParams();
    int WriteParams();
    int ResetUnit();
    // Reads the record again after a write (no new connect); part of WriteParams.
    int ReadBack();
    void GetParams(NetParams* pDest) const;
    void SetParams(const NetParams* pSrc);

    // One request, up to three attempts. nSize is 0 for an empty frame, otherwise
    // 2 + the data count. pReply receives the whole reply frame and holds nReplyCap
    // bytes; a reply that would not fit is refused with 8.
    int Transact(uint8_t nCommand, size_t nSize, const uint8_t* pData, uint8_t* pReply,
                 size_t nReplyCap = REPLY_SIZE);
    // Lays out a request in pBuf (frame::MAX_FRAME bytes) with the current sequence;
    // returns its length on the line, 0 when it cannot be framed.
    size_t BuildFrame(uint8_t* pBuf, const uint8_t* pData, uint8_t nCommand, size_t nSize);
    int TryOnce(const uint8_t* pFrame, uint8_t* pReply, size_t nFrameLen,
                size_t nReplyCap = REPLY_SIZE);
    void AdvanceSequence();

    // Port primitives; results are 0, 1025, 1259 or the system's error number.
    // OpenPort is where a test or fuzz target hands in a device of its own.
    virtual int OpenPort(int nPort, std::unique_ptr<serialdev::CSerialDevice>& pHandle);
    static int SetLine(PortHandle hPort, int nBaud, int nParity, int nDataBits, int nStopBits,
                       int nWriteTimeoutMs, int nReadTimeoutMs);
    static void PurgeInput(PortHandle hPort);
    static int WritePort(PortHandle hPort, const uint8_t* p, size_t n);
    static int ReadPort(PortHandle hPort, uint8_t* p, size_t n, size_t& nRead);
    void ClosePort();
    bool IsOpen() const { return m_pPort != nullptr; }

    // The mode string the line is set from.
    static std::string FormatMode(int nBaud, int nParity, int nDataBits, int nStopBits,
                                  int nWriteTimeoutMs);
    // "" when strName names one of COM1 to COM9, otherwise the message that refuses it.
    static std::string PortNameProblem(const std::string& strName);

    // The last transaction's reply: bytes received (0 unless it was accepted) and its
    // data count (0 when the reply carried none).
    size_t ReplyLen() const { return m_nReplyLen; }
    uint8_t ReplyCount(const uint8_t* pReply) const;
    const uint8_t* Reply() const { return m_abReply; }
    uint32_t Sequence() const { return m_nSequence; }
    int PortNumber() const { return m_nPort; }
    int BaudRate() const { return m_nBaud; }
    int ParityIndex() const { return m_nParity; }

    // How the last unit operation ended (its message has been shown).
    EJobResult Result() const { return m_eResult; }
    void SetResult(EJobResult eResult) { m_eResult = eResult; }
    // The device the port stands for.
    std::string DevicePath() const;
    // The last transaction carried its whole request to the port at least once.
    bool RequestWritten() const { return m_bRequestWritten; }

    bool m_bKeysEnabled = false;
    uint32_t m_nSerialNo = 0;

private:
    int FailAfterPause(int nCode);
    void Show(const std::string& strText);
    // Records the outcome, shows the text and returns nCode.
    int Fail(EJobResult eResult, const char* pText, int nCode);
    // The read reply standing in the reply buffer into the read block; 1 when it
    // carries no usable record.
    int TakeReadReply();

    int m_nPort = 1;
    int m_nBaud = 0;
    int m_nParity = 2;
    ScpParams* m_pSettings;
    IPrompts* m_pPrompts;
    std::string m_strDevicePath;
    std::unique_ptr<serialdev::CSerialDevice> m_pPort;
    std::unique_ptr<NetParams> m_pReadBlock;
    std::unique_ptr<NetParams> m_pWriteBlock;
    uint8_t m_abReply[REPLY_SIZE] = {};
    size_t m_nReplyLen = 0;
    uint32_t m_nSequence = 0;
    EJobResult m_eResult = EJobResult::None;
    bool m_bRequestWritten = false;
};
