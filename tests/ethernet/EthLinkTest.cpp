// The link's socket handling and exchange forms against a bare UDP peer; the unit
// operations run against the simulated unit in tests/e2e.

#include "ethernet/EthLink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ScriptedPrompts.h"
#include "UdpPeer.h"
#include "jobs/JobHost.h"
#include "platform/TimeConstants.h"
#include "serial/FrameCodec.h"

namespace {

using Bytes = CUdpPeer::Bytes;
using EOpenResult = CEthLink::EOpenResult;

const std::string RECV_TIMED_OUT =
    "Unable to connect to Velor - Connection timed out.  If problem persists, clear the NVRAM "
    "by setting SW2, switches 2,4,6,8 on and the rotary switch to F, power Velor off and on, "
    "wait for LEDS 1-4 to flash, then restart procedure.";
const std::string RECV_RESET =
    "Unable to connect to Velor - Connection reset by peer.  If problem persists, clear the "
    "NVRAM by setting SW2, switches 2,4,6,8 on and the rotary switch to F, power Velor off and "
    "on, wait for LEDS 1-4 to flash, then restart procedure.";

Bytes ValidHeader() {
    Bytes ab = {0xFE, 0x00, 0x00, 0x00, 0x00};
    ab[4] = frame::Sum8(ab.data(), 4);
    return ab;
}

// A reply frame carrying data; the data sum is checked only when bDataSum is set.
Bytes DataReply(const Bytes& data, bool bDataSum = true) {
    Bytes ab(frame::MAX_FRAME);
    ab.resize(frame::Build(ab.data(), ab.size(), 0, 0, 0x91, data.size() + 2, data.data()));
    ab[3] = bDataSum ? 0x01 : 0x00;
    ab[4] = frame::Sum8(ab.data(), 4);
    ab.back() = frame::Sum8(ab.data(), ab.size() - 1);
    return ab;
}

// Read reply data: IV, then the plain text encrypted under the link key.
Bytes ReadData(const Bytes& plain) {
    Bytes ab(IV_LEN + plain.size());
    for (size_t i = 0; i < IV_LEN; ++i)
        ab[i] = static_cast<uint8_t>(0xA0 + i);
    CryptPayload(plain.data(), ab.data() + IV_LEN, ab.data(), LINK_KEY.data(), plain.size(),
                 CRYPT_ENCRYPT);
    return ab;
}

// A unit that answers polls and the write, and answers 0x91 with the given datagram.
CUdpPeer::Handler UnitAnswering(Bytes readReply) {
    return [readReply](const Bytes& req) {
        if (req.size() > 5 && req[5] == frame::CMD_READ_PARAMS)
            return std::vector<Bytes>{readReply};
        return std::vector<Bytes>{req.size() > 5 ? DataReply({}) : ValidHeader()};
    };
}

class EthLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        TimeConstants().m_nRecvMs = 100;
        TimeConstants().m_nRecvReopenMs = 100;
        m_rec = NetParams::Defaults();
        m_host.m_pNetParams = &m_rec;
        m_host.m_strTargetIp = "127.0.0.1";
        m_nBaseStartups = CDatagramSocket::StartupCount();
    }
    void TearDown() override {
        TimeConstants().Reset();
        EXPECT_EQ(CDatagramSocket::StartupCount(), m_nBaseStartups);
    }

    CScriptedPrompts m_prompts;
    CJobHost m_host{&m_prompts};
    NetParams m_rec;
    int m_nBaseStartups = 0;
};

TEST_F(EthLinkTest, OpenAndCloseKeepStartupBalancedAndCloseOnlyWhatWasOpened) {
    CUdpPeer peer([](const Bytes&) { return std::vector<Bytes>{}; });
    m_host.m_nTargetPort = peer.Port();
    {
        CEthLink link(&m_host);
        EXPECT_EQ(link.Ip(), "127.0.0.1");
        EXPECT_EQ(link.Port(), peer.Port());
        ASSERT_EQ(link.OpenSocket(TimeConstants().m_nRecvMs, CEthLink::EOpen::Start),
                  EOpenResult::Open);
        EXPECT_TRUE(link.IsOpen());
        EXPECT_EQ(CDatagramSocket::StartupCount(), m_nBaseStartups + 1);
        link.CloseSocket(CEthLink::EClose::JobEnd);
        EXPECT_FALSE(link.IsOpen());
        EXPECT_EQ(CDatagramSocket::StartupCount(), m_nBaseStartups);
        link.CloseSocket(CEthLink::EClose::JobEnd); // nothing left to close: silent
    }
    {
        // A job that ends without closing still gives its startup back.
        CEthLink link(&m_host);
        ASSERT_EQ(link.OpenSocket(100, CEthLink::EOpen::Start), EOpenResult::Open);
    }
    EXPECT_TRUE(m_prompts.Log().empty());
}

TEST_F(EthLinkTest, SocketThatCannotBeCreatedShowsItsMessageForStartAndAgain) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    // The lowest free descriptor becomes the limit: the next socket() gets EMFILE.
    const int fdFree = dup(0);
    ASSERT_GE(fdFree, 0);
    close(fdFree);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(fdFree);
    CEthLink link(&m_host);
    // UBSan checks a virtual call's target through a pipe the first time it meets it:
    // let it meet the prompts once while descriptors are still free.
    EXPECT_FALSE(link.Poll());
    m_prompts.Clear();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    const EOpenResult eStart = link.OpenSocket(100, CEthLink::EOpen::Start);
    link.CloseSocket(CEthLink::EClose::JobEnd);
    const EOpenResult eAgain = link.OpenSocket(100, CEthLink::EOpen::Again);
    link.CloseSocket(CEthLink::EClose::JobEnd);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);

    EXPECT_EQ(eStart, EOpenResult::Failed);
    EXPECT_EQ(eAgain, EOpenResult::Failed);
    EXPECT_EQ(m_prompts.Log(),
              (std::vector<std::string>{"Unable to get to IP socket - Too many open files\n",
                                        "Unable to get IP socket - Too many open files\n"}));
}

TEST_F(EthLinkTest, RefusedPortFailsBothPollsWithResetByPeer) {
    uint16_t nClosed;
    {
        CUdpPeer gone([](const Bytes&) { return std::vector<Bytes>{}; });
        nClosed = gone.Port();
    }
    m_host.m_nTargetPort = nClosed;
    CEthLink link(&m_host);
    ASSERT_EQ(link.OpenSocket(2000, CEthLink::EOpen::Start), EOpenResult::Open);
    EXPECT_FALSE(link.StepPolls());
    EXPECT_EQ(m_prompts.Log(), (std::vector<std::string>{RECV_RESET, RECV_RESET}));
    link.CloseSocket(CEthLink::EClose::JobEnd);
}

TEST_F(EthLinkTest, EmptyDatagramIsReceivedAndRejectedByThePoll) {
    CUdpPeer peer([](const Bytes&) { return std::vector<Bytes>{Bytes{}}; });
    m_host.m_nTargetPort = peer.Port();
    CEthLink link(&m_host);
    ASSERT_EQ(link.OpenSocket(200, CEthLink::EOpen::Start), EOpenResult::Open);
    link.Frame()[1] = 0x42; // a leftover the receive must clear
    const size_t nLen = link.Framing().BuildFrame(0, 0, nullptr, link.Frame());
    ASSERT_TRUE(link.Exchange(nLen));
    EXPECT_EQ(link.Received(), 0u);
    EXPECT_EQ(link.Frame()[1], 0);
    EXPECT_FALSE(link.Poll());
    EXPECT_EQ(m_prompts.Log(), (std::vector<std::string>{"Error"}));
    EXPECT_EQ(link.Framing().Sequence(), 0u);
}

TEST_F(EthLinkTest, AddressReentryReopensAtTheNewAddressWithTheLongerTimeOut) {
    CUdpPeer first([](const Bytes&) { return std::vector<Bytes>{}; });
    CUdpPeer second([](const Bytes&) { return std::vector<Bytes>{ValidHeader()}; });
    m_host.m_nTargetPort = first.Port();
    m_prompts.m_fnIpAddress = [&](NetParams& rec) {
        rec.SetDottedAt(NetParams::OFS_IP, "127.0.0.1");
        rec.SetPort(second.Port());
    };
    TimeConstants().m_nRecvReopenMs = 300;
    CEthLink link(&m_host);
    ASSERT_EQ(link.OpenSocket(TimeConstants().m_nRecvMs, CEthLink::EOpen::Start),
              EOpenResult::Open);
    EXPECT_EQ(link.StatusCheck(), CEthLink::EStep::OfferAddress);
    m_prompts.Clear();
    m_host.m_strTargetIp = "stale"; // the link took its copy at the start

    ASSERT_EQ(link.AddressReentry(), CEthLink::EStep::Retry);
    EXPECT_EQ(m_host.m_strTargetIp, "127.0.0.1");
    EXPECT_EQ(link.Port(), second.Port());
    EXPECT_EQ(CDatagramSocket::StartupCount(), m_nBaseStartups + 1);
    EXPECT_TRUE(link.StepPolls());
    EXPECT_EQ(second.Received().size(), 2u);

    // The reopened socket waits the longer time-out: 300 ms, not 100.
    CUdpPeer silent([](const Bytes&) { return std::vector<Bytes>{}; });
    m_prompts.m_fnIpAddress = [&](NetParams& rec) { rec.SetPort(silent.Port()); };
    ASSERT_EQ(link.AddressReentry(), CEthLink::EStep::Retry);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(link.Poll());
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(290));

    m_prompts.Answer("IpAddress", false);
    EXPECT_EQ(link.AddressReentry(), CEthLink::EStep::Stop);
    EXPECT_EQ(m_prompts.Log(), (std::vector<std::string>{"[IpAddress] OK", "[IpAddress] OK",
                                                         RECV_TIMED_OUT, "[IpAddress] Cancel"}));
    link.CloseSocket(CEthLink::EClose::JobEnd);
}

TEST_F(EthLinkTest, ReadReplyWhoseDataDidNotArriveOrIsTooShortLeavesTheRecord) {
    const NetParams before = m_rec;
    // Plain text of 56 bytes, one short of the record part a read must carry.
    const Bytes shortText = DataReply(ReadData(Bytes(56, 0x11)));
    // A count of 255 whose bytes never came: no data sum to betray it, and its cipher
    // text would reach past the frame buffer.
    Bytes cutShort = DataReply(ReadData(Bytes(100, 0x22)), false);
    cutShort[6] = 255;
    for (const Bytes& reply : {shortText, cutShort}) {
        CUdpPeer unit(UnitAnswering(reply));
        m_host.m_nTargetPort = unit.Port();
        CEthLink link(&m_host);
        ASSERT_EQ(link.OpenSocket(200, CEthLink::EOpen::Start), EOpenResult::Open);
        EXPECT_EQ(link.ReadParams(), CEthLink::EStep::Retry);
        EXPECT_EQ(m_rec, before);
        EXPECT_EQ(m_host.m_nTargetPort, unit.Port());
        link.CloseSocket(CEthLink::EClose::JobEnd);
    }
    EXPECT_TRUE(m_prompts.Log().empty());
}

TEST_F(EthLinkTest, ReadBackComparesOnlyWhatArrived) {
    uint8_t abPlain[PLAIN_WRITE_LEN];
    PackParamsEthernet(m_rec, abPlain);
    // The stored record in full; then the same with a count of 255 that did not arrive;
    // then only 57 bytes of it, too few to confirm the 61 that were written.
    const Bytes full = DataReply(ReadData(Bytes(abPlain, abPlain + 61)));
    Bytes cutShort = DataReply(ReadData(Bytes(abPlain, abPlain + 61)), false);
    cutShort[6] = 255;
    const Bytes partial = DataReply(ReadData(Bytes(abPlain, abPlain + 57)));
    for (const Bytes& reply : {full, cutShort, partial}) {
        CUdpPeer unit(UnitAnswering(reply));
        m_host.m_nTargetPort = unit.Port();
        CEthLink link(&m_host);
        ASSERT_EQ(link.OpenSocket(200, CEthLink::EOpen::Start), EOpenResult::Open);
        EXPECT_EQ(link.WriteParams(), CEthLink::EStep::Next);
        link.CloseSocket(CEthLink::EClose::JobEnd);
    }
    EXPECT_EQ(m_prompts.Log(),
              (std::vector<std::string>{" The Velor updated successfully",
                                        "!!!!!The Velor update did not compare successfully!!!!",
                                        "!!!!!The Velor update did not compare successfully!!!!"}));
}

TEST_F(EthLinkTest, DatagramsThatCannotBeTheReplyDoNotExtendTheWait) {
    // The unit's port answers a poll with a bad frame every 20 ms for a second; another
    // port of the same host sends a valid one. Neither is the reply: the poll fails once
    // its 300 ms are over, as an invalid reply.
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int fdOther = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t nAddr = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &nAddr);
    m_host.m_nTargetPort = ntohs(addr.sin_port);
    CEthLink link(&m_host);
    ASSERT_EQ(link.OpenSocket(300, CEthLink::EOpen::Start), EOpenResult::Open);
    std::thread unit([&] {
        uint8_t ab[64];
        sockaddr_in from{};
        socklen_t nFrom = sizeof from;
        if (::recvfrom(fd, ab, sizeof ab, 0, reinterpret_cast<sockaddr*>(&from), &nFrom) < 0)
            return;
        Bytes bad = ValidHeader();
        bad[4] ^= 1;
        const Bytes good = ValidHeader();
        ::sendto(fdOther, good.data(), good.size(), 0, reinterpret_cast<sockaddr*>(&from), nFrom);
        for (int i = 0; i < 50; ++i) {
            ::sendto(fd, bad.data(), bad.size(), 0, reinterpret_cast<sockaddr*>(&from), nFrom);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(link.Poll());
    const auto elapsed = std::chrono::steady_clock::now() - t0;
    unit.join();
    EXPECT_GE(elapsed, std::chrono::milliseconds(290));
    EXPECT_LT(elapsed, std::chrono::milliseconds(700));
    EXPECT_EQ(m_prompts.Log(), (std::vector<std::string>{"Error"}));
    link.CloseSocket(CEthLink::EClose::JobEnd);
    ::close(fd);
    ::close(fdOther);
}

} // namespace
