#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "SimServerUtil.h"
#include "SimTestUtil.h"
#include "TestUtil.h"

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return ms > 0 ? static_cast<int>(ms) : 0;
}

// One side of a link as the utility sees it: send a request, wait for one reply frame.
class CLink {
public:
    virtual ~CLink() = default;
    virtual void Send(const std::vector<uint8_t>& ab) = 0;
    // A whole reply frame, or empty when none came within nMs.
    virtual std::vector<uint8_t> Receive(int nMs) = 0;
};

class CPtyLink : public CLink {
public:
    explicit CPtyLink(const std::string& strPath) { Open(strPath); }
    ~CPtyLink() override { Close(); }
    void Open(const std::string& strPath) {
        m_fd = ::open(strPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(m_fd, 0) << strPath;
        termios tio{};
        ASSERT_EQ(::tcgetattr(m_fd, &tio), 0);
        ::cfmakeraw(&tio);
        ASSERT_EQ(::tcsetattr(m_fd, TCSANOW, &tio), 0);
    }
    void Close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }
    void Send(const std::vector<uint8_t>& ab) override {
        ASSERT_EQ(::write(m_fd, ab.data(), ab.size()), static_cast<ssize_t>(ab.size()));
    }
    // Reads by the frame layout: the header, then as many bytes as its length says.
    std::vector<uint8_t> Receive(int nMs) override {
        const auto deadline = Clock::now() + std::chrono::milliseconds(nMs);
        std::vector<uint8_t> ab;
        size_t nWant = frame::HEADER_LEN;
        while (ab.size() < nWant) {
            pollfd pfd{m_fd, POLLIN, 0};
            if (::poll(&pfd, 1, MsLeft(deadline)) <= 0) return {};
            uint8_t b;
            if (::read(m_fd, &b, 1) != 1) continue;
            ab.push_back(b);
            if (ab.size() == frame::HEADER_LEN) nWant += ab[frame::OFS_LEN];
        }
        return ab;
    }
    int Fd() const { return m_fd; }

private:
    int m_fd = -1;
};

class CUdpLink : public CLink {
public:
    explicit CUdpLink(uint16_t nPort, const std::string& strHost = "127.0.0.1") {
        m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        m_to.sin_family = AF_INET;
        m_to.sin_port = htons(nPort);
        ::inet_pton(AF_INET, strHost.c_str(), &m_to.sin_addr);
    }
    ~CUdpLink() override { ::close(m_fd); }
    void Send(const std::vector<uint8_t>& ab) override {
        ASSERT_EQ(::sendto(m_fd, ab.data(), ab.size(), 0, reinterpret_cast<sockaddr*>(&m_to),
                           sizeof m_to),
                  static_cast<ssize_t>(ab.size()));
    }
    std::vector<uint8_t> Receive(int nMs) override {
        pollfd pfd{m_fd, POLLIN, 0};
        if (::poll(&pfd, 1, nMs) <= 0) return {};
        std::vector<uint8_t> ab(65536);
        const ssize_t n = ::recv(m_fd, ab.data(), ab.size(), 0);
        ab.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return ab;
    }

private:
    int m_fd = -1;
    sockaddr_in m_to{};
};

// Sends with a sequence of its own and returns the reply check (-1: no reply).
struct CConversation {
    CLink& m_link;
    uint32_t m_nSeq = 0;
    std::vector<uint8_t> m_reply{};
    uint8_t m_nAddr = 0x07;

    int Send(int nCmd, const std::vector<uint8_t>& abData = {}, int nWaitMs = 1000) {
        m_link.Send(Request(m_nAddr, m_nSeq, nCmd, abData));
        m_reply = m_link.Receive(nWaitMs);
        if (m_reply.empty()) return -1;
        const int nCheck = frame::CheckReply(m_reply.data(), m_reply.size());
        if (nCheck == frame::OK) m_nSeq = frame::NextSequence(m_nSeq);
        if (nCheck == frame::ERR_RESYNC) m_nSeq = 0;
        return nCheck;
    }
};

// The same exchange over either link: power-on resynchronisation, status, a write
// and its read-back, a reset and the restarted unit.
void Converse(CSimServer& server, CLink& link) {
    CConversation c{link};
    EXPECT_EQ(c.Send(-1), frame::ERR_RESYNC);
    EXPECT_EQ(c.Send(-1), frame::OK);
    EXPECT_EQ(c.m_reply[frame::OFS_ADDR], 0x07);
    ASSERT_EQ(c.Send(frame::CMD_STATUS), frame::OK);
    EXPECT_EQ(frame::DataCount(c.m_reply.data()), 46);
    EXPECT_EQ(StatusOf(c.m_reply).m_nSerialNo, 0x4321);

    NetParams rec = SSimOptions::DefaultParams();
    rec.SetDottedAt(NetParams::OFS_IP, "10.9.8.7");
    rec.SetPort(4000);
    uint8_t abPlain[PLAIN_WRITE_LEN];
    PackParamsEthernet(rec, abPlain);
    std::vector<uint8_t> abData(WRITE_DATA_LEN);
    BuildWriteData(abPlain, rec.Data() + NetParams::OFS_DES_KEY, abData.data());
    ASSERT_EQ(c.Send(frame::CMD_WRITE_PARAMS, abData), frame::OK);
    ASSERT_EQ(c.Send(frame::CMD_READ_PARAMS), frame::OK);
    NetParams back;
    ASSERT_TRUE(DecryptReadReply(c.m_reply.data(), c.m_reply.size(), back));
    EXPECT_EQ(back.DottedAt(NetParams::OFS_IP), "10.9.8.7");
    EXPECT_EQ(back.Port(), 4000);
    EXPECT_EQ(server.WithUnit([](CSimUnit& u) { return u.Params().Port(); }), 4000);

    const auto restarts = [&] { return server.WithUnit([](CSimUnit& u) { return u.Restarts(); }); };
    const uint32_t nRestarts = restarts();
    EXPECT_EQ(c.Send(frame::CMD_RESET, {}, 100), -1);
    EXPECT_EQ(restarts(), nRestarts + 1);
    EXPECT_EQ(c.Send(-1), frame::ERR_RESYNC);
    EXPECT_EQ(c.Send(-1), frame::OK);
}

SSimOptions Options() {
    SSimOptions opts;
    opts.m_bPty = true;
    opts.m_bUdp = true;
    opts.m_nUdpPort = 0;
    opts.m_nSerialNo = 0x4321;
    return opts;
}

} // namespace

TEST(SimServerTest, SameConversationOverPtyAndUdp) {
    CSimServer server;
    std::string strError;
    ASSERT_TRUE(server.Start(Options(), &strError)) << strError;
    ASSERT_NE(server.UdpPort(), 0);
    ASSERT_EQ(server.PtyPath().rfind("/dev/pts/", 0), 0u) << server.PtyPath();
    {
        SCOPED_TRACE("pty");
        CPtyLink pty(server.PtyPath());
        Converse(server, pty);
    }
    {
        SCOPED_TRACE("udp");
        CUdpLink udp(server.UdpPort());
        Converse(server, udp);
    }
}

TEST(SimServerTest, PtySurvivesReopeningAndFindsFramesAmongGarbage) {
    CSimServer server;
    ASSERT_TRUE(server.Start(Options()));
    CPtyLink pty(server.PtyPath());
    CConversation c{pty};
    c.Send(-1);
    ASSERT_EQ(c.Send(-1), frame::OK);
    // The utility closes and opens the port for every operation.
    pty.Close();
    pty.Open(server.PtyPath());
    ASSERT_EQ(c.Send(-1), frame::OK);

    // Garbage, a frame with a bad data sum and a truncated frame around a good one.
    std::vector<uint8_t> ab = FromHex("00 11 FE FE 22 FE 00 03 09 0A 70 00 85");
    const std::vector<uint8_t> good = Request(0, c.m_nSeq, frame::CMD_STATUS);
    ab.insert(ab.end(), good.begin(), good.end());
    ab.insert(ab.end(), {0xFE, 0x00, 0x10});
    pty.Send(ab);
    std::vector<uint8_t> reply = pty.Receive(1000);
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(frame::CheckReply(reply.data(), reply.size()), frame::OK);
    EXPECT_EQ(reply[frame::OFS_CMD], frame::CMD_STATUS);
    // The truncated frame is given up once the line is quiet; the next frame counts.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    c.m_nSeq = frame::NextSequence(c.m_nSeq);
    EXPECT_EQ(c.Send(-1), frame::OK);
    EXPECT_EQ(server.DroppedBytes(), 5u + 8 + 3);
}

TEST(SimServerTest, PtyTruncatedFrameDoesNotSwallowTheNextOne) {
    CSimServer server;
    ASSERT_TRUE(server.Start(Options()));
    CPtyLink pty(server.PtyPath());
    CConversation c{pty};
    c.Send(-1);
    // A long frame cut short, then good ones: the unit gives the cut frame up and
    // answers the next.
    std::vector<uint8_t> ab =
        Request(0, 0, frame::CMD_WRITE_PARAMS, std::vector<uint8_t>(WRITE_DATA_LEN, 0x33));
    ab.resize(20);
    pty.Send(ab);
    for (int i = 0; i < 20; ++i) {
        if (c.Send(-1, {}, 200) == frame::OK) break;
    }
    EXPECT_EQ(frame::CheckReply(c.m_reply.data(), c.m_reply.size()), frame::OK);
    EXPECT_EQ(server.WithUnit([](CSimUnit& u) { return u.FrameCount(frame::CMD_WRITE_PARAMS); }),
              0u);
}

TEST(SimServerTest, PacingAt9600BaudTakesTheLineTime) {
    SSimOptions opts = Options();
    opts.m_bUdp = false;
    opts.m_nBaud = 9600;
    opts.m_bParity = true;
    CSimServer server;
    ASSERT_TRUE(server.Start(opts));
    CPtyLink pty(server.PtyPath());
    CConversation c{pty};
    c.Send(-1);
    ASSERT_EQ(c.Send(-1), frame::OK);

    // A full load block out (246 bytes) and its reply back (8 bytes), 11 bits each.
    const std::vector<uint8_t> req =
        Request(0, c.m_nSeq, frame::CMD_LOAD, LoadBlock(0x1000, std::vector<uint8_t>(234, 0x42)));
    ASSERT_EQ(req.size(), 246u);
    const double dExpected = (246.0 + 8.0) * 11.0 / 9600.0;
    const auto t0 = Clock::now();
    pty.Send(req);
    const std::vector<uint8_t> reply = pty.Receive(2000);
    const double dTook = std::chrono::duration<double>(Clock::now() - t0).count();
    ASSERT_EQ(reply.size(), 8u);
    EXPECT_EQ(frame::CheckReply(reply.data(), reply.size()), frame::OK);
    EXPECT_GE(dTook, dExpected * 0.97);
    EXPECT_LE(dTook, dExpected * 1.10);
    RecordProperty("took_ms", static_cast<int>(dTook * 1000));

    // Without parity a character is 10 bits: the status exchange, 8 + 54 bytes.
    server.Stop();
    opts.m_bParity = false;
    ASSERT_TRUE(server.Start(opts));
    CPtyLink pty2(server.PtyPath());
    CConversation c2{pty2};
    ASSERT_EQ(c2.Send(-1), frame::ERR_RESYNC);
    const auto t1 = Clock::now();
    ASSERT_EQ(c2.Send(frame::CMD_STATUS), frame::OK);
    const double dStatus = std::chrono::duration<double>(Clock::now() - t1).count();
    const double dStatusExpected = (8.0 + 54.0) * 10.0 / 9600.0;
    EXPECT_GE(dStatus, dStatusExpected * 0.97);
    EXPECT_LE(dStatus, dStatusExpected * 1.10);
}

TEST(SimServerTest, UdpOddDatagrams) {
    SSimOptions opts = Options();
    opts.m_bPty = false;
    CSimServer server;
    ASSERT_TRUE(server.Start(opts));
    CUdpLink udp(server.UdpPort());
    CConversation c{udp};
    c.Send(-1);
    ASSERT_EQ(c.Send(-1), frame::OK);

    // Empty and largest datagrams are not frames: no answer, and the unit goes on.
    udp.Send({});
    EXPECT_TRUE(udp.Receive(50).empty());
    std::vector<uint8_t> big = Request(0, c.m_nSeq, frame::CMD_STATUS);
    big.resize(65507, 0xFE);
    big[4] ^= 1;
    udp.Send(big);
    EXPECT_TRUE(udp.Receive(50).empty());
    EXPECT_EQ(c.Send(frame::CMD_STATUS), frame::OK);
    EXPECT_EQ(server.WithUnit([](CSimUnit& u) { return u.InvalidFrames(); }), 2u);

    // Oversized replies: the frame, then zeros up to the size asked for.
    for (int nSize : {300, 600}) {
        SSimFaults faults;
        faults.m_nOversizeReply = nSize;
        server.SetFaults(faults);
        EXPECT_EQ(c.Send(frame::CMD_READ_PARAMS), frame::OK);
        ASSERT_EQ(c.m_reply.size(), static_cast<size_t>(nSize));
        EXPECT_EQ(c.m_reply[frame::OFS_LEN], WRITE_DATA_LEN + 3);
        EXPECT_EQ(c.m_reply.back(), 0);
    }
}

TEST(SimServerTest, UdpUnsolicitedStream) {
    SSimOptions opts = Options();
    opts.m_bPty = false;
    CSimServer server;
    ASSERT_TRUE(server.Start(opts));
    CUdpLink udp(server.UdpPort());
    CConversation c{udp};
    c.Send(-1);
    SSimFaults faults;
    faults.m_nUnsolicitedMs = 20;
    server.SetFaults(faults);
    EXPECT_EQ(server.Faults().m_nUnsolicitedMs, 20);
    int nFrames = 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(500);
    while (nFrames < 5 && Clock::now() < deadline) {
        const std::vector<uint8_t> ab = udp.Receive(100);
        if (ab.empty()) break;
        EXPECT_EQ(frame::CheckReply(ab.data(), ab.size()), frame::OK) << ToHex(ab);
        ++nFrames;
    }
    EXPECT_EQ(nFrames, 5);
    server.SetFaults({});
    while (!udp.Receive(60).empty()) {
    }
    EXPECT_TRUE(udp.Receive(100).empty()) << "the stream stops with the fault";
}

TEST(SimServerTest, ReplyDelayDoesNotHoldTheUnit) {
    CSimServer server;
    ASSERT_TRUE(server.Start(Options()));
    CUdpLink udp(server.UdpPort());
    CPtyLink pty(server.PtyPath());
    SSimFaults faults;
    faults.m_nReplyDelayMs = 300;
    server.SetFaults(faults);
    for (CLink* pLink : std::initializer_list<CLink*>{&udp, &pty}) {
        const auto t0 = Clock::now();
        pLink->Send(Request(0, 0, -1));
        // The unit can be looked at while the reply waits.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto t1 = Clock::now();
        server.WithUnit([](CSimUnit& u) { return u.FrameCount(-1); });
        EXPECT_LT(Clock::now() - t1, std::chrono::milliseconds(100));
        EXPECT_FALSE(pLink->Receive(2000).empty());
        EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(300));
    }
}

TEST(SimServerTest, StartFailuresAreReported) {
    CSimServer server;
    std::string strError;
    SSimOptions opts;
    EXPECT_FALSE(server.Start(opts, &strError));
    EXPECT_NE(strError.find("nothing to serve"), std::string::npos) << strError;

    opts.m_bUdp = true;
    opts.m_strUdpHost = "localhost";
    EXPECT_FALSE(server.Start(opts, &strError));
    EXPECT_NE(strError.find("localhost"), std::string::npos) << strError;

    CSimServer first;
    opts = Options();
    ASSERT_TRUE(first.Start(opts));
    opts.m_bPty = false;
    opts.m_nUdpPort = first.UdpPort();
    EXPECT_FALSE(server.Start(opts, &strError));
    EXPECT_NE(strError.find("bind"), std::string::npos) << strError;

    opts.m_strDevice = "/nonexistent/tty";
    opts.m_bUdp = false;
    EXPECT_FALSE(server.Start(opts, &strError));
    EXPECT_FALSE(first.Start(Options(), &strError));
    EXPECT_EQ(strError, "already running");
}

TEST(SimServerTest, ServesAGivenDevice) {
    // Another pseudo-terminal stands in for a serial port.
    const int fdMaster = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(fdMaster, 0);
    ASSERT_EQ(::grantpt(fdMaster), 0);
    ASSERT_EQ(::unlockpt(fdMaster), 0);
    char szName[128];
    ASSERT_EQ(::ptsname_r(fdMaster, szName, sizeof szName), 0);
    SSimOptions opts;
    opts.m_strDevice = szName;
    CSimServer server;
    std::string strError;
    ASSERT_TRUE(server.Start(opts, &strError)) << strError;
    EXPECT_EQ(server.PtyPath(), szName);
    const std::vector<uint8_t> req = Request(0, 0, -1);
    ASSERT_EQ(::write(fdMaster, req.data(), req.size()), 5);
    pollfd pfd{fdMaster, POLLIN, 0};
    ASSERT_EQ(::poll(&pfd, 1, 1000), 1);
    uint8_t ab[16];
    EXPECT_EQ(::read(fdMaster, ab, sizeof ab), 5);
    EXPECT_EQ(ToHex(ab, 5), "FE 00 00 10 0E");
    server.Stop();
    ::close(fdMaster);
}

TEST(SimSiteTest, EveryUnitAnswersAsItselfWithItsFaults) {
    SSiteLayout layout;
    layout.m_nUnits = 12;
    layout.m_strFirstHost = "127.1.200.1";
    layout.m_nPort = 0;
    layout.m_nStep = 3;
    layout.m_nSilentEvery = 4;
    layout.m_nSlowEvery = 6;
    layout.m_nSlowMs = 150;
    layout.m_nOtherAddrEvery = 5;
    CSimSite site;
    std::string strError;
    ASSERT_TRUE(StartSite(site, layout, strError)) << strError;
    ASSERT_EQ(site.Size(), 12u);
    for (size_t i = 0; i < site.Size(); ++i) {
        const size_t n = i + 1;
        const SSiteUnit& unit = site.Unit(i);
        SCOPED_TRACE(SiteUnitLine(unit));
        EXPECT_EQ(unit.m_strHost, "127.1.200." + std::to_string(1 + 3 * i));
        CUdpLink link(unit.m_nPort, unit.m_strHost);
        CConversation c{link};
        c.m_nAddr = n % 5 == 0 ? 2 : 0;
        const auto t0 = Clock::now();
        const int nSync = c.Send(-1, {}, 250);
        if (n % 4 == 0) {
            EXPECT_EQ(nSync, -1);
            continue;
        }
        EXPECT_EQ(nSync, frame::ERR_RESYNC);
        EXPECT_EQ(Clock::now() - t0 >= std::chrono::milliseconds(150), n % 6 == 0);
        ASSERT_EQ(c.Send(-1), frame::OK);
        ASSERT_EQ(c.Send(frame::CMD_STATUS), frame::OK);
        const uint8_t* p = c.m_reply.data() + frame::OFS_DATA;
        EXPECT_EQ(p[status::ST_SERIAL_NO] | p[status::ST_SERIAL_NO + 1] << 8, 0x1001 + i);
        EXPECT_EQ(p[status::ST_CHECK_WORD] | p[status::ST_CHECK_WORD + 1] << 8, 0x8001 + i);
        // A command on another comm address is not this unit's.
        c.m_nAddr ^= 3;
        EXPECT_EQ(c.Send(frame::CMD_STATUS, {}, 100), -1);
        // Its own record says where it is reached, and only it saw these frames.
        site.WithUnit(i, [&](CSimUnit& u) {
            EXPECT_EQ(u.Params().DottedAt(NetParams::OFS_IP), unit.m_strHost);
            EXPECT_EQ(u.Params().Port(), unit.m_nPort);
            EXPECT_EQ(u.Params()[NetParams::OFS_UNIT_COMM_ADDR], n % 5 == 0 ? 2 : 0);
            EXPECT_EQ(u.FrameCount(frame::CMD_STATUS), 1u);
            return 0;
        });
    }
}

TEST(SimSiteTest, LayoutStaysOnLoopback) {
    const struct {
        size_t nUnits;
        const char* pszFirst;
        uint32_t nStep;
    } bad[] = {{0, "127.1.0.1", 1}, {2, "127.255.255.255", 1}, {3, "127.255.0.0", 0x8000},
               {1, "10.0.0.1", 1},  {1, "127.1.0", 1},         {70000, "127.1.0.1", 1}};
    for (const auto& b : bad) {
        SSiteLayout layout;
        layout.m_nUnits = b.nUnits;
        layout.m_strFirstHost = b.pszFirst;
        layout.m_nStep = b.nStep;
        std::vector<SSiteUnit> units;
        std::string strError;
        EXPECT_FALSE(LayOutSite(layout, units, strError)) << b.pszFirst << " " << b.nUnits;
        EXPECT_FALSE(strError.empty());
    }
}

// --trace holds back every record and a write's new key; of bytes dropped on the line
// (here a write request cut short) it shows the count.
TEST(SimServerTest, TraceNeverShowsKeys) {
    SSimOptions opts = Options();
    opts.m_bTrace = true;
    CSimServer server;
    ASSERT_TRUE(server.Start(opts));
    NetParams rec = SSimOptions::DefaultParams();
    const uint8_t abKey[8] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, 0x18};
    std::memcpy(rec.Data() + NetParams::OFS_DES_KEY, abKey, sizeof abKey);
    uint8_t abPlain[PLAIN_WRITE_LEN];
    PackParamsEthernet(rec, abPlain);
    std::vector<uint8_t> abData(WRITE_DATA_LEN);
    BuildWriteData(abPlain, abKey, abData.data());

    testing::internal::CaptureStderr();
    CUdpLink udp(server.UdpPort());
    CConversation c{udp};
    c.Send(-1);
    ASSERT_EQ(c.Send(-1), frame::OK);
    ASSERT_EQ(c.Send(frame::CMD_WRITE_PARAMS, abData), frame::OK);
    ASSERT_EQ(c.Send(frame::CMD_READ_PARAMS), frame::OK);
    CPtyLink pty(server.PtyPath());
    std::vector<uint8_t> cut = Request(0, 0, frame::CMD_WRITE_PARAMS, abData);
    cut.resize(40);
    pty.Send(cut);
    CConversation p{pty};
    for (int i = 0; i < 20 && p.Send(-1, {}, 200) != frame::OK; ++i) {
    }
    const std::string strTrace = testing::internal::GetCapturedStderr();
    EXPECT_NE(strTrace.find("udp rx FE"), std::string::npos) << strTrace;
    EXPECT_NE(strTrace.find("serial drop 1 bytes"), std::string::npos) << strTrace;
    EXPECT_EQ(strTrace.find("A1 B2 C3 D4"), std::string::npos) << strTrace;
    size_t nMasked = 0;
    for (size_t i = strTrace.find("(record with keys"); i != std::string::npos;
         i = strTrace.find("(record with keys", i + 1))
        ++nMasked;
    EXPECT_GE(nMasked, 2u) << strTrace; // the write and the read reply
}
