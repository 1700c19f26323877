#pragma once
// A serial link to the simulated unit over a real pseudo-terminal, reached the way a
// user's COM1 is: through VELOR_COM1. Time-outs are shortened; every frame the link
// sends is recorded.

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "ScriptedPrompts.h"
#include "TestUtil.h"
#include "platform/TimeConstants.h"
#include "platform/Trace.h"
#include "serial/SerlComm.h"
#include "sim/SimUnit.h"

class SerialE2E : public ::testing::Test {
protected:
    void SetUp() override {
        TimeConstants().m_nSerialReadMs = 40;
        TimeConstants().m_nSerialWriteMs = 200;
        TimeConstants().m_nSerialRetryPauseMs = 20;
        SetTraceSink([this](ETraceDir eDir, const uint8_t* p, size_t n) {
            if (eDir != ETraceDir::Sent) return;
            std::lock_guard lock(m_mutex);
            m_sent.push_back(ToHex(p, n));
        });
    }
    void TearDown() override {
        SetTraceSink({});
        m_pLink.reset();
        m_sim.Stop();
        ::unsetenv("VELOR_COM1");
        TimeConstants().Reset();
    }

    // Starts the unit and makes a link to it on COM1.
    void Start(SSimOptions options = {}) {
        options.m_bPty = true;
        std::string strError;
        ASSERT_TRUE(m_sim.Start(options, &strError)) << strError;
        ::setenv("VELOR_COM1", m_sim.PtyPath().c_str(), 1);
        m_pLink = std::make_unique<CSerlComm>(&m_scp, &m_prompts);
    }
    void Faults(const SSimFaults& faults) { m_sim.SetFaults(faults); }

    std::vector<std::string> Sent() {
        std::lock_guard lock(m_mutex);
        return m_sent;
    }
    void ClearSent() {
        std::lock_guard lock(m_mutex);
        m_sent.clear();
    }
    std::vector<std::string> Messages() const { return m_prompts.Messages(); }
    template <class F> auto Unit(F fn) { return m_sim.WithUnit(fn); }

    CSimServer m_sim;
    CScriptedPrompts m_prompts;
    ScpParams m_scp = ScpParams::Defaults();
    std::unique_ptr<CSerlComm> m_pLink;
    std::mutex m_mutex;
    std::vector<std::string> m_sent;
};

using Msgs = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

inline const std::string MSG_CHECK_CONNECT =
    "Communication Error, Orvik not responding.  If problem persists, clear the NVRAM by setting "
    "SW2, switches 2,4,6,8 on and the rotary switch to F, power Velor off and on, wait for LEDS "
    "1-4 to flash, then restart procedure.";
