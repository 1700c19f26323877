#pragma once
// The Ethernet link of one job: the UDP socket to the unit, the frame buffer and the
// frame codec, the exchange forms, and the unit operations the Ethernet worker runs
// from its job loop (status check, parameter read, write with verification, reset,
// firmware download). Every message goes to the job host's prompts, text exactly as
// the user reads it.
//
// One link lives for one job, on the worker's thread only. The worker runs, per step:
//
//   link.StepPolls()                 false: stop
//   state 0x70: link.StatusCheck()   Next -> 0x91, Retry, Stop,
//                                    OfferAddress -> link.AddressReentry(): Retry or Stop
//   state 0x91: link.ReadParams()    Next -> configuration dialog (OK -> 0x92), Retry, Stop
//   state 0x92: link.WriteParams()   Next -> 0x8F, Retry, Stop
//   state 0x8F: "Update Successful" dialog, OK -> link.ResetUnit(); then stop
//   state 0x8E: file choice, start message, link.LoadImage(path); then stop
//
// and at its end link.CloseSocket(EClose::JobEnd).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "ethernet/EthFraming.h"
#include "ethernet/LinkHost.h"
#include "ethernet/SockUtil.h"
#include "params/JobResult.h"
#include "platform/DatagramSocket.h"

struct CLoadImage;

class CEthLink {
public:
    enum class EOpen { Start, Again };    // which "Unable to get ... socket" text to use
    enum class EClose { JobEnd, Reopen }; // which "Problem closing ..." text to use

    enum class EOpenResult {
        Open,         // ready
        NotConnected, // connect failed (message shown); at job start the job goes on
        Failed,       // startup, socket or time-out failed (message shown)
    };

    // Outcome of a unit operation, one to one with the job's state table.
    enum class EStep {
        Next,         // go on to the next state
        Retry,        // the unit answered the polls but not the command usably: same state
        Stop,         // end the job (any message has been shown)
        OfferAddress, // status request unanswered: offer the IP address dialog
    };

    // How a download ended. Only Updated means the unit runs the new image.
    enum class EFlash {
        FileNotOpened, // " File open error ": nothing sent
        InvalidImage,  // not a valid image (the message names line and reason): nothing sent
        NotStarted,    // the time-out could not be set or the first poll failed
        Interrupted,   // a block or the end-of-load block was not accepted
        Updated,       // "Flash successfully updated"
        CrcMismatch,   // "Flash failed - CRC mismatch"
        NotChecked,    // the unit reports check word 0: nothing is said
        Unreachable,   // "Unable to connect to Velor" after the last attempt
        SendFailed,    // the poll of an attempt could not be sent (message shown)
    };

    static constexpr size_t FRAME_BUFFER = CEthFraming::FRAME_BUFFER;
    static constexpr int VERIFY_ATTEMPTS = 9;

    // Takes the unit's address and port from the host's m_strTargetIp and
    // m_nTargetPort, and the record, receive length and prompts from the host, which
    // must outlive the link. Allocates the frame buffer, cleared.
    explicit CEthLink(CLinkHost* pHost);
    // Releases a socket the job left open, without a message, keeping the startup
    // count balanced.
    ~CEthLink();
    CEthLink(const CEthLink&) = delete;
    CEthLink& operator=(const CEthLink&) = delete;

    // --- socket -------------------------------------------------------------------

    // Startup, socket, receive time-out (ms) and connect, each failure with its
    // message. At job start pass TimeConstants().m_nRecvMs and EOpen::Start.
    EOpenResult OpenSocket(int nTimeoutMs, EOpen eMode);
    // Closes what was opened: the socket (a failure is shown, nothing else changes)
    // and the startup. Safe to call when nothing is open.
    void CloseSocket(EClose eMsg);
    // The address was entered again: takes the host's m_strTargetIp and the port of
    // record bytes 8..9, closes, and opens again with TimeConstants().m_nRecvReopenMs.
    // True when the socket is open and connected.
    bool ReopenSocket();
    // OfferAddress answered: the IP address dialog on the host's record. OK sets the
    // host's m_strTargetIp from record bytes 0..3 and reopens: Retry when that
    // worked, else Stop. Cancel: Stop.
    EStep AddressReentry();

    // --- exchange forms (all act on the frame buffer) ------------------------------

    // What a request waits for: any frame that passes the reply check (a request for
    // resynchronisation included), or one that also carries a whole parameter record.
    enum class EAwait { Frame, Status, Record };

    // Sends the nLen bytes standing in the buffer, clears it and receives its answer
    // into it. Datagrams that stood queued before the send are dropped first: none of
    // them can answer this request. A datagram that cannot be the answer (it fails the
    // reply check, is longer than asked for, or lacks the status or parameter record
    // eAwait asks for: a header-only resend of the previous answer, say) is
    // set aside and the wait goes on until the receive time-out, counted from the send,
    // is over; only then does the last one set aside stand as the answer, so that a
    // unit that really answers so fails as it always has. Failures show their message.
    bool Exchange(size_t nLen, EAwait eAwait = EAwait::Frame);
    // Header-only frame with the address byte standing in the buffer, Exchange, reply
    // check; an invalid reply shows "Error".
    bool Poll();
    // Poll, then the command frame, both with the address byte standing in the
    // buffer; the command's reply stays in the buffer unchecked.
    bool CommandExchange(uint8_t nCmd, uint32_t nLen, const uint8_t* pData);
    // Builds a frame with the address byte standing in the buffer and sends it;
    // nothing is received. A failed send shows "Unable to connect to Velor - %s\n".
    bool SendOnly(uint8_t nCmd, uint32_t nLen, const uint8_t* pData);
    // Download form: clear, address byte m_nFlashAddr, build, Exchange, reply check.
    // True only for a valid reply; an invalid one shows nothing.
    bool SendBlock(uint8_t nCmd, uint32_t nLen, const uint8_t* pData);
    // Clear, receive the answer as Exchange does, reply check. Fails silently.
    bool ReceiveReply();

    // --- unit operations ----------------------------------------------------------

    // Top of every job step: clear, sequence 0, address byte = record byte 28, two
    // polls. Only the second poll decides; false means stop.
    bool StepPolls();
    // 0x70. On Next the serial number, keys flag and properties mode are kept. A reply
    // that does not carry the whole status record is unusable: Retry.
    EStep StatusCheck();
    // 0x91. In properties mode the properties dialog runs on the decrypted text first.
    // On Next the host's record and m_nTargetPort hold what the unit sent. A reply
    // whose data the frame does not hold, or whose text is shorter than 57 bytes, is
    // unusable: Retry, the record untouched.
    EStep ReadParams();
    // 0x92 and the read-back with its compare message. Next also when the read-back
    // does not compare (the message says so, and Result() is VerifyFailed).
    EStep WriteParams();
    // Poll and the reset request, with their messages. True when the request was sent.
    // The job stops afterwards whatever happened.
    bool ResetUnit();
    // The firmware download of one image file. The file is validated whole before
    // anything is sent: " File open error " for a file that cannot be opened, the
    // reader's format message for an invalid one. The job stops afterwards.
    EFlash LoadImage(const std::string& strPath);
    // The same from an image read before: nothing is read from the file while sending.
    EFlash LoadImage(const CLoadImage& image);
    // The final check after the end-of-load block: up to 9 attempts to read the
    // unit's check word and compare it with nExpected. Each attempt first drains what
    // the unit still sends, for at most TimeConstants().m_nDrainLimitMs (plus the
    // receive in progress).
    EFlash VerifyFlash(uint16_t nExpected);

    // --- what the job keeps ---------------------------------------------------------

    uint16_t SerialNo() const { return m_nSerialNo; }
    bool KeysEnabled() const { return m_bKeysEnabled; }
    bool PropertiesMode() const { return m_bPropertiesMode; }
    const std::string& ResultText() const { return m_strResult; }
    // How the last operation ended, as far as the link can tell: a failure's kind
    // (its message has been shown), or Success.
    EJobResult Result() const { return m_eResult; }
    uint8_t FlashAddr() const { return m_nFlashAddr; }
    const std::string& Ip() const { return m_strIp; }
    uint16_t Port() const { return m_nPort; }
    bool IsOpen() const { return m_socket.IsOpen(); }
    uint8_t* Frame() { return m_pFrame.get(); }
    size_t Received() const { return m_nReceived; }
    CEthFraming& Framing() { return *m_pFraming; }
    // The local port of the socket, for tests that stand in for the unit.
    uint16_t LocalPort() const { return m_socket.LocalPort(); }

    // Decrypts, in place, the read reply of nReceived bytes standing in pFrame
    // (FRAME_BUFFER bytes): the plain text replaces the reply data from byte 7. Its
    // length, or -1 when the reply is not usable.
    static int DecryptReplyInFrame(uint8_t* pFrame, size_t nReceived);
    // Whether the nReceived bytes standing in pFrame can be the answer a request
    // waiting for eAwait takes (see Exchange); what cannot is set aside.
    static bool CanAnswer(const uint8_t* pFrame, size_t nReceived, EAwait eAwait);

private:
    void Show(const std::string& strText);
    void ShowSocketError(const char* pFormat, int nError);
    void ClearFrame();
    int CheckReply();
    int DecryptReply() { return DecryptReplyInFrame(m_pFrame.get(), m_nReceived); }
    // Removes everything that stands in the socket's receive queue, bounded in time.
    void Drain();
    // Drops, without waiting, what stands in the receive queue (bounded in count).
    void DropQueued();
    bool Send(const uint8_t* p, size_t n);
    // The receive of Exchange; on failure nError holds the socket error number.
    bool ReceiveAnswer(EAwait eAwait, int& nError);
    static EAwait AwaitFor(uint8_t nCmd);

    CLinkHost* m_pHost;
    std::string m_strIp;
    uint16_t m_nPort = 0;
    CDatagramSocket m_socket;
    CSockUtil m_sockUtil;
    bool m_bStarted = false; // a startup is outstanding
    std::unique_ptr<CEthFraming> m_pFraming;
    std::unique_ptr<uint8_t[]> m_pFrame;
    size_t m_nReceived = 0; // bytes of the last receive standing in the buffer
    uint8_t m_nFlashAddr = 0;
    std::string m_strResult;
    uint16_t m_nSerialNo = 0;
    bool m_bKeysEnabled = false;
    bool m_bPropertiesMode = false;
    EJobResult m_eResult = EJobResult::None;
};
