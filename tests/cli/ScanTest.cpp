// velorctl scan: which addresses a UDP target names, the order a serial scan tries,
// and scans as a technician runs them against several simulated units on 127.0.0.x
// and one on a pseudo-terminal.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "VelorctlProcess.h"
#include "cli/Fleet.h"
#include "cli/Scan.h"
#include "discovery/UdpScanCore.h"
#include "platform/TimeConstants.h"
#include "serial/FrameCodec.h"
#include "serial/PtyPeer.h"
#include "sim/SimUnit.h"

namespace {

constexpr uint32_t IP(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return a << 24 | b << 16 | c << 8 | d;
}

bool Plan(const std::string& strText, SUdpScanPlan& plan, std::string& strError,
          bool bBroadcast = false, bool bYes = false) {
    SScanOptions opts;
    opts.m_bBroadcast = bBroadcast;
    opts.m_bYes = bYes;
    // One local network, 192.168.7.0/24.
    return PlanUdpScan(strText, opts, {IP(192, 168, 7, 0)}, {IP(192, 168, 7, 255)}, plan, strError);
}

} // namespace

TEST(ScanPlanTest, UdpTargetsNameHostsOnly) {
    SUdpScanPlan plan;
    std::string strError;
    ASSERT_TRUE(Plan("10.1.2.77/24", plan, strError)) << strError;
    EXPECT_EQ(plan.m_nFirst, IP(10, 1, 2, 0));
    EXPECT_EQ(plan.m_nPort, 3001);
    EXPECT_EQ(plan.Count(), 254u); // neither the network's address nor its broadcast
    EXPECT_TRUE(plan.m_broadcasts.empty());

    ASSERT_TRUE(Plan("10.1.2.0/24:4000", plan, strError, true));
    EXPECT_EQ(plan.m_nPort, 4000);
    EXPECT_EQ(plan.Count(), 255u);
    EXPECT_EQ(plan.m_broadcasts, std::vector<uint32_t>{IP(10, 1, 2, 255)});

    // A /31 and a /32 are hosts only.
    ASSERT_TRUE(Plan("10.1.2.4/31", plan, strError));
    EXPECT_EQ(plan.Count(), 2u);
    ASSERT_TRUE(Plan("10.1.2.4", plan, strError));
    EXPECT_EQ(plan.Count(), 1u);

    // A range across the local network leaves out its edges, unless asked to broadcast.
    ASSERT_TRUE(Plan("192.168.6.250-192.168.8.5", plan, strError));
    EXPECT_EQ(plan.Count(), 12u + 256u - 2u);
    ASSERT_TRUE(Plan("192.168.7.200-192.168.7.255", plan, strError, true));
    EXPECT_EQ(plan.m_broadcasts, std::vector<uint32_t>{IP(192, 168, 7, 255)});

    // Wider than a /16 only with --yes; never the reserved ranges; the forms.
    EXPECT_FALSE(Plan("10.0.0.0/15", plan, strError));
    EXPECT_NE(strError.find("--yes"), std::string::npos);
    EXPECT_TRUE(Plan("10.0.0.0/15", plan, strError, false, true));
    EXPECT_TRUE(Plan("10.0.0.0/16", plan, strError));
    for (const char* psz : {"0.0.0.0/0", "224.0.0.1", "10.0.0.9-10.0.0.1", "10.0.0.0/33",
                            "10.0.0/24", "10.0.0.0/24:0", "10.0.0.0/24:70000", "host/24"})
        EXPECT_FALSE(Plan(psz, plan, strError, false, true)) << psz;
}

TEST(ScanPlanTest, SerialOrderTriesTheLikelySettingsFirstAndEachOnce) {
    auto order = SerialScanOrder(0, 0);
    ASSERT_EQ(order.size(), 24u);
    EXPECT_EQ(order[0].m_nBaud, 115200);
    EXPECT_EQ(order[0].m_cParity, 'e');
    order = SerialScanOrder(1200, 'n');
    ASSERT_EQ(order.size(), 24u);
    EXPECT_EQ(order[1].m_nBaud, 1200);
    EXPECT_EQ(order[1].m_cParity, 'n');
    for (size_t i = 0; i < order.size(); ++i)
        for (size_t j = i + 1; j < order.size(); ++j)
            EXPECT_FALSE(order[i].m_nBaud == order[j].m_nBaud &&
                         order[i].m_cParity == order[j].m_cParity);
    const auto addrs = UnitAddrOrder(7);
    ASSERT_EQ(addrs.size(), 16u);
    EXPECT_EQ(addrs[0], 7);
    EXPECT_EQ(addrs[8], 8);
    // A silent probe at the slowest rate: the request and a reply header on the line.
    EXPECT_EQ(SerialProbeMs({1200, 'e'}), 120 + TimeConstants().m_nScanAnswerMs);
}

// The real waits: every probe here is answered, so they only absorb a busy machine.
TEST(ScanSerialTest, AUnitAnsweringEverywhereIsOneUnitAndAnOverlongAnswerNone) {
    SSimOptions o;
    o.m_bPty = true;
    CSimServer sim;
    ASSERT_TRUE(sim.Start(o));
    SSerialScanPlan plan;
    plan.m_strName = plan.m_strDevice = sim.PtyPath();
    plan.m_settings = {{115200, 'e'}, {9600, 'n'}};
    plan.m_addrs = UnitAddrOrder(-1);
    plan.m_bAll = true;
    SScanTally tally;
    std::string strError;
    auto hits = ScanSerial(plan, {}, tally, strError);
    ASSERT_TRUE(hits.has_value()) << strError;
    ASSERT_EQ(hits->size(), 1u);
    EXPECT_EQ((*hits)[0].m_nBaud, 115200);
    EXPECT_EQ((*hits)[0].m_nAddr, 0);
    EXPECT_EQ(tally.m_nProbes, 32u);

    // A header whose length byte announces 255 more bytes, and all of them.
    CPtyPeer peer;
    peer.Start([](const CPtyPeer::Bytes&, size_t) {
        CPtyPeer::Bytes ab = {frame::START, 0, 0xFF, frame::CTL_DATA_SUM, 0};
        ab[frame::OFS_HSUM] = frame::Sum8(ab.data(), 4);
        ab.resize(frame::HEADER_LEN + 0xFF, 0x55);
        return ab;
    });
    plan.m_strName = plan.m_strDevice = peer.SlavePath();
    plan.m_settings = {{115200, 'e'}};
    plan.m_addrs = {3};
    tally = {};
    hits = ScanSerial(plan, {}, tally, strError);
    ASSERT_TRUE(hits.has_value()) << strError;
    EXPECT_TRUE(hits->empty());
    ASSERT_EQ(tally.m_notes.size(), 1u);
    EXPECT_NE(tally.m_notes[0].find("unit address 3: answers that are not a valid status reply"),
              std::string::npos)
        << tally.m_notes[0];
}

namespace {

class ScanTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_strDir = ::testing::TempDir() + "velorctl-scan-" + std::to_string(::getpid()) + "-";
    }

    // Units on 127.0.0.2, .3, ... all on one port: fnSetUp shapes unit i.
    void StartUdpUnits(size_t n, const std::function<void(size_t, SSimOptions&)>& fnSetUp) {
        for (int nAttempt = 0; nAttempt < 5; ++nAttempt) {
            m_units.clear();
            bool bOk = true;
            for (size_t i = 0; i < n && bOk; ++i) {
                SSimOptions o;
                o.m_bUdp = true;
                o.m_strUdpHost = "127.0.0." + std::to_string(2 + i);
                o.m_nUdpPort = i == 0 ? 0 : m_nPort;
                o.m_nSerialNo = static_cast<uint16_t>(0x100 + i);
                fnSetUp(i, o);
                m_units.push_back(std::make_unique<CSimServer>());
                bOk = m_units.back()->Start(o);
                if (i == 0) m_nPort = m_units[0]->UdpPort();
            }
            if (bOk) return;
        }
        FAIL() << "no port free on every address";
    }

    // velorctl scan ARGS; with strInterruptAfter, Ctrl-C once stderr shows that text.
    SRun Scan(const std::vector<std::string>& args, int nDivisor,
              const std::string& strInterruptAfter = {}, std::vector<int> signals = {SIGINT}) {
        std::vector<std::string> argv = {"scan"};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunVelorctl(
            argv, m_strDir, nDivisor, "/dev/null", [&](pid_t pid, const std::string& strErr) {
                if (strInterruptAfter.empty()) return;
                const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(30);
                while (ReadAll(strErr).find(strInterruptAfter) == std::string::npos &&
                       std::chrono::steady_clock::now() < tEnd)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                for (int nSignal : signals) {
                    ::kill(pid, nSignal);
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            });
    }

    static nlohmann::json Json(const SRun& run) {
        auto j = nlohmann::json::parse(run.strOut, nullptr, false);
        EXPECT_TRUE(j.is_array()) << run.strOut << run.strErr;
        return j;
    }
    std::string Target(size_t i) const {
        return "udp:127.0.0." + std::to_string(2 + i) + ":" + std::to_string(m_nPort);
    }
    std::string Range(size_t nLast) const {
        return "udp:127.0.0.2-127.0.0." + std::to_string(nLast) + ":" + std::to_string(m_nPort);
    }

    std::vector<std::unique_ptr<CSimServer>> m_units;
    uint16_t m_nPort = 0;
    std::string m_strDir;
};

} // namespace

TEST_F(ScanTest, UdpFindsTheUnitsThatAnswerAndNothingElse) {
    // .2 just powered on (asks to resynchronise first), .3 silent, .4 on comm address
    // 5 only, .5 garbles every reply; .6 and .7 hold nothing.
    StartUdpUnits(4, [](size_t i, SSimOptions& o) {
        o.m_faults.m_bSilent = i == 1;
        o.m_nAddr = i == 2 ? 5 : -1;
        o.m_faults.m_nGarbleEvery = i == 3 ? 1 : 0;
        o.m_faults.m_bPropertiesMode = i == 0;
    });
    const std::string strCsv = m_strDir + "found.csv";
    SRun run = Scan({Range(7), "--json", "--fleet-csv", strCsv}, 10);
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    auto j = Json(run);
    ASSERT_EQ(j.size(), 1u) << run.strOut;
    EXPECT_EQ(j[0]["target"], Target(0));
    EXPECT_EQ(j[0]["addr"], 0);
    EXPECT_EQ(j[0]["serial_number"], 0x100);
    EXPECT_EQ(j[0]["keys_enabled"], true);
    EXPECT_EQ(j[0]["switch_on"], true);
    EXPECT_EQ(j[0]["properties_mode"], true);
    EXPECT_EQ(j[0]["check_word"], "FFFF");
    EXPECT_TRUE(j[0]["reply_ms"].is_number());
    EXPECT_NE(run.strErr.find(Target(3) + " comm address 0: answers that are not a valid status "
                                          "reply; not listed"),
              std::string::npos)
        << run.strErr;

    // Every comm address: the unit on 5 too, and the first one only once although it
    // answers all sixteen. The fleet file reads back as the units found.
    run = Scan({Range(7), "--comm-addr", "all", "--fleet-csv", strCsv}, 20);
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    EXPECT_NE(run.strOut.find(Target(0) + "  0 "), std::string::npos) << run.strOut;
    EXPECT_NE(run.strOut.find(Target(2) + "  5 "), std::string::npos) << run.strOut;
    EXPECT_EQ(std::count(run.strOut.begin(), run.strOut.end(), '\n'), 3) << run.strOut;
    std::vector<SFleetUnit> units;
    std::string strError;
    ASSERT_TRUE(ReadFleetFile(strCsv, units, strError)) << strError;
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[1].m_link.m_strHost, "127.0.0.4");
    EXPECT_EQ(units[1].m_link.m_nUdpPort, m_nPort);
    EXPECT_EQ(units[1].m_link.m_nCommAddr, 5u);

    // Nobody there; and the usage errors.
    run = Scan({"udp:127.0.0.8/30:" + std::to_string(m_nPort), "--json"}, 20);
    EXPECT_EQ(run.nExit, 3) << run.strErr;
    EXPECT_EQ(run.strOut, "[]\n");
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"udp:10.0.0.0/8"},
                                               {Range(7), "--all"},
                                               {"serial:COM1", "--comm-addr", "3"},
                                               {Range(7), "--comm-addr", "16"},
                                               {"tcp:127.0.0.1"}})
        EXPECT_EQ(Scan(args, 20).nExit, 2) << args[0];
}

TEST_F(ScanTest, SerialFindsTheLineSettingAndAddressAndPutsTheLineBack) {
    // A unit at 9600 odd, address 7, that hears nothing at any other line setting.
    SSimOptions o;
    o.m_bPty = true;
    o.m_nBaud = 9600;
    o.m_bParity = true;
    o.m_bOddParity = true;
    o.m_bStrictLine = true;
    o.m_nAddr = 7;
    o.m_nSerialNo = 0x0777;
    CSimServer sim;
    ASSERT_TRUE(sim.Start(o));
    // The port as another program left it: 2400 baud, canonical input.
    const int fd = ::open(sim.PtyPath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios before{};
    ::tcgetattr(fd, &before);
    ::cfsetispeed(&before, B2400);
    ::cfsetospeed(&before, B2400);
    before.c_lflag |= ICANON;
    ASSERT_EQ(::tcsetattr(fd, TCSANOW, &before), 0);
    ::tcgetattr(fd, &before);

    const std::string strCsv = m_strDir + "serial.csv";
    const std::string strTarget = "serial:" + sim.PtyPath();
    SRun run = Scan({strTarget, "--json", "--fleet-csv", strCsv}, 2);
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    auto j = Json(run);
    ASSERT_EQ(j.size(), 1u);
    EXPECT_EQ(j[0]["target"], strTarget);
    EXPECT_EQ(j[0]["baud"], 9600);
    EXPECT_EQ(j[0]["parity"], "odd");
    EXPECT_EQ(j[0]["addr"], 7);
    EXPECT_EQ(j[0]["serial_number"], 0x0777);
    EXPECT_NE(run.strErr.find("at most"), std::string::npos) << run.strErr;
    EXPECT_NE(run.strErr.find("9600 odd (5/24)"), std::string::npos) << run.strErr;
    EXPECT_EQ(ReadAll(strCsv), "target,addr,line-baud,line-parity\n" + strTarget + ",7,9600,odd\n");
    std::vector<SFleetUnit> units;
    std::string strError;
    ASSERT_TRUE(ReadFleetFile(strCsv, units, strError)) << strError;
    EXPECT_EQ(units[0].m_link.m_nBaud, 9600);
    EXPECT_EQ(units[0].m_link.m_strParity, "odd");
    EXPECT_EQ(units[0].m_link.m_nUnitAddr, 7u);

    termios after{};
    ::tcgetattr(fd, &after);
    EXPECT_EQ(::cfgetospeed(&after), B2400);
    EXPECT_EQ(after.c_lflag, before.c_lflag);

    // Ctrl-C (once or twice), SIGTERM or SIGHUP during a full probe: it ends with what
    // it has, the line as it was.
    for (const std::vector<int>& signals :
         std::vector<std::vector<int>>{{SIGINT}, {SIGINT, SIGINT}, {SIGTERM}, {SIGHUP}}) {
        run = Scan({strTarget, "--all", "--json"}, 2, "(2/24)", signals);
        EXPECT_EQ(run.nExit, 130) << run.strErr;
        EXPECT_EQ(run.strOut, "[]\n");
        EXPECT_NE(run.strErr.find("interrupted after"), std::string::npos) << run.strErr;
        ::tcgetattr(fd, &after);
        EXPECT_EQ(::cfgetospeed(&after), B2400) << signals.size() << " " << signals[0];
        EXPECT_EQ(after.c_cflag, before.c_cflag);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
    }
    ::close(fd);
}

// Each comm address from its own socket: an answer that comes after its wait is never
// credited to another comm address; an oversize answer gets its note.
TEST_F(ScanTest, LateAndOversizeAnswersAreNamedNotMiscredited) {
    StartUdpUnits(2, [](size_t i, SSimOptions& o) {
        o.m_nAddr = i == 0 ? 1 : -1;
        o.m_faults.m_nReplyDelayMs = i == 0 ? 400 : 0;
        o.m_faults.m_nOversizeReply = i == 1 ? 600 : 0;
    });
    SRun run = Scan({Range(3), "--comm-addr", "all", "--wait", "250", "--json"}, 1);
    EXPECT_EQ(run.nExit, 3) << run.strErr;
    EXPECT_EQ(run.strOut, "[]\n");
    EXPECT_NE(run.strErr.find(Target(1) + " comm addresses 0..15: answers with a datagram longer "
                                          "than a unit sends; not listed"),
              std::string::npos)
        << run.strErr;
    // Waited for long enough, it is found where it is.
    run = Scan({Target(0), "--wait", "1500", "--json"}, 1);
    EXPECT_EQ(run.nExit, 3) << run.strErr; // comm address 0: it does not answer
    run = Scan({Target(0), "--comm-addr", "1", "--wait", "1500", "--json"}, 1);
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    auto j = Json(run);
    ASSERT_EQ(j.size(), 1u);
    EXPECT_EQ(j[0]["addr"], 1);
    EXPECT_GE(j[0]["reply_ms"].get<double>(), 400);
}

TEST_F(ScanTest, ProgressLinesAndAFleetFileWrittenThroughNoPlantedLink) {
    StartUdpUnits(1, [](size_t, SSimOptions&) {});
    const std::string strCsv = m_strDir + "planted.csv";
    const std::string strVictim = m_strDir + "victim";
    { std::ofstream(strVictim) << "keep me\n"; }
    ::unlink((strCsv + ".tmp").c_str());
    ASSERT_EQ(::symlink(strVictim.c_str(), (strCsv + ".tmp").c_str()), 0);
    // A wait longer than 2 s: one progress line, unless --quiet; the same JSON.
    SRun run = Scan({Range(9), "--wait", "2600", "--json", "--fleet-csv", strCsv}, 1);
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    EXPECT_NE(run.strErr.find("probes, 1 unit found, at most"), std::string::npos) << run.strErr;
    EXPECT_EQ(ReadAll(strVictim), "keep me\n");
    char szLink[512] = {};
    EXPECT_GT(::readlink((strCsv + ".tmp").c_str(), szLink, sizeof szLink - 1), 0);
    EXPECT_EQ(ReadAll(strCsv), "target,addr,line-baud,line-parity\n" + Target(0) + ",0,,\n");
    SRun quiet = Scan({Range(9), "--wait", "2600", "--json", "--quiet"}, 1);
    EXPECT_EQ(quiet.strErr.find("probes,"), std::string::npos) << quiet.strErr;
    auto jQuiet = Json(quiet), jRun = Json(run);
    ASSERT_EQ(jQuiet.size(), 1u);
    ASSERT_EQ(jRun.size(), 1u);
    jQuiet[0].erase("reply_ms");
    jRun[0].erase("reply_ms");
    EXPECT_EQ(jQuiet, jRun);
    ::unlink((strCsv + ".tmp").c_str());
}

// A line full of noise (a modem, a GPS on the wrong port) answers every probe: the
// scan moves on and keeps within the bound it announces for such a line.
TEST(ScanSerialTest, ANoisyLineKeepsWithinItsBound) {
    CPtyPeer peer;
    peer.Start([](const CPtyPeer::Bytes&, size_t) { return CPtyPeer::Bytes(40, 0xA5); });
    SSerialScanPlan plan;
    plan.m_strName = plan.m_strDevice = peer.SlavePath();
    plan.m_settings = {{115200, 'e'}, {9600, 'n'}};
    plan.m_addrs = UnitAddrOrder(-1);
    plan.m_bAll = true;
    double dBound = 0;
    for (const auto& line : plan.m_settings)
        dBound += 16.0 * SerialProbeBoundMs(line) / 1000;
    SScanTally tally;
    std::string strError;
    const auto t0 = std::chrono::steady_clock::now();
    const auto hits = ScanSerial(plan, {}, tally, strError);
    const double d = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_TRUE(hits.has_value()) << strError;
    EXPECT_TRUE(hits->empty());
    EXPECT_EQ(tally.m_nProbes, 32u);
    EXPECT_LE(d, dBound);
}

// Forged answers cannot grow the list without bound: one unit per address and serial
// number, at most MAX_UNITS, and a note for the rest.
TEST(ScanUdpTest, AnswersAreOnePerAddressAndSerialAndCapped) {
    SUdpScanPlan plan;
    plan.m_nFirst = 0x0A000000;
    plan.m_nLast = plan.m_nFirst + CUdpScanCore::MAX_UNITS + 9;
    SScanHooks hooks;
    size_t nReported = 0;
    hooks.m_fnHit = [&](const SScanHit&) { ++nReported; };
    SScanTally tally;
    CUdpScanCore core(plan, hooks, tally);
    uint32_t nIp = 0;
    bool bBroadcast = false;
    uint8_t abData[status::STATUS_COUNT] = {};
    uint8_t abFrame[128];
    while (core.NextAddress(nIp, bBroadcast)) {
        core.OnSent(0, nIp, false, 0);
        // Twice from the same unit, the second a repeat.
        const size_t nLen = frame::Build(abFrame, sizeof abFrame, 0, 0, frame::CMD_STATUS,
                                         status::STATUS_COUNT + 2, abData);
        core.OnAnswer(0, nIp, plan.m_nPort, abFrame, nLen, 1000);
        core.OnAnswer(0, nIp, plan.m_nPort, abFrame, nLen, 1000);
    }
    const auto hits = core.Finish();
    EXPECT_EQ(hits.size(), CUdpScanCore::MAX_UNITS);
    EXPECT_EQ(nReported, CUdpScanCore::MAX_UNITS);
    ASSERT_FALSE(tally.m_notes.empty());
    EXPECT_NE(tally.m_notes.back().find("10 more not listed"), std::string::npos)
        << tally.m_notes.back();
}
