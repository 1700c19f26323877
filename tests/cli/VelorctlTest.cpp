// velorctl as a technician runs it: a separate process against the simulated unit
// over UDP on 127.0.0.1 and over a pseudo-terminal. Time-outs are divided by 20.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "SimServerUtil.h"
#include "firmware/SampleImage.h"
#include "sim/SimUnit.h"
#include "velor/Version.h"

namespace {

struct SRun {
    int nExit = -1;
    std::string strOut;
    std::string strErr;
};

class VelorctlTest : public ::testing::Test {
protected:
    void SetUp() override {
        SSimOptions options;
        options.m_bUdp = true;
        options.m_nUdpPort = 0;
        options.m_bPty = true;
        options.m_bResyncAtStart = false;
        options.m_bSerialKeepsScp = true;
        ASSERT_TRUE(m_sim.Start(options));
        PointRecordAtServer(m_sim);
        m_strUdp = "--udp 127.0.0.1:" + std::to_string(m_sim.UdpPort());
        m_strSerial = "--serial " + m_sim.PtyPath();
        // ctest runs tests as parallel processes: keep the files of each apart.
        m_strDir = ::testing::TempDir() + "velorctl-" + std::to_string(::getpid()) + "-";
    }
    void TearDown() override { m_sim.Stop(); }

    SRun Run(const std::string& strArgs, const std::string& strEnv = "") {
        const std::string strErrFile = m_strDir + "velorctl.err";
        const std::string strCmd = strEnv + " VELOR_TIME_DIVISOR=20 " + VELOR_BIN_DIR +
                                   "/cli/velorctl " + strArgs + " 2>" + strErrFile + " </dev/null";
        SRun run;
        FILE* pPipe = ::popen(strCmd.c_str(), "r");
        if (!pPipe) return run;
        char ab[4096];
        size_t n;
        while ((n = std::fread(ab, 1, sizeof ab, pPipe)) > 0)
            run.strOut.append(ab, n);
        const int nStatus = ::pclose(pPipe);
        run.nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
        std::ifstream err(strErrFile);
        std::stringstream ss;
        ss << err.rdbuf();
        run.strErr = ss.str();
        return run;
    }

    nlohmann::json Json(const SRun& run) {
        auto j = nlohmann::json::parse(run.strOut, nullptr, false);
        EXPECT_FALSE(j.is_discarded()) << run.strOut << run.strErr;
        return j;
    }

    void SetFaults(const std::function<void(SSimFaults&)>& fn) { ChangeFaults(m_sim, fn); }

    CSimServer m_sim;
    std::string m_strUdp, m_strSerial, m_strDir;
};

} // namespace

TEST_F(VelorctlTest, StatusAndReadOverBothLinks) {
    for (const std::string& strLink : {m_strUdp, m_strSerial}) {
        SRun run = Run(strLink + " --yes --json status");
        ASSERT_EQ(run.nExit, 0) << run.strErr;
        auto j = Json(run);
        EXPECT_EQ(j["serial-number"], 0x1234);
        EXPECT_EQ(j["keys-enabled"], true);
        EXPECT_EQ(j["configuration-switch"], true);
        EXPECT_EQ(j["properties-mode"], false);
        EXPECT_EQ(j["check-word"], "FFFF");

        run = Run(strLink + " --yes --json read");
        ASSERT_EQ(run.nExit, 0) << run.strErr;
        j = Json(run);
        EXPECT_EQ(j["ip"], "127.0.0.1");
        EXPECT_EQ(j["mask"], "255.255.255.0");
        EXPECT_EQ(j["port"], m_sim.UdpPort());
        EXPECT_EQ(j["des-key"], "0123456789ABCDEF");
        EXPECT_TRUE(run.strErr.empty()) << run.strErr;
    }
    // Without --json: aligned lines.
    const SRun run = Run(m_strUdp + " --yes status");
    EXPECT_NE(run.strOut.find("serial-number         4660\n"), std::string::npos) << run.strOut;
}

TEST_F(VelorctlTest, WriteChangesOnlyTheNamedFieldsAndVerifies) {
    const NetParams before = m_sim.WithUnit([](CSimUnit& u) { return u.Params(); });
    SRun run = Run(m_strUdp + " --yes --json write timeout=45 tdes-key2=1111111111111111");
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    auto j = Json(run);
    EXPECT_EQ(j["verified"], true);
    EXPECT_EQ(j["reset"], false);
    EXPECT_EQ(run.strErr, " The Velor updated successfully\n");
    const NetParams after = m_sim.WithUnit([](CSimUnit& u) { return u.Params(); });
    EXPECT_EQ(after.Timeout(), 45);
    for (size_t i = 0; i < 53; ++i) {
        if (i == 14 || i == 15 || (i >= 37 && i < 45)) continue;
        EXPECT_EQ(after[i], before[i]) << i;
    }
    EXPECT_EQ(m_sim.WithUnit([](CSimUnit& u) { return u.Restarts(); }), 0u);

    // Over the serial link, with the reset that follows a verified write.
    run = Run(m_strSerial + " --yes write port=4000 --reset");
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    EXPECT_EQ(run.strErr,
              " Parameters are updated successfully\n The Orvik has reset successfully\n");
    EXPECT_EQ(m_sim.WithUnit([](CSimUnit& u) { return u.Params().Port(); }), 4000);
    EXPECT_EQ(m_sim.WithUnit([](CSimUnit& u) { return u.Restarts(); }), 1u);
}

TEST_F(VelorctlTest, ExitStatusByFailureClass) {
    // 2: usage
    EXPECT_EQ(Run("status").nExit, 2);
    EXPECT_EQ(Run(m_strUdp + " --yes write colour=red").nExit, 2);
    EXPECT_EQ(Run(m_strSerial + " --comm-addr 3 --yes status").nExit, 2);
    EXPECT_EQ(Run("--udp 127.0.0.1:70000 --yes status").nExit, 2);
    EXPECT_EQ(Run("--serial COM12 --yes status").nExit, 2);
    SRun run = Run(m_strUdp + " status"); // no terminal, no --yes
    EXPECT_EQ(run.nExit, 2);
    EXPECT_NE(run.strErr.find("--yes"), std::string::npos);

    // 1: the unit refuses, or verification fails
    SetFaults([](SSimFaults& f) { f.m_bSwitchOff = true; });
    run = Run(m_strUdp + " --yes read");
    EXPECT_EQ(run.nExit, 1);
    EXPECT_EQ(run.strErr, "SW 3, dipswitch 2 must be ON to configure the Orvik.\n");
    EXPECT_EQ(Run(m_strSerial + " --yes read").nExit, 1);
    SetFaults([](SSimFaults& f) {
        f.m_bSwitchOff = false;
        f.m_bStoreMismatch = true;
    });
    run = Run(m_strSerial + " --yes write timeout=9");
    EXPECT_EQ(run.nExit, 1);
    EXPECT_EQ(run.strErr, "Error, Data read from Orvik does not match. Orvik not updated\n"
                          " The parameter update failed\n");
    SetFaults([](SSimFaults& f) {
        f.m_bStoreMismatch = false;
        f.m_bAnswerReset = true;
    });
    run = Run(m_strSerial + " --yes reset");
    EXPECT_EQ(run.nExit, 1);
    EXPECT_EQ(run.strErr, "Orvik did not reset\n");

    // 3: no answer
    SetFaults([](SSimFaults& f) { f.m_bSilent = true; });
    run = Run(m_strUdp + " --yes status");
    EXPECT_EQ(run.nExit, 3);
    EXPECT_NE(run.strErr.find("Connection timed out"), std::string::npos) << run.strErr;
    EXPECT_EQ(Run(m_strSerial + " --yes read").nExit, 3);

    // 4: the image file
    EXPECT_EQ(Run(m_strUdp + " --yes flash /nonexistent/image.s19").nExit, 4);
    const std::string strBad = m_strDir + "bad.s19";
    std::ofstream(strBad) << "S3060000000001F8\nnot a record\n";
    run = Run(m_strUdp + " --yes flash " + strBad);
    EXPECT_EQ(run.nExit, 4);
    EXPECT_NE(run.strErr.find("line 2"), std::string::npos) << run.strErr;
}

TEST_F(VelorctlTest, FlashOverBothLinks) {
    const std::string strImage = m_strDir + "velorctl_flash.s37";
    ASSERT_TRUE(WriteSampleImage(strImage, SSampleImage{0, 0x11000, 32, 21}));
    for (const std::string& strLink : {m_strUdp, m_strSerial}) {
        SRun run = Run(strLink + " --yes --json flash " + strImage);
        ASSERT_EQ(run.nExit, 0) << run.strErr;
        auto j = Json(run);
        EXPECT_EQ(j["updated"], true);
        EXPECT_EQ(j["bytes"], 0x11000);
        EXPECT_NE(run.strErr.find("Flash successfully updated\n"), std::string::npos) << run.strErr;
        EXPECT_NE(run.strErr.find("progress: 100%"), std::string::npos) << run.strErr;
    }
    SetFaults([](SSimFaults& f) { f.m_bWrongCheckWord = true; });
    SRun run = Run(m_strUdp + " --yes flash " + strImage);
    EXPECT_EQ(run.nExit, 1);
    EXPECT_NE(run.strErr.find("Flash failed - CRC mismatch"), std::string::npos);
    SetFaults([](SSimFaults& f) {
        f.m_bWrongCheckWord = false;
        f.m_nStopAfterLoadBlocks = 3;
    });
    run = Run(m_strSerial + " --yes flash " + strImage);
    EXPECT_EQ(run.nExit, 3);
    EXPECT_NE(run.strErr.find("Flash not updated, comm error "), std::string::npos) << run.strErr;
}

TEST_F(VelorctlTest, ResetOverUdpAndTrace) {
    SRun run = Run(m_strUdp + " --yes --trace reset");
    EXPECT_EQ(run.nExit, 0) << run.strErr;
    EXPECT_NE(run.strErr.find(" The Velor has reset successfully"), std::string::npos);
    EXPECT_NE(run.strErr.find("-> FE 00 00 00 FE"), std::string::npos) << run.strErr;
    EXPECT_NE(run.strErr.find("<- FE"), std::string::npos) << run.strErr;
}

TEST_F(VelorctlTest, PortProblemsSayWhatTheSystemSaid) {
    // The job's own text exactly, then velorctl's note with the device and the reason.
    SRun run = Run("--serial /dev/velor-no-such-port --yes read");
    EXPECT_EQ(run.nExit, 3);
    EXPECT_EQ(run.strErr.rfind("Unable to open port\n"
                               "velorctl: /dev/velor-no-such-port: no such device",
                               0),
              0u)
        << run.strErr;
    // A port another program holds.
    const int fd = ::open(m_sim.PtyPath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    run = Run(m_strSerial + " --yes status");
    ::close(fd);
    EXPECT_EQ(run.nExit, 3);
    EXPECT_NE(run.strErr.find("busy: another program has the port open"), std::string::npos)
        << run.strErr;
    // The port list as JSON names what COM1..COM9 stand for.
    run = Run("ports --json");
    EXPECT_EQ(run.nExit, 0);
    EXPECT_EQ(Json(run)["com"]["COM1"], "/dev/ttyS0");
}

TEST_F(VelorctlTest, VersionAndThePortListForScripts) {
    SRun run = Run("--version");
    EXPECT_EQ(run.nExit, 0);
    EXPECT_EQ(run.strOut, std::string("velorctl ") + VELOR_VERSION + "\n");
    // Every port with its device and description; COMn as it resolves, here through
    // the variable.
    run = Run("ports --json", "VELOR_COM3=" + m_sim.PtyPath());
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    const auto j = Json(run);
    ASSERT_TRUE(j["ports"].is_array());
    for (const auto& port : j["ports"]) {
        EXPECT_TRUE(port["device"].is_string()) << port;
        EXPECT_TRUE(port["description"].is_string()) << port;
    }
    EXPECT_EQ(j["com"]["COM3"], m_sim.PtyPath());
    EXPECT_EQ(j["com"].size(), 9u);
    run = Run("ports", "VELOR_COM3=" + m_sim.PtyPath());
    EXPECT_NE(run.strOut.find("COM3 -> " + m_sim.PtyPath() + "\n"), std::string::npos)
        << run.strOut;
}

TEST_F(VelorctlTest, ReadThenWriteFromRestoresTheDefaultUnitOverBothLinks) {
    // The simulated unit's own keys hold the digit 0, as real units' do.
    const std::string strSaved = m_strDir + "saved.json";
    for (const std::string& strLink : {m_strUdp, m_strSerial}) {
        const NetParams before = m_sim.WithUnit([](CSimUnit& u) { return u.Params(); });
        SRun run = Run(strLink + " --yes --json read >" + strSaved);
        ASSERT_EQ(run.nExit, 0) << run.strErr;
        run = Run(strLink + " --yes write timeout=9 des-key=1111111111111111 "
                            "tdes-key3=2222222222222222");
        ASSERT_EQ(run.nExit, 0) << run.strErr;
        run = Run(strLink + " --yes --json write --from " + strSaved);
        ASSERT_EQ(run.nExit, 0) << run.strErr;
        const auto j = Json(run);
        EXPECT_EQ(j["verified"], true);
        EXPECT_EQ(j["des-key"], "(key)");
        const NetParams after = m_sim.WithUnit([](CSimUnit& u) { return u.Params(); });
        for (size_t i = 0; i < NetParams::OFS_RESERVED; ++i)
            EXPECT_EQ(after[i], before[i]) << strLink << " byte " << i;
    }
}

TEST_F(VelorctlTest, NoOutputShowsAKey) {
    const std::string strKey = "A1B2C3D4E5F6A7B8";
    const std::string strFile = m_strDir + "keys.json", strFleet = m_strDir + "keys.csv";
    std::vector<SRun> runs;
    for (const std::string& strArgs :
         {"des-key=" + strKey + "F", "tdes-key1=" + strKey.substr(0, 15) + "X", "des-key" + strKey,
          strKey, "des_key=" + strKey, "des-key=" + strKey + " des-key=" + strKey})
        runs.push_back(Run(m_strUdp + " --yes write " + strArgs));
    for (const std::string& strJson :
         {"{\"des-key\":\"" + strKey + "F\"}", "{\"des-key\":[\"" + strKey + "\"]}",
          "{\"" + strKey + "\":1}"}) {
        std::ofstream(strFile, std::ios::trunc) << strJson;
        runs.push_back(Run(m_strUdp + " --yes write --from " + strFile));
    }
    std::ofstream(strFleet) << "target,des-key\nudp:127.0.0.1:" << m_sim.UdpPort() << "," << strKey
                            << "0\n";
    runs.push_back(Run("--fleet " + strFleet + " --yes write"));
    for (const auto& run : runs)
        EXPECT_EQ(run.nExit, 2) << run.strErr;
    // A write that succeeds, traced: the request's key bytes and the records that
    // decrypt to keys are masked.
    runs.push_back(Run(m_strUdp + " --yes --trace --json write des-key=" + strKey));
    EXPECT_EQ(runs.back().nExit, 0) << runs.back().strErr;
    EXPECT_NE(runs.back().strErr.find("(key) (record, "), std::string::npos) << runs.back().strErr;
    EXPECT_EQ(Json(runs.back())["des-key"], "(key)");
    runs.push_back(Run(m_strSerial + " --yes --trace write tdes-key2=" + strKey));
    EXPECT_EQ(runs.back().nExit, 0) << runs.back().strErr;
    EXPECT_NE(runs.back().strOut.find("tdes-key2  (key)"), std::string::npos) << runs.back().strOut;
    const std::string strKeyBytes = "A1 B2 C3 D4 E5 F6 A7 B8";
    for (const auto& run : runs) {
        for (const auto& str : {run.strOut, run.strErr}) {
            EXPECT_EQ(str.find("A1B2C3D4E5F6"), std::string::npos) << str;
            EXPECT_EQ(str.find("a1b2c3d4e5f6"), std::string::npos) << str;
            EXPECT_EQ(str.find(strKeyBytes), std::string::npos) << str;
        }
    }
}
