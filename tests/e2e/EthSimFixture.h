#pragma once
// The Ethernet link against the simulated unit over real UDP on 127.0.0.1: a job
// host with scripted prompts, the simulator on a free port, and a log of every
// datagram the link sent and received.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ScriptedPrompts.h"
#include "TestUtil.h"
#include "ethernet/EthLink.h"
#include "jobs/JobHost.h"
#include "platform/TimeConstants.h"
#include "platform/Trace.h"
#include "serial/FrameCodec.h"
#include "sim/SimUnit.h"

const std::string RECV_TIMED_OUT =
    "Unable to connect to Velor - Connection timed out.  If problem persists, clear the NVRAM "
    "by setting SW2, switches 2,4,6,8 on and the rotary switch to F, power Velor off and on, "
    "wait for LEDS 1-4 to flash, then restart procedure.";

class EthSimTest : public ::testing::Test {
protected:
    using Bytes = std::vector<uint8_t>;
    using Messages = std::vector<std::string>;

    void SetUp() override {
        TimeConstants().m_nRecvMs = 100;
        TimeConstants().m_nRecvReopenMs = 150;
        TimeConstants().m_nDrainLimitMs = 300;
        m_options.m_bUdp = true;
        m_options.m_nUdpPort = 0;
        m_options.m_bResyncAtStart = false; // a unit that has been running a while
        m_options.m_bResyncOnRestart = false;
        m_rec = NetParams::Defaults();
        m_host.m_pNetParams = &m_rec;
        m_host.m_strTargetIp = "127.0.0.1";
        m_nBaseStartups = CDatagramSocket::StartupCount();
        SetTraceSink([this](ETraceDir eDir, const uint8_t* p, size_t n) {
            std::lock_guard lock(m_mutex);
            (eDir == ETraceDir::Sent ? m_sent : m_received).emplace_back(p, p + n);
        });
    }
    void TearDown() override {
        m_pLink.reset();
        SetTraceSink({});
        TimeConstants().Reset();
        EXPECT_EQ(CDatagramSocket::StartupCount(), m_nBaseStartups);
    }

    // Starts the simulator with m_options and opens a link to it as a job does.
    CEthLink& Open() {
        std::string strError;
        if (!m_sim.Start(m_options, &strError)) ADD_FAILURE() << strError;
        m_host.m_nTargetPort = m_sim.UdpPort();
        m_pLink = std::make_unique<CEthLink>(&m_host);
        EXPECT_EQ(m_pLink->OpenSocket(TimeConstants().m_nRecvMs, CEthLink::EOpen::Start),
                  CEthLink::EOpenResult::Open);
        return *m_pLink;
    }

    std::vector<Bytes> Sent() {
        std::lock_guard lock(m_mutex);
        return m_sent;
    }
    std::vector<Bytes> Received() {
        std::lock_guard lock(m_mutex);
        return m_received;
    }
    void ClearTrace() {
        std::lock_guard lock(m_mutex);
        m_sent.clear();
        m_received.clear();
    }
    // Sent datagrams in hex, one string each.
    std::vector<std::string> SentHex() {
        std::vector<std::string> v;
        for (const Bytes& ab : Sent())
            v.push_back(ToHex(ab));
        return v;
    }
    Messages Log() const { return m_prompts.Log(); }
    // A datagram that needs no answer reaches the unit a moment later.
    uint32_t RestartsSoon(uint32_t nExpected) {
        const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        uint32_t n;
        while ((n = m_sim.WithUnit([](CSimUnit& u) { return u.Restarts(); })) != nExpected &&
               std::chrono::steady_clock::now() < tEnd)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return n;
    }

    SSimOptions m_options;
    CSimServer m_sim;
    CScriptedPrompts m_prompts;
    CJobHost m_host{&m_prompts};
    NetParams m_rec;
    std::unique_ptr<CEthLink> m_pLink;
    int m_nBaseStartups = 0;

private:
    std::mutex m_mutex;
    std::vector<Bytes> m_sent, m_received;
};
