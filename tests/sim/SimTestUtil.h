#pragma once
// Helpers for the simulated unit's tests: a request builder and a client that keeps
// its sequence the way the utility's links do.

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "firmware/LoadBlock.h"
#include "serial/FrameCodec.h"
#include "sim/SimUnit.h"

inline std::vector<uint8_t> Request(uint8_t nAddr, uint32_t nSeq, int nCmd,
                                    const std::vector<uint8_t>& abData = {}) {
    std::vector<uint8_t> ab(frame::MAX_FRAME);
    const size_t nSize = nCmd < 0 ? 0 : abData.size() + 2;
    const size_t n = frame::Build(ab.data(), ab.size(), nAddr, nSeq, static_cast<uint8_t>(nCmd),
                                  nSize, abData.data());
    ab.resize(n);
    return ab;
}

// Talks to a CSimUnit directly over one link, stepping the sequence on every valid
// reply and starting it again at 0 when the unit asks.
struct CUnitClient {
    CSimUnit& m_unit;
    CSimUnit::ELink m_eLink = CSimUnit::LINK_SERIAL;
    uint8_t m_nAddr = 0;
    uint32_t m_nSeq = 0;
    int m_nLastCheck = -1; // reply check of the last reply, -1 when none came

    // Sends one request; returns the reply when there was one.
    std::optional<std::vector<uint8_t>> Send(int nCmd, const std::vector<uint8_t>& abData = {}) {
        const std::vector<uint8_t> req = Request(m_nAddr, m_nSeq, nCmd, abData);
        auto replies = m_unit.Handle(req.data(), req.size(), m_eLink);
        EXPECT_LE(replies.size(), 1u);
        if (replies.empty()) {
            m_nLastCheck = -1;
            return std::nullopt;
        }
        m_nLastCheck = frame::CheckReply(replies[0].data(), replies[0].size());
        if (m_nLastCheck == frame::OK) m_nSeq = frame::NextSequence(m_nSeq);
        if (m_nLastCheck == frame::ERR_RESYNC) m_nSeq = 0;
        return replies[0];
    }

    // Answers the unit's resynchronisation request after a restart.
    void Sync() {
        for (int i = 0; i < 3; ++i) {
            Send(-1);
            if (m_nLastCheck == frame::OK) return;
        }
        ADD_FAILURE() << "the unit did not synchronise";
    }

    // A command that must get a valid reply.
    std::vector<uint8_t> Must(int nCmd, const std::vector<uint8_t>& abData = {}) {
        auto reply = Send(nCmd, abData);
        EXPECT_TRUE(reply) << "no reply to command " << nCmd;
        EXPECT_EQ(m_nLastCheck, frame::OK) << "reply to command " << nCmd;
        return reply.value_or(std::vector<uint8_t>{});
    }
};

inline std::vector<uint8_t> LoadBlock(uint32_t nAddr, const std::vector<uint8_t>& abBytes) {
    std::vector<uint8_t> ab(loadblock::LOAD_HEADER + abBytes.size());
    ab[1] = static_cast<uint8_t>(nAddr >> 16 & 0x07);
    ab[2] = static_cast<uint8_t>(nAddr >> 8);
    ab[3] = static_cast<uint8_t>(nAddr);
    std::copy(abBytes.begin(), abBytes.end(), ab.begin() + loadblock::LOAD_HEADER);
    return ab;
}

inline std::vector<uint8_t> EndOfLoad() {
    return {loadblock::END_OF_LOAD, loadblock::END_OF_LOAD + loadblock::LOAD_HEADER};
}
