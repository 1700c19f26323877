// velorctl for a whole site, as a separate process against several simulated units
// on UDP 127.0.0.1: --fleet, write --from and flash --dry-run. Time-outs divided by 20.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "SimServerUtil.h"
#include "VelorctlProcess.h"
#include "firmware/SampleImage.h"
#include "sim/SimUnit.h"

namespace {

class VelorctlSiteTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_strDir = ::testing::TempDir() + "velorctl-site-" + std::to_string(::getpid()) + "-";
    }

    // Serves n units on UDP ports of their own; each unit's record names its address.
    void StartUnits(size_t n, const std::function<void(size_t, SSimOptions&)>& fnSetUp = {}) {
        for (size_t i = 0; i < n; ++i) {
            SSimOptions options;
            options.m_bUdp = true;
            options.m_nUdpPort = 0;
            options.m_bResyncAtStart = false;
            // Keys with no 0 digit: a saved file of them can be written back.
            for (size_t k = 16; k < 24; ++k)
                options.m_params[k] = 0x11;
            for (size_t k = 29; k < 53; ++k)
                options.m_params[k] = 0x22;
            if (fnSetUp) fnSetUp(i, options);
            m_units.push_back(std::make_unique<CSimServer>());
            ASSERT_TRUE(m_units.back()->Start(options));
            PointRecordAtServer(*m_units.back());
        }
    }
    uint16_t CheckWordOf(size_t i) {
        return m_units[i]->WithUnit([](CSimUnit& u) { return u.CheckWord(); });
    }
    std::string Target(size_t i) const {
        return "udp:127.0.0.1:" + std::to_string(m_units[i]->UdpPort());
    }
    NetParams Params(size_t i) {
        return m_units[i]->WithUnit([](CSimUnit& u) { return u.Params(); });
    }

    // velorctl with its arguments; stdin from strStdin when given. nInterruptMs >= 0
    // sends Ctrl-C (SIGINT) that long after the start; fnWhile runs while it runs.
    SRun Run(const std::vector<std::string>& args, const std::string& strStdin = "/dev/null",
             int nInterruptMs = -1, const std::function<void(pid_t)>& fnWhile = {}) {
        return RunVelorctl(args, m_strDir, 20, strStdin, [&](pid_t pid, const std::string&) {
            if (nInterruptMs >= 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(nInterruptMs));
                ::kill(pid, SIGINT);
            }
            if (fnWhile) fnWhile(pid);
        });
    }

    std::string WriteFile(const std::string& strName, const std::string& strText) {
        const std::string strPath = m_strDir + strName;
        std::ofstream(strPath) << strText;
        return strPath;
    }

    std::vector<std::unique_ptr<CSimServer>> m_units;
    std::string m_strDir;
};

nlohmann::json Json(const SRun& run) {
    auto j = nlohmann::json::parse(run.strOut, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << run.strOut << run.strErr;
    return j;
}

} // namespace

TEST_F(VelorctlSiteTest, CommissioningFileSetsEachUnitAndReportsTheWorst) {
    StartUnits(5, [](size_t i, SSimOptions& o) {
        o.m_faults.m_bSilent = i == 3;
        o.m_faults.m_bStoreMismatch = i == 4;
    });
    std::string strCsv = "# site plan\ntarget, addr, ip, gateway\n";
    for (size_t i = 0; i < 5; ++i)
        strCsv += Target(i) + "," + (i == 1 ? "2" : "") + ",10.1.0." + std::to_string(11 + i) +
                  ",10.1.0.1\n";
    const SRun run =
        Run({"--fleet", WriteFile("site.csv", strCsv), "--yes", "--json", "write", "timeout=50"});
    EXPECT_EQ(run.nExit, 3) << run.strErr; // the silent unit's class is the worst
    const auto j = Json(run);
    ASSERT_EQ(j.size(), 5u) << run.strOut;
    const char* apszResults[] = {"success", "success", "success", "no-answer", "verify-failed"};
    const int anExits[] = {0, 0, 0, 3, 1};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(j[i]["unit"], Target(i) + (i == 1 ? "@2" : ""));
        EXPECT_EQ(j[i]["result"], apszResults[i]);
        EXPECT_EQ(j[i]["exit"], anExits[i]);
    }
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(Params(i).DottedAt(NetParams::OFS_IP), "10.1.0." + std::to_string(11 + i));
        EXPECT_EQ(Params(i).DottedAt(NetParams::OFS_GATEWAY), "10.1.0.1");
        EXPECT_EQ(Params(i).Timeout(), 50);
    }
    // Every line on stderr belongs to one unit, or is the fleet's own; none mixed.
    std::istringstream err(run.strErr);
    size_t nSilentLines = 0;
    for (std::string strLine; std::getline(err, strLine);) {
        EXPECT_TRUE(strLine.rfind("udp:127.0.0.1:", 0) == 0 || strLine.rfind("fleet: ", 0) == 0)
            << strLine;
        nSilentLines += strLine.rfind(Target(3) + ": Unable to connect to Velor", 0) == 0;
    }
    EXPECT_GE(nSilentLines, 1u) << run.strErr;
    EXPECT_NE(run.strErr.find("fleet: 5/5 units done, 2 failed"), std::string::npos);
}

TEST_F(VelorctlSiteTest, BadFleetFilesAreRefusedBeforeAnythingIsSent) {
    StartUnits(1);
    const std::string strGood = Target(0) + ",10.1.0.9\n";
    const std::pair<std::string, std::string> aCases[] = {
        {"target,colour\n" + Target(0) + ",red\n", ":1: unknown column 'colour'"},
        {"target,ip\n" + strGood + "udp:127.0.0.1:9,10.1.0.256\n", ":3: bad value '10.1.0.256'"},
        {"target,ip\n" + strGood + strGood, ":3: " + Target(0) + " is already on line 2"},
        {"target,ip\nudp:127.0.0.1:70000,10.1.0.9\n", ":2: udp: wants"},
        {"target,ip\nserial:COM12,10.1.0.9\n", ":2: Unable to open port"},
        {"ip\n10.1.0.9\n", "no 'target' column"},
        {"target,ip\n", "no units"},
    };
    for (const auto& [strCsv, strWhy] : aCases) {
        const SRun run = Run({"--fleet", WriteFile("bad.csv", strCsv), "--yes", "write"});
        EXPECT_EQ(run.nExit, 2) << strCsv;
        EXPECT_NE(run.strErr.find(strWhy), std::string::npos) << run.strErr;
    }
    EXPECT_EQ(FramesReceived(*m_units[0], -1), 0u);
}

TEST_F(VelorctlSiteTest, CtrlCLetsTheRunningUnitFinishAndStartsNoOther) {
    StartUnits(3, [](size_t i, SSimOptions& o) { o.m_faults.m_nReplyDelayMs = i == 0 ? 150 : 0; });
    const std::string strCsv = "target\n" + Target(0) + "\n" + Target(1) + "\n" + Target(2) + "\n";
    const SRun run =
        Run({"--fleet", WriteFile("site.csv", strCsv), "-j", "1", "--yes", "--json", "status"},
            "/dev/null", 300);
    EXPECT_EQ(run.nExit, 130) << run.strErr;
    const auto j = Json(run);
    ASSERT_EQ(j.size(), 3u);
    EXPECT_EQ(j[0]["result"], "success"); // its exchange of 4 delayed replies ran to its end
    EXPECT_EQ(j[1]["result"], "not-started");
    EXPECT_EQ(j[2]["result"], "not-started");
    EXPECT_NE(run.strErr.find("not touched: " + Target(1) + ", " + Target(2)), std::string::npos)
        << run.strErr;
    EXPECT_EQ(FramesReceived(*m_units[1], -1) + FramesReceived(*m_units[2], -1), 0u);
}

TEST_F(VelorctlSiteTest, RestoreFromASavedFile) {
    // The replacement has its keys locked: keys equal to the saved ones are no change.
    StartUnits(2, [](size_t i, SSimOptions& o) {
        o.m_bKeysEnabled = i == 0;
        o.m_params.SetTimeout(i == 0 ? 77 : 5);
        o.m_params.SetDottedAt(NetParams::OFS_MASK, i == 0 ? "255.255.0.0" : "255.255.255.0");
    });
    SRun run = Run({"--udp", Target(0).substr(4), "--yes", "--json", "read"});
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    const std::string strSaved = WriteFile("saved.json", run.strOut);

    run = Run({"--udp", Target(1).substr(4), "--yes", "write", "--from", "-", "ip=10.1.0.5"},
              strSaved);
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    EXPECT_NE(run.strErr.find("stdin: serial-number, keys-enabled, properties-mode describe the "
                              "unit and are not written"),
              std::string::npos)
        << run.strErr;
    NetParams expected = Params(0);
    expected.SetDottedAt(NetParams::OFS_IP, "10.1.0.5");
    EXPECT_EQ(Params(1), expected);

    // A key that differs is refused on that unit, not silently dropped.
    auto j = nlohmann::json::parse(ReadAll(strSaved));
    j["des-key"] = "1234123412341234";
    run = Run({"--udp", Target(1).substr(4), "--yes", "write", "--from",
               WriteFile("other.json", j.dump())});
    EXPECT_EQ(run.nExit, 1) << run.strErr;
    EXPECT_NE(run.strErr.find("does not allow its keys to be changed"), std::string::npos);

    // Files that must not reach a unit at all.
    const uint32_t nFrames = FramesReceived(*m_units[1], -1);
    const std::pair<std::string, const char*> aCases[] = {
        {R"({"ip":"10.1.0.5","colour":1,"size":2})", "unknown fields 'colour', 'size'"},
        {R"({"des-key":"1234567890ABCDE"})", "for des-key: a key is exactly 16 hex digits"},
        {R"({"gateway":"10.1.0.300"})", "for gateway"},
        {R"({"port":65536})", "for port"},
        {R"(["ip"])", "not a JSON object"},
    };
    for (const auto& [strJson, pszWhy] : aCases) {
        run = Run({"--udp", Target(1).substr(4), "--yes", "write", "--from",
                   WriteFile("bad.json", strJson)});
        EXPECT_EQ(run.nExit, 2) << strJson;
        EXPECT_NE(run.strErr.find(pszWhy), std::string::npos) << run.strErr;
    }
    EXPECT_EQ(FramesReceived(*m_units[1], -1), nFrames);
}

TEST_F(VelorctlSiteTest, DryRunOfAGoodAndABadImage) {
    const std::string strImage = m_strDir + "dry.s37";
    ASSERT_TRUE(WriteSampleImage(strImage, SSampleImage{0x20000, 0x1000, 32, 5}));
    SRun run = Run({"--serial", "COM1", "--baud", "9600", "--parity", "none", "--json", "flash",
                    "--dry-run", strImage});
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    auto j = Json(run);
    EXPECT_EQ(j["bytes"], 0x1000);
    EXPECT_EQ(j["ranges"], nlohmann::json::array({"020000-020FFF"}));
    const size_t nBlocks = j["blocks"];
    EXPECT_GE(nBlocks, (0x1000 + 233) / 234u);
    // Each block framed (8 bytes) with its 4 header bytes, a 5-byte reply each, and the
    // 12-byte end of load; 10 bits a character without parity.
    const size_t nLineBytes = 0x1000 + nBlocks * (4 + 8 + 5) + 12;
    EXPECT_EQ(j["line-bytes"], nLineBytes);
    EXPECT_NEAR(j["seconds"].get<double>(), static_cast<double>(nLineBytes) * 10 / 9600, 0.002);

    run = Run({"--udp", "127.0.0.1", "flash", "--dry-run", strImage});
    EXPECT_EQ(run.nExit, 0);
    EXPECT_NE(run.strOut.find("bounded by the unit"), std::string::npos) << run.strOut;

    const std::string strBad = WriteFile("bad.s19", "S3060000000001F8\nnot a record\n");
    run = Run({"flash", "--dry-run", strBad});
    EXPECT_EQ(run.nExit, 4);
    EXPECT_NE(run.strErr.find("image file error at line 2"), std::string::npos) << run.strErr;
    EXPECT_EQ(Run({"flash", "--dry-run", m_strDir + "none.s19"}).nExit, 4);
    // A device or a FIFO is no image: refused before it is read, never waited on.
    const std::string strFifo = m_strDir + "fifo.s19";
    std::remove(strFifo.c_str());
    ASSERT_EQ(::mkfifo(strFifo.c_str(), 0600), 0);
    for (const std::string& strPath : {std::string("/dev/zero"), strFifo}) {
        run = Run({"flash", "--dry-run", strPath});
        EXPECT_EQ(run.nExit, 4);
        EXPECT_NE(run.strErr.find("not a regular file"), std::string::npos) << run.strErr;
    }
}

namespace {

// The report's result lines; with bSteps also the "started" and "loaded" lines.
std::vector<nlohmann::json> ReportLines(const std::string& strPath, bool bSteps = false) {
    std::vector<nlohmann::json> lines;
    std::ifstream in(strPath);
    for (std::string strLine; std::getline(in, strLine);) {
        auto j = nlohmann::json::parse(strLine, nullptr, false);
        if (bSteps || !j.is_object() || (j["result"] != "started" && j["result"] != "loaded"))
            lines.push_back(j);
    }
    return lines;
}

// Lines [nFirst, end) by their target: units that run at once end in any order.
std::map<std::string, nlohmann::json> ByTarget(const std::vector<nlohmann::json>& lines,
                                               size_t nFirst) {
    std::map<std::string, nlohmann::json> by;
    for (size_t i = nFirst; i < lines.size(); ++i)
        by[lines[i]["target"]] = lines[i];
    return by;
}

std::string Hex4(unsigned n) {
    char sz[8];
    std::snprintf(sz, sizeof sz, "%04X", n);
    return sz;
}

} // namespace

TEST_F(VelorctlSiteTest, CampaignTwiceFlashesNothingTheSecondTime) {
    // The last unit checks nothing (check word 0): it is flashed every time.
    StartUnits(4, [](size_t i, SSimOptions& o) { o.m_faults.m_bCheckWordZero = i == 3; });
    const std::string strImage = m_strDir + "site.s19";
    ASSERT_TRUE(WriteSampleImage(strImage, SSampleImage{0xF000, 0x2000, 32, 7})); // check word
    std::string strCsv = "target\n";
    for (size_t i = 0; i < 4; ++i)
        strCsv += Target(i) + "\n";
    const std::string strCsvPath = WriteFile("site.csv", strCsv);
    const std::string strReport = m_strDir + "campaign.jsonl";
    std::remove(strReport.c_str());
    const std::vector<std::string> args = {"--fleet", strCsvPath, "--yes",       "--report",
                                           strReport, "flash",    "--if-needed", strImage};
    SRun run = Run(args);
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    EXPECT_NE(run.strOut.find("4 updated, 0 current, 0 failed"), std::string::npos) << run.strOut;
    uint32_t anLoads[4];
    for (size_t i = 0; i < 4; ++i)
        anLoads[i] = FramesReceived(*m_units[i], 0x8E);
    const std::string strWord =
        Hex4(m_units[0]->WithUnit([](CSimUnit& u) { return u.CheckWord(); }));

    const auto start = std::chrono::steady_clock::now();
    run = Run(args);
    const double dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    EXPECT_NE(run.strOut.find("1 updated, 3 current, 0 failed"), std::string::npos) << run.strOut;
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(FramesReceived(*m_units[i], 0x8E), anLoads[i]) << i;
    EXPECT_GT(FramesReceived(*m_units[3], 0x8E), anLoads[3]);
    RecordProperty("second_run_seconds", std::to_string(dSeconds));

    const auto lines = ReportLines(strReport);
    ASSERT_EQ(lines.size(), 8u);
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(lines[i]["command"], "flash");
        EXPECT_EQ(lines[i]["image"]["check-word"], strWord);
        EXPECT_EQ(lines[i]["image"]["file"], strImage.substr(strImage.rfind('/') + 1));
    }
    auto second = ByTarget(lines, 4);
    EXPECT_EQ(second[Target(0)]["result"], "current");
    EXPECT_EQ(second[Target(0)]["check-word-before"], strWord);
    EXPECT_EQ(second[Target(3)]["result"], "unverified");
    EXPECT_EQ(second[Target(3)]["check-word-before"], "0000");
}

TEST_F(VelorctlSiteTest, KilledCampaignResumesWithTheRest) {
    // The third unit is slow, so that the kill finds it in the middle of its image.
    StartUnits(4, [](size_t i, SSimOptions& o) { o.m_faults.m_nReplyDelayMs = i == 2 ? 40 : 0; });
    const std::string strImage = m_strDir + "resume.s19";
    ASSERT_TRUE(WriteSampleImage(strImage, SSampleImage{0xF000, 0x2000, 32, 9}));
    std::string strCsv = "target\n";
    for (size_t i = 0; i < 4; ++i)
        strCsv += Target(i) + "\n";
    const std::string strCsvPath = WriteFile("site.csv", strCsv);
    const std::string strReport = m_strDir + "resume.jsonl";
    std::remove(strReport.c_str());
    SRun run =
        Run({"--fleet", strCsvPath, "--yes", "-j", "1", "--report", strReport, "flash", strImage},
            "/dev/null", -1, [&](pid_t pid) {
                // Killed past the image's check word, before the end of the image.
                for (int i = 0; i < 2000 && (ReportLines(strReport).size() < 2 ||
                                             CheckWordOf(2) != CheckWordOf(0));
                     ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                ::kill(pid, SIGKILL);
            });
    EXPECT_EQ(run.nExit, -1); // killed
    auto lines = ReportLines(strReport);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["target"], Target(0));
    EXPECT_EQ(lines[1]["target"], Target(1));
    uint32_t anLoads[4];
    for (size_t i = 0; i < 4; ++i)
        anLoads[i] = FramesReceived(*m_units[i], 0x8E);
    EXPECT_GT(anLoads[2], 0u);
    EXPECT_EQ(anLoads[3], 0u);

    // Another image or another command is not this campaign: nothing is sent.
    const std::string strOther = m_strDir + "other.s19";
    ASSERT_TRUE(WriteSampleImage(strOther, SSampleImage{0xF000, 0x2000, 32, 10}));
    run = Run({"--fleet", strCsvPath, "--yes", "--resume", strReport, "flash", strOther});
    EXPECT_EQ(run.nExit, 2);
    EXPECT_NE(run.strErr.find("resume.s19 (check word "), std::string::npos) << run.strErr;
    EXPECT_NE(run.strErr.find(", this run flashes " + strOther.substr(strOther.rfind('/') + 1)),
              std::string::npos);
    run = Run({"--fleet", strCsvPath, "--yes", "--resume", strReport, "status"});
    EXPECT_NE(run.strErr.find("the report is of flash, this run is status"), std::string::npos)
        << run.strErr;
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(FramesReceived(*m_units[i], 0x8E), anLoads[i]);

    // The unit cut off mid-load was started and never loaded: with --if-needed too it
    // is loaded in full, whatever check word it reports now.
    EXPECT_EQ(ReportLines(strReport, true).back()["result"], "started");
    EXPECT_EQ(ReportLines(strReport, true).back()["target"], Target(2));
    EXPECT_EQ(CheckWordOf(2), CheckWordOf(0)); // as though it were loaded
    run = Run({"--fleet", strCsvPath, "--yes", "--resume", strReport, "--report", strReport,
               "flash", "--if-needed", strImage});
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    EXPECT_NE(run.strOut.find("2 updated, 0 current, 0 failed, 2 skipped"), std::string::npos)
        << run.strOut;
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(FramesReceived(*m_units[i], 0x8E) > anLoads[i], i >= 2) << i;
    EXPECT_EQ(FramesReceived(*m_units[2], 0x8E) - anLoads[2], anLoads[1]); // one whole load
    lines = ReportLines(strReport);
    ASSERT_EQ(lines.size(), 4u);
    auto resumed = ByTarget(lines, 2);
    EXPECT_EQ(resumed[Target(2)]["result"], "success");
    EXPECT_EQ(resumed[Target(3)]["result"], "success");

    // A unit whose end-of-load block went out gets the check alone, and a report torn
    // at its end resumes as often as asked.
    std::string strText = ReadAll(strReport);
    const std::string strSuccess = "\"result\":\"success\"";
    const size_t nAt = strText.find(strSuccess);
    ASSERT_NE(nAt, std::string::npos);
    const std::string strTarget = nlohmann::json::parse(
        strText.substr(0, strText.find('\n', nAt)).substr(strText.rfind('\n', nAt) + 1))["target"];
    strText.replace(nAt, strSuccess.size(), "\"result\":\"loaded\"");
    const std::string strCopy = WriteFile("loaded.jsonl", strText + "{\"time\":\"20");
    const size_t nUnit = strTarget == Target(0)   ? 0
                         : strTarget == Target(1) ? 1
                         : strTarget == Target(2) ? 2
                                                  : 3;
    for (int nRun = 0; nRun < 2; ++nRun) {
        const uint32_t nBefore = FramesReceived(*m_units[nUnit], 0x8E);
        run = Run({"--fleet", strCsvPath, "--yes", "--resume", strCopy, "--report", strCopy,
                   "flash", strImage});
        ASSERT_EQ(run.nExit, 0) << run.strErr;
        EXPECT_NE(run.strErr.find("cut short"), std::string::npos) << run.strErr;
        EXPECT_EQ(FramesReceived(*m_units[nUnit], 0x8E), nBefore);
        EXPECT_NE(run.strOut.find(nRun == 0 ? "0 updated, 1 current, 0 failed, 3 skipped"
                                            : "0 updated, 0 current, 0 failed, 4 skipped"),
                  std::string::npos)
            << run.strOut;
        std::ofstream(strCopy, std::ios::app) << "{\"ti";
    }
}

TEST_F(VelorctlSiteTest, WriteOfWhatTheUnitHoldsIsUnchanged) {
    // The first unit holds every value asked, its keys locked; the second does not.
    StartUnits(2, [](size_t i, SSimOptions& o) {
        o.m_bKeysEnabled = i == 1;
        o.m_params.SetTimeout(i == 0 ? 30 : 5);
    });
    const std::string strCsv = "target\n" + Target(0) + "\n" + Target(1) + "\n";
    const std::string strReport = m_strDir + "write.jsonl";
    std::remove(strReport.c_str());
    const SRun run = Run({"--fleet", WriteFile("site.csv", strCsv), "--yes", "--report", strReport,
                          "write", "timeout=30", "des-key=1111111111111111", "--reset"});
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    EXPECT_NE(run.strOut.find("1 written, 1 unchanged, 0 failed"), std::string::npos) << run.strOut;
    EXPECT_EQ(FramesReceived(*m_units[0], 0x92), 0u);
    EXPECT_EQ(FramesReceived(*m_units[0], 0x8F), 0u); // not reset either
    EXPECT_EQ(Params(1).Timeout(), 30);
    EXPECT_EQ(FramesReceived(*m_units[1], 0x8F), 1u);
    const std::string strText = ReadAll(strReport);
    EXPECT_EQ(strText.find("1111111111111111"), std::string::npos) << strText;
    auto lines = ByTarget(ReportLines(strReport), 0);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[Target(0)]["fields"]["timeout"], "30");
    EXPECT_EQ(lines[Target(0)]["fields"]["des-key"].get<std::string>().rfind("sha256:", 0), 0u);
    EXPECT_EQ(lines[Target(0)]["result"], "unchanged");
    EXPECT_EQ(lines[Target(1)]["result"], "success");
}

// -j is a limit: four units whose every reply takes 100 ms, two at a time, take at
// least two units' whole exchanges end to end.
TEST_F(VelorctlSiteTest, NoMoreUnitsAtOnceThanAsked) {
    StartUnits(4, [](size_t, SSimOptions& o) { o.m_faults.m_nReplyDelayMs = 100; });
    std::string strCsv = "target\n";
    for (size_t i = 0; i < 4; ++i)
        strCsv += Target(i) + "\n";
    const auto t0 = std::chrono::steady_clock::now();
    const SRun run =
        Run({"--fleet", WriteFile("limit.csv", strCsv), "-j", "2", "--yes", "--json", "status"});
    const auto elapsed = std::chrono::steady_clock::now() - t0;
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    const auto j = Json(run);
    ASSERT_EQ(j.size(), 4u);
    for (const auto& unit : j)
        EXPECT_EQ(unit["result"], "success") << unit;
    // A status job is 4 exchanges: two polls, the command's poll and the command.
    for (size_t i = 0; i < 4; ++i) {
        ASSERT_GE(FramesReceived(*m_units[i], -1), 3u);
        ASSERT_GE(FramesReceived(*m_units[i], 0x70), 1u);
    }
    EXPECT_GE(elapsed, std::chrono::milliseconds(2 * 4 * 100));
}
