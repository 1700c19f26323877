// The transaction and the port handling of the serial link, byte for byte, against a
// scripted far end on a pseudo-terminal.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "PtyPeer.h"
#include "ScriptedPrompts.h"
#include "TestUtil.h"
#include "platform/SerialDevice.h"
#include "platform/TimeConstants.h"
#include "platform/Trace.h"
#include "serial/FrameCodec.h"
#include "serial/SerlComm.h"

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int READ_MS = 40;
constexpr int PAUSE_MS = 100;

long MsSince(Clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

class SerlCommFrames : public ::testing::Test {
protected:
    void SetUp() override {
        TimeConstants().m_nSerialReadMs = READ_MS;
        TimeConstants().m_nSerialWriteMs = 200;
        TimeConstants().m_nSerialRetryPauseMs = PAUSE_MS;
        // Empty frames are answered with an empty frame; commands with m_reply.
        m_peer.Start([this](const Bytes& request, size_t) {
            std::lock_guard lock(m_mutex);
            if (request[frame::OFS_LEN] == 0) return EmptyReply();
            return m_reply;
        });
    }
    void TearDown() override {
        m_peer.Stop();
        TimeConstants().Reset();
    }

    void SetReply(const Bytes& reply) {
        std::lock_guard lock(m_mutex);
        m_reply = reply;
    }
    std::unique_ptr<CSerlComm> Connected() {
        auto pLink = std::make_unique<CSerlComm>(&m_scp, &m_prompts, m_peer.SlavePath());
        EXPECT_EQ(pLink->Connect(), 0);
        return pLink;
    }
    std::vector<std::string> RequestsHex(size_t nFrom = 0) const {
        std::vector<std::string> v;
        const auto requests = m_peer.Requests();
        for (size_t i = nFrom; i < requests.size(); ++i)
            v.push_back(ToHex(requests[i]));
        return v;
    }

    CPtyPeer m_peer;
    CScriptedPrompts m_prompts;
    ScpParams m_scp = *ScpParams::Make("COM1", 1, "Even", "115200");
    std::mutex m_mutex;
    Bytes m_reply = ReplyFrame(frame::CTL_DATA_SUM, 0, {});
};

} // namespace

TEST_F(SerlCommFrames, ConnectSynchronisesThenCommandsGoOutAtControl17) {
    SetReply(ReplyFrame(frame::CTL_DATA_SUM, 0x12, {1, 2, 3})); // command byte not compared
    auto pLink = Connected();
    uint8_t abReply[CSerlComm::REPLY_SIZE];
    ASSERT_EQ(pLink->Transact(frame::CMD_STATUS, 2, nullptr, abReply), 0);
    EXPECT_EQ(ToHex(abReply, 11), ToHex(ReplyFrame(frame::CTL_DATA_SUM, 0x12, {1, 2, 3})));
    EXPECT_EQ(pLink->ReplyLen(), 11u);
    EXPECT_EQ(pLink->ReplyCount(abReply), 3);
    EXPECT_EQ(RequestsHex(), (std::vector<std::string>{"FE 01 00 00 FF", "FE 01 00 08 07",
                                                       "FE 01 03 11 13 70 00 96"}));
    EXPECT_TRUE(m_prompts.Messages().empty());

    // The counter runs 24 .. 56 and then starts at 8 again, never 0 or 64.
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ(pLink->Transact(0, 0, nullptr, abReply), 0);
    const auto requests = m_peer.Requests();
    std::vector<int> controls;
    for (size_t i = 3; i < requests.size(); ++i)
        controls.push_back(requests[i][3]);
    EXPECT_EQ(controls, (std::vector<int>{24, 32, 40, 48, 56, 8}));

    // A load block of 234 bytes is 246 bytes on the line.
    std::vector<uint8_t> block(238, 0x5A);
    ASSERT_EQ(pLink->Transact(frame::CMD_LOAD, 240, block.data(), abReply), 0);
    EXPECT_EQ(m_peer.Requests().back().size(), 246u);
    EXPECT_EQ(m_peer.Requests().back()[3], 17);
}

TEST_F(SerlCommFrames, RepliesAcceptedWithoutDataCheck) {
    auto pLink = Connected();
    uint8_t abReply[CSerlComm::REPLY_SIZE];

    // Length 0: five header bytes are the whole reply, even from another address.
    Bytes reply = EmptyReply(0x02);
    reply[1] = 0x55;
    reply[4] = static_cast<uint8_t>(reply[0] + reply[1] + reply[2] + reply[3]);
    SetReply(reply);
    EXPECT_EQ(pLink->Transact(frame::CMD_STATUS, 2, nullptr, abReply), 0);
    EXPECT_EQ(pLink->ReplyLen(), 5u);
    EXPECT_EQ(pLink->ReplyCount(abReply), 0);

    // Control bit 0 clear: whatever the last byte holds.
    reply = ReplyFrame(0x00, 0x70, {7, 7});
    reply.back() ^= 0xFF;
    SetReply(reply);
    EXPECT_EQ(pLink->Transact(frame::CMD_STATUS, 2, nullptr, abReply), 0);
    EXPECT_EQ(m_peer.Requests().size(), 4u); // one attempt each
}

TEST_F(SerlCommFrames, BadRepliesFailAfterThreeAttemptsWithPauses) {
    auto pLink = Connected();
    const Bytes good = ReplyFrame(frame::CTL_DATA_SUM, 0x70, {1, 2, 3, 4});
    auto with = [&](size_t nOfs, uint8_t nValue, bool bFixSums) {
        Bytes ab = good;
        ab[nOfs] = nValue;
        if (bFixSums) {
            ab[4] = frame::Sum8(ab.data(), 4);
            ab.back() = frame::Sum8(ab.data(), ab.size() - 1);
        }
        return ab;
    };
    Bytes badData = good;
    badData.back() ^= 0x01;
    Bytes shortData = good;
    shortData.resize(8); // announces 7 bytes after the header, sends 3

    const struct {
        const char* pszName;
        Bytes reply;
        int nCode;
    } cases[] = {
        {"start byte", with(0, 0xFD, true), frame::ERR_INVALID},
        {"header sum", with(4, 0x00, false), frame::ERR_INVALID},
        {"control bits 5..7", with(3, 0x21, true), frame::ERR_INVALID},
        {"data sum", badData, frame::ERR_INVALID},
        {"short header", Bytes{0xFE, 0x00, 0x07}, frame::ERR_SHORT},
        {"short data", shortData, frame::ERR_SHORT},
    };
    uint8_t abReply[CSerlComm::REPLY_SIZE];
    for (const auto& c : cases) {
        SetReply(c.reply);
        const size_t nBefore = m_peer.Requests().size();
        const auto t = Clock::now();
        EXPECT_EQ(pLink->Transact(frame::CMD_STATUS, 2, nullptr, abReply), c.nCode) << c.pszName;
        EXPECT_GE(MsSince(t), 3 * PAUSE_MS) << c.pszName;
        EXPECT_EQ(pLink->ReplyLen(), 0u) << c.pszName;
        // The same frame three times; a refused reply does not step the counter.
        const auto requests = RequestsHex(nBefore);
        ASSERT_EQ(requests.size(), 3u) << c.pszName;
        EXPECT_EQ(requests[0], requests[1]);
        EXPECT_EQ(requests[1], requests[2]);
        EXPECT_EQ(requests[0], "FE 01 03 11 13 70 00 96") << c.pszName;
    }

    // Silence: 6 on every attempt and no pause between them.
    SetReply({});
    const auto t = Clock::now();
    EXPECT_EQ(pLink->Transact(frame::CMD_STATUS, 2, nullptr, abReply), frame::ERR_NO_REPLY);
    EXPECT_GE(MsSince(t), 3 * READ_MS - 5);
    EXPECT_LT(MsSince(t), 3 * PAUSE_MS + 3 * READ_MS);
    EXPECT_TRUE(m_prompts.Messages().empty()); // this layer shows nothing
}

TEST_F(SerlCommFrames, ResyncReplyRestartsTheSequenceFromTheNextTransaction) {
    auto pLink = Connected();
    uint8_t abReply[CSerlComm::REPLY_SIZE];
    ASSERT_EQ(pLink->Transact(0, 0, nullptr, abReply), 0); // counter now 24
    SetReply(ReplyFrame(frame::CTL_RESYNC | frame::CTL_DATA_SUM, 0x70, {}));
    const size_t nBefore = m_peer.Requests().size();
    EXPECT_EQ(pLink->Transact(frame::CMD_STATUS, 2, nullptr, abReply), frame::ERR_RESYNC);
    EXPECT_EQ(pLink->Sequence(), 0u);
    // The remaining attempts still carry the control byte built before.
    const auto requests = m_peer.Requests();
    ASSERT_EQ(requests.size(), nBefore + 3);
    for (size_t i = nBefore; i < requests.size(); ++i)
        EXPECT_EQ(requests[i][3], 25);

    SetReply(ReplyFrame(frame::CTL_DATA_SUM, 0x70, {}));
    EXPECT_EQ(pLink->Transact(frame::CMD_STATUS, 2, nullptr, abReply), 0);
    EXPECT_EQ(m_peer.Requests().back()[3], 1);
    EXPECT_EQ(pLink->Transact(0, 0, nullptr, abReply), 0);
    EXPECT_EQ(m_peer.Requests().back()[3], 8);
}

TEST_F(SerlCommFrames, OversizeReplyIsRefusedWithoutWritingPastTheBuffer) {
    auto pLink = Connected();
    // 5 + 255 bytes: three more than a 257-byte reply buffer holds.
    const Bytes big = ReplyFrame(frame::CTL_DATA_SUM, 0x91, Bytes(252, 0x3C));
    ASSERT_EQ(big.size(), 260u);
    SetReply(big);
    uint8_t abGuarded[CSerlComm::REPLY_SIZE + 16];
    std::memset(abGuarded, 0xA5, sizeof abGuarded);
    EXPECT_EQ(pLink->Transact(frame::CMD_READ_PARAMS, 2, nullptr, abGuarded), frame::ERR_INVALID);
    for (size_t i = CSerlComm::REPLY_SIZE; i < sizeof abGuarded; ++i)
        ASSERT_EQ(abGuarded[i], 0xA5) << i;
    EXPECT_EQ(pLink->ReplyLen(), 0u);

    // Nothing of it lingers for the next exchange.
    const Bytes good = ReplyFrame(frame::CTL_DATA_SUM, 0x91, {4, 5, 6});
    SetReply(good);
    uint8_t abReply[CSerlComm::REPLY_SIZE];
    ASSERT_EQ(pLink->Transact(frame::CMD_READ_PARAMS, 2, nullptr, abReply), 0);
    EXPECT_EQ(ToHex(abReply, good.size()), ToHex(good));

    // A caller with room for the largest frame takes it whole.
    SetReply(big);
    uint8_t abLarge[frame::MAX_FRAME];
    ASSERT_EQ(pLink->Transact(frame::CMD_READ_PARAMS, 2, nullptr, abLarge, sizeof abLarge), 0);
    EXPECT_EQ(ToHex(abLarge, sizeof abLarge), ToHex(big));
}

TEST_F(SerlCommFrames, EveryFrameSentAndReceivedIsTraced) {
    auto pLink = Connected();
    std::vector<std::string> trace;
    std::mutex mutex;
    SetTraceSink([&](ETraceDir eDir, const uint8_t* p, size_t n) {
        std::lock_guard lock(mutex);
        trace.push_back((eDir == ETraceDir::Sent ? "> " : "< ") + ToHex(p, n));
    });
    SetReply(ReplyFrame(frame::CTL_DATA_SUM, 0x70, {9}));
    uint8_t abReply[CSerlComm::REPLY_SIZE];
    ASSERT_EQ(pLink->Transact(frame::CMD_STATUS, 2, nullptr, abReply), 0);
    SetReply({0xFE, 0x00});
    pLink->Transact(frame::CMD_STATUS, 2, nullptr, abReply);
    SetTraceSink({});
    ASSERT_EQ(trace.size(), 8u);
    EXPECT_EQ(trace[0], "> FE 01 03 11 13 70 00 96");
    EXPECT_EQ(trace[1], "< " + ToHex(ReplyFrame(frame::CTL_DATA_SUM, 0x70, {9})));
    EXPECT_EQ(trace[3], "< FE 00"); // what arrived of a short reply
}

TEST_F(SerlCommFrames, NoPortMeans1259WithoutPause) {
    CSerlComm link(&m_scp, &m_prompts, m_peer.SlavePath());
    uint8_t abReply[CSerlComm::REPLY_SIZE];
    const auto t = Clock::now();
    EXPECT_EQ(link.Transact(frame::CMD_STATUS, 2, nullptr, abReply), serialdev::ERR_NOT_OPEN);
    EXPECT_LT(MsSince(t), PAUSE_MS);
    EXPECT_EQ(link.Transact(frame::CMD_LOAD, 1, nullptr, abReply), CSerlComm::ERR_BAD_REQUEST);
    EXPECT_TRUE(m_peer.Requests().empty());
}

// ---- settings and port failures in Connect ----

class SerlCommPorts : public ::testing::Test {
protected:
    void SetUp() override {
        TimeConstants().m_nSerialReadMs = READ_MS;
        TimeConstants().m_nSerialRetryPauseMs = PAUSE_MS;
        m_peer.Start([](const Bytes& request, size_t) {
            return request[frame::OFS_LEN] == 0 ? EmptyReply() : Bytes{};
        });
        ::setenv("VELOR_COM1", m_peer.SlavePath().c_str(), 1);
        ::setenv("VELOR_COM2", m_peer.SlavePath().c_str(), 1);
        ::setenv("VELOR_COM3", "/dev/velor-no-such-port", 1);
    }
    void TearDown() override {
        m_peer.Stop();
        for (const char* psz : {"VELOR_COM1", "VELOR_COM2", "VELOR_COM3"})
            ::unsetenv(psz);
        TimeConstants().Reset();
    }
    CPtyPeer m_peer;
    CScriptedPrompts m_prompts;
};

TEST_F(SerlCommPorts, SettingsAreDerivedFromTheRecordAtEveryConnect) {
    ScpParams scp = *ScpParams::Make("COM2", 0, "Odd", "9600");
    ASSERT_EQ(scp.m_abData[ScpParams::OFS_BAUD + 4], 0); // "9600" then zero bytes
    CSerlComm link(&scp, &m_prompts);
    ASSERT_EQ(link.Connect(), 0);
    EXPECT_EQ(link.PortNumber(), 2);
    EXPECT_EQ(link.BaudRate(), 9600);
    EXPECT_EQ(link.ParityIndex(), 1);
    serialdev::CSerialDevice probe; // held by the link
    EXPECT_EQ(probe.Open(m_peer.SlavePath()), EWOULDBLOCK);

    scp = *ScpParams::Make("COM1", 0, "None", "115200");
    ASSERT_EQ(link.Connect(), 0);
    EXPECT_EQ(link.PortNumber(), 1);
    EXPECT_EQ(link.BaudRate(), 115200);
    EXPECT_EQ(link.ParityIndex(), 0);
    scp = *ScpParams::Make("COM1", 0, "Even", "19200");
    ASSERT_EQ(link.Connect(), 0);
    EXPECT_EQ(link.ParityIndex(), 2);
    termios tio{};
    ASSERT_EQ(::tcgetattr(m_peer.MasterFd(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), B19200);
    EXPECT_TRUE(m_prompts.Messages().empty());
}

TEST_F(SerlCommPorts, PortNamesOutsideCom1ToCom9AreRefusedBeforeAnythingOpens) {
    EXPECT_EQ(CSerlComm::PortNameProblem("COM9"), "");
    EXPECT_EQ(CSerlComm::PortNameProblem("COM10"),
              "Unable to open port: \"COM10\" is not one of COM1 to COM9");
    EXPECT_EQ(CSerlComm::PortNameProblem("COM0"),
              "Unable to open port: \"COM0\" is not one of COM1 to COM9");
    EXPECT_EQ(CSerlComm::PortNameProblem(std::string("CO\x01X", 4)),
              "Unable to open port: \"CO?X\" is not one of COM1 to COM9");

    // A fourth character that is not a digit would have opened COM1.
    for (const char* pszName : {"COMx", "COM0", "COM"}) {
        m_prompts.Clear();
        ScpParams scp = *ScpParams::Make(pszName, 0, "Even", "115200");
        CSerlComm link(&scp, &m_prompts);
        EXPECT_EQ(link.Connect(), 1) << pszName;
        EXPECT_FALSE(link.IsOpen());
        EXPECT_EQ(m_prompts.Messages(),
                  std::vector<std::string>{"Unable to open port: \"" + std::string(pszName) +
                                           "\" is not one of COM1 to COM9"});
    }
    EXPECT_TRUE(m_peer.Requests().empty());
    serialdev::CSerialDevice probe;
    EXPECT_EQ(probe.Open(m_peer.SlavePath()), 0);

    // An explicit device path does not go through the port name at all.
    ScpParams scp = *ScpParams::Make("COMx", 0, "Even", "115200");
    probe.Close();
    CSerlComm direct(&scp, &m_prompts, m_peer.SlavePath());
    EXPECT_EQ(direct.Connect(), 0);
}

TEST_F(SerlCommPorts, OpenAndLineFailuresShowTheirMessage) {
    ScpParams scp = *ScpParams::Make("COM3", 0, "Even", "115200");
    CSerlComm missing(&scp, &m_prompts);
    EXPECT_EQ(missing.Connect(), 1);
    EXPECT_FALSE(missing.IsOpen());

    // Another opener holds the port.
    ScpParams scp1 = *ScpParams::Make("COM1", 0, "Even", "115200");
    CSerlComm holder(&scp1, &m_prompts);
    ASSERT_EQ(holder.Connect(), 0);
    CSerlComm second(&scp1, &m_prompts);
    EXPECT_EQ(second.Connect(), 1);
    holder.ClosePort();

    // A baud text without digits gives rate 0, which no line takes.
    ScpParams noBaud = *ScpParams::Make("COM1", 0, "Even", "fast");
    CSerlComm badLine(&noBaud, &m_prompts);
    EXPECT_EQ(badLine.Connect(), 1);
    EXPECT_TRUE(badLine.IsOpen()); // left open; the next connect closes it

    EXPECT_EQ(m_prompts.Messages(),
              (std::vector<std::string>{"Unable to open port", "Unable to open port",
                                        "Unable to set serial port parameters"}));
}

// ---- unit operations on replies a well-behaved unit never sends ----

namespace {

Bytes StatusRecord() {
    Bytes ab(status::STATUS_COUNT, 0);
    ab[status::ST_SERIAL_NO] = 0x34;
    ab[status::ST_SERIAL_NO + 1] = 0x12;
    ab[status::ST_SWITCH] = status::ST_SWITCH_BIT;
    return ab;
}

// The data of a read reply: a vector, then nPlain bytes of the record's plain text.
Bytes ReadData(const NetParams& rec, size_t nPlain) {
    uint8_t abPlain[PLAIN_WRITE_LEN];
    PackParamsEthernet(rec, abPlain);
    Bytes ab(IV_LEN + nPlain);
    for (size_t i = 0; i < IV_LEN; ++i)
        ab[i] = static_cast<uint8_t>(0xA0 + i);
    CryptPayload(abPlain, ab.data() + IV_LEN, ab.data(), LINK_KEY.data(), nPlain, CRYPT_ENCRYPT);
    return ab;
}

NetParams Record(const char* pszIp) {
    NetParams rec = NetParams::Defaults();
    rec.SetDottedAt(NetParams::OFS_IP, pszIp);
    rec[NetParams::OFS_DES_KEY] = 0x42;
    return rec;
}

class SerlCommScriptedUnit : public ::testing::Test {
protected:
    void SetUp() override {
        TimeConstants().m_nSerialReadMs = READ_MS;
        TimeConstants().m_nSerialRetryPauseMs = 10;
        m_peer.Start([this](const Bytes& request, size_t) -> Bytes {
            if (request[frame::OFS_LEN] == 0) return EmptyReply();
            std::lock_guard lock(m_mutex);
            const uint8_t nCmd = request[frame::OFS_CMD];
            if (nCmd == frame::CMD_READ_PARAMS && !m_reads.empty()) {
                Bytes reply = m_reads.front();
                if (m_reads.size() > 1) m_reads.erase(m_reads.begin());
                return reply;
            }
            if (nCmd == frame::CMD_STATUS) return m_status;
            if (nCmd == frame::CMD_RESET) return {};
            return ReplyFrame(frame::CTL_DATA_SUM, nCmd, {});
        });
    }
    void TearDown() override {
        m_peer.Stop();
        TimeConstants().Reset();
    }
    // Replies to the next reads, in order; the last one is repeated.
    void Reads(std::vector<Bytes> replies) {
        std::lock_guard lock(m_mutex);
        m_reads = std::move(replies);
    }

    CPtyPeer m_peer;
    CScriptedPrompts m_prompts;
    ScpParams m_scp = ScpParams::Defaults();
    CSerlComm m_link{&m_scp, &m_prompts, m_peer.SlavePath()};
    std::mutex m_mutex;
    std::vector<Bytes> m_reads;
    Bytes m_status = ReplyFrame(frame::CTL_DATA_SUM, frame::CMD_STATUS, StatusRecord());
};

} // namespace

TEST_F(SerlCommScriptedUnit, ReadsThatCannotFillTheRecordLeaveItUntouched) {
    const NetParams unit = Record("10.0.0.7");
    NetParams rec;
    struct {
        const char* pszName;
        Bytes reply;
    } cases[] = {
        {"count 0", ReplyFrame(frame::CTL_DATA_SUM, 0x91, {})},
        {"count below 8", ReplyFrame(frame::CTL_DATA_SUM, 0x91, Bytes(5, 1))},
        {"56 bytes of plain text", ReplyFrame(frame::CTL_DATA_SUM, 0x91, ReadData(unit, 56))},
        {"no data part", EmptyReply()},
    };
    for (const auto& c : cases) {
        Reads({c.reply});
        EXPECT_EQ(m_link.ReadParams(), 1) << c.pszName;
        m_link.GetParams(&rec);
        EXPECT_EQ(rec, NetParams{}) << c.pszName;
    }
    EXPECT_TRUE(m_prompts.Messages().empty()); // the worker says what it means

    // 57 bytes are enough; the 16-bit fields come big-endian.
    Reads({ReplyFrame(frame::CTL_DATA_SUM, 0x91, ReadData(unit, 57))});
    EXPECT_EQ(m_link.ReadParams(), 0);
    m_link.GetParams(&rec);
    EXPECT_EQ(rec.DottedAt(NetParams::OFS_IP), "10.0.0.7");
    EXPECT_EQ(rec.Port(), 3001);
}

TEST_F(SerlCommScriptedUnit, FailedReadBackIsNotDecrypted) {
    const NetParams first = Record("10.0.0.1");
    const NetParams second = Record("10.0.0.2");
    // The read-back arrives whole and decryptable, but its data sum is wrong every time.
    Bytes garbled = ReplyFrame(frame::CTL_DATA_SUM, 0x91, ReadData(second, 124));
    garbled.back() ^= 0x01;
    Reads({ReplyFrame(frame::CTL_DATA_SUM, 0x91, ReadData(first, 124)), garbled});
    ASSERT_EQ(m_link.ReadParams(), 0);
    NetParams rec;
    m_link.GetParams(&rec);
    m_link.SetParams(&rec);
    EXPECT_EQ(m_link.WriteParams(), frame::ERR_INVALID);
    EXPECT_EQ(m_prompts.Messages(),
              (std::vector<std::string>{"Orvik not responding",
                                        "Communication Error, Orvik did not update"}));
    NetParams after;
    m_link.GetParams(&after);
    EXPECT_EQ(after.DottedAt(NetParams::OFS_IP), "10.0.0.1");
}

TEST_F(SerlCommScriptedUnit, StatusReplyWithoutTheRecordIsNotBelieved) {
    m_link.m_nSerialNo = 77;
    {
        std::lock_guard lock(m_mutex);
        m_status = ReplyFrame(frame::CTL_DATA_SUM, frame::CMD_STATUS, Bytes(20, 0xFF));
    }
    EXPECT_EQ(m_link.CheckUnit(), frame::ERR_SHORT);
    EXPECT_EQ(m_prompts.Messages(), std::vector<std::string>{"Orvik not responding"});
    EXPECT_EQ(m_link.m_nSerialNo, 77u);

    m_prompts.Clear();
    {
        std::lock_guard lock(m_mutex);
        m_status = ReplyFrame(frame::CTL_DATA_SUM, frame::CMD_STATUS, StatusRecord());
    }
    EXPECT_EQ(m_link.CheckUnit(), 0);
    EXPECT_EQ(m_link.m_nSerialNo, 0x1234u);
    EXPECT_TRUE(m_prompts.Messages().empty());
}

// The cable goes as the nth reset request is about to leave; the unit never answers
// a reset. An adapter powered by the unit drops with it.
int ResetWithCableLostAt(CPtyPeer& peer, CSerlComm& link, int nLostAt) {
    int nSends = 0;
    SetTraceSink([&](ETraceDir eDir, const uint8_t* p, size_t n) {
        if (eDir == ETraceDir::Sent && n > frame::OFS_CMD &&
            p[frame::OFS_CMD] == frame::CMD_RESET && ++nSends == nLostAt)
            peer.CloseMaster();
    });
    const int nResult = link.ResetUnit();
    SetTraceSink({});
    return nResult;
}

TEST_F(SerlCommScriptedUnit, ResetThatNeverReachedTheLineIsNotReportedAsDone) {
    EXPECT_EQ(ResetWithCableLostAt(m_peer, m_link, 1), serialdev::ERR_WRITE_SHORT);
    EXPECT_EQ(m_link.Result(), EJobResult::CommFailure);
    EXPECT_EQ(m_prompts.Messages(),
              std::vector<std::string>{
                  "The reset request could not be sent to the Orvik; it has not been reset"});
}

TEST_F(SerlCommScriptedUnit, ResetSentWholeOnceCountsAsRequested) {
    // Two whole requests went unanswered before the third could not be written.
    EXPECT_EQ(ResetWithCableLostAt(m_peer, m_link, 3), 0);
    EXPECT_EQ(m_link.Result(), EJobResult::Success);
    EXPECT_EQ(m_prompts.Messages(), std::vector<std::string>{" The Orvik has reset successfully"});
}

// The one test that runs on the real time-outs.
TEST(SerlCommDefaults, RealTimeOutsAreInForce) {
    TimeConstants().Reset();
    EXPECT_EQ(TimeConstants().m_nSerialReadMs, 500);
    EXPECT_EQ(TimeConstants().m_nSerialWriteMs, 500);
    EXPECT_EQ(TimeConstants().m_nSerialRetryPauseMs, 500);

    CPtyPeer peer;
    std::atomic<bool> bGarble{false};
    peer.Start([&](const Bytes& request, size_t) -> Bytes {
        if (request[frame::OFS_LEN] == 0) return EmptyReply();
        return bGarble ? Bytes{0xFD, 0, 0, 0, 0xFD} : Bytes{};
    });
    CScriptedPrompts prompts;
    ScpParams scp = ScpParams::Defaults();
    CSerlComm link(&scp, &prompts, peer.SlavePath());
    ASSERT_EQ(link.Connect(), 0);
    uint8_t abFrame[frame::MAX_FRAME];
    uint8_t abReply[CSerlComm::REPLY_SIZE];
    const size_t nLen = link.BuildFrame(abFrame, nullptr, frame::CMD_STATUS, 2);

    // Silence: one header read of 500 ms.
    auto t = Clock::now();
    EXPECT_EQ(link.TryOnce(abFrame, abReply, nLen), frame::ERR_NO_REPLY);
    EXPECT_GE(MsSince(t), 490);
    EXPECT_LT(MsSince(t), 900);

    // A bad reply comes at once and is followed by the 500 ms pause.
    bGarble = true;
    t = Clock::now();
    EXPECT_EQ(link.TryOnce(abFrame, abReply, nLen), frame::ERR_INVALID);
    EXPECT_GE(MsSince(t), 490);
    EXPECT_LT(MsSince(t), 900);
    peer.Stop();
}
