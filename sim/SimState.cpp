// The unit's state as JSON, for tests and for whoever runs velorsim.
#include <nlohmann/json.hpp>

#include <cstdio>

#include "platform/HexText.h"
#include "serial/FrameCodec.h"
#include "sim/SimUnit.h"

namespace {

std::string Hex(const uint8_t* p, size_t n) {
    return HexText(p, n, 0, EHexCase::Lower);
}

std::string Hex8(uint32_t n) {
    char sz[16];
    std::snprintf(sz, sizeof sz, "%08x", n);
    return sz;
}

} // namespace

std::string CSimUnit::StateJson() const {
    using nlohmann::json;
    const NetParams& rec = m_params;
    const uint8_t* p = rec.Data();
    json params = {
        {"ip", rec.DottedAt(NetParams::OFS_IP)},
        {"mask", rec.DottedAt(NetParams::OFS_MASK)},
        {"gateway", rec.DottedAt(NetParams::OFS_GATEWAY)},
        {"port", rec.Port()},
        {"timeout", rec.Timeout()},
        {"des_key", Hex(p + NetParams::OFS_DES_KEY, NetParams::KEY_LEN)},
        {"scp",
         {{"flags1", p[NetParams::OFS_SCP_FLAGS1]},
          {"flags2", p[NetParams::OFS_SCP_FLAGS2]},
          {"reserved", Hex(p + NetParams::OFS_SCP_RESERVED, 2)},
          {"comm_address", p[NetParams::OFS_UNIT_COMM_ADDR]}}},
        {"tdes_key1", Hex(p + NetParams::OFS_TDES_KEY1, NetParams::KEY_LEN)},
        {"tdes_key2", Hex(p + NetParams::OFS_TDES_KEY2, NetParams::KEY_LEN)},
        {"tdes_key3", Hex(p + NetParams::OFS_TDES_KEY3, NetParams::KEY_LEN)},
        {"reserved", Hex(p + NetParams::OFS_RESERVED, 8)},
        {"raw", Hex(p, NetParams::SIZE)},
    };

    json ranges = json::array();
    for (const auto& [nFirst, nLast] : m_ranges)
        ranges.push_back({nFirst, nLast});

    json frames = json::object();
    frames["empty"] = m_anFrames[256];
    for (int i = 0; i < 256; ++i) {
        if (!m_anFrames[i]) continue;
        char sz[8];
        std::snprintf(sz, sizeof sz, "0x%02X", i);
        frames[sz] = m_anFrames[i];
    }
    frames["invalid"] = m_nInvalid;

    const SSimFaults& f = m_faults;
    json faults = {
        {"silent", f.m_bSilent},
        {"silent_after_frames", f.m_nSilentAfterFrames},
        {"garble_every", f.m_nGarbleEvery},
        {"high_bits", f.m_bHighBits},
        {"resync_replies", f.m_nResyncReplies},
        {"reject_load", f.m_bRejectLoad},
        {"wrong_check_word", f.m_bWrongCheckWord},
        {"check_word_zero", f.m_bCheckWordZero},
        {"status_count", f.m_nStatusCount},
        {"switch_off", f.m_bSwitchOff},
        {"properties_mode", f.m_bPropertiesMode},
        {"answer_reset", f.m_bAnswerReset},
        {"store_mismatch", f.m_bStoreMismatch},
        {"stop_after_load_blocks", f.m_nStopAfterLoadBlocks},
        {"polls_only", f.m_bPollsOnly},
        {"reply_delay_ms", f.m_nReplyDelayMs},
        {"oversize_reply", f.m_nOversizeReply},
        {"unsolicited_ms", f.m_nUnsolicitedMs},
        {"stray_before_block", f.m_nStrayBeforeBlock},
        {"stray_before_exchange", f.m_nStrayBeforeExchange},
        {"stray", SSimFaults::STRAY_NAMES[static_cast<int>(f.m_eStray)]},
    };

    json state = {
        {"serial_no", m_nSerialNo},
        {"keys_enabled", m_bKeysEnabled},
        {"check_word", CheckWord()},
        {"params", params},
        {"memory", {{"size", MEMORY_SIZE}, {"crc32", Hex8(MemoryCrc32())}, {"written", ranges}}},
        {"frames", frames},
        {"restarts", m_nRestarts},
        {"load_blocks", m_nLoadBlocks},
        {"faults", faults},
    };
    return state.dump(2);
}

std::string CSimServer::StateJson() {
    std::string strUnit = WithUnit([](CSimUnit& unit) { return unit.StateJson(); });
    nlohmann::json state = nlohmann::json::parse(strUnit);
    state["transport"] = {
        {"serial", PtyPath()},
        {"udp_port", UdpPort()},
        {"dropped_bytes", DroppedBytes()},
    };
    return state.dump(2);
}
