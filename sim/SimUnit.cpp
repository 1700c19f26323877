#include "sim/SimUnit.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cstring>

#include "firmware/LoadBlock.h"
#include "serial/FrameCodec.h"

namespace {

constexpr size_t EMPTY_INDEX = 256;
// The memory words the check word is taken from, highest first.
constexpr uint32_t CHECK_POINTS[4] = {0x7FFFE, 0x3FFFE, 0x1FFFE, 0xFFFE};
constexpr uint16_t ERASED_WORD = 0xFFFF;
constexpr uint8_t ERASED = 0xFF;

// A request is valid when its layout, both sums and its count agree.
bool ValidRequest(const uint8_t* p, size_t n) {
    if (n < frame::HEADER_LEN || p[0] != frame::START) return false;
    if (frame::Sum8(p, 4) != p[frame::OFS_HSUM]) return false;
    const size_t nLen = p[frame::OFS_LEN];
    if (nLen == 0) return true;
    if (nLen < 3 || n < frame::HEADER_LEN + nLen) return false;
    if (static_cast<size_t>(p[frame::OFS_COUNT]) + 3 != nLen) return false;
    return frame::Sum8(p, frame::HEADER_LEN + nLen - 1) == p[frame::HEADER_LEN + nLen - 1];
}

void PutSums(std::vector<uint8_t>& ab) {
    ab[frame::OFS_HSUM] = frame::Sum8(ab.data(), 4);
    if (ab.size() > frame::HEADER_LEN) ab.back() = frame::Sum8(ab.data(), ab.size() - 1);
}

} // namespace

NetParams SSimOptions::DefaultParams() {
    NetParams rec;
    rec.SetDottedAt(NetParams::OFS_IP, "192.168.0.132");
    rec.SetDottedAt(NetParams::OFS_MASK, "255.255.255.0");
    rec.SetDottedAt(NetParams::OFS_GATEWAY, "192.168.0.1");
    rec.SetPort(3001);
    rec.SetTimeout(30);
    static const uint8_t s_des[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    static const uint8_t s_tdes1[8] = {0x13, 0x57, 0x9B, 0xDF, 0x02, 0x46, 0x8A, 0xCE};
    static const uint8_t s_tdes2[8] = {0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5, 0x96, 0x87};
    static const uint8_t s_tdes3[8] = {0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A, 0x69, 0x78};
    // 115200 baud with parity, encryption on, auto database backup, comm address 1.
    static const uint8_t s_scp[5] = {0x0C, 0x40, 0x01, 0x00, 0x01};
    std::memcpy(rec.Data() + NetParams::OFS_DES_KEY, s_des, 8);
    std::memcpy(rec.Data() + NetParams::OFS_TDES_KEY1, s_tdes1, 8);
    std::memcpy(rec.Data() + NetParams::OFS_TDES_KEY2, s_tdes2, 8);
    std::memcpy(rec.Data() + NetParams::OFS_TDES_KEY3, s_tdes3, 8);
    std::memcpy(rec.Data() + NetParams::OFS_SCP_PROPS, s_scp, 5);
    return rec;
}

CSimUnit::CSimUnit(const SSimOptions& options)
    : m_faults(options.m_faults), m_params(options.m_params), m_nSerialNo(options.m_nSerialNo),
      m_bKeysEnabled(options.m_bKeysEnabled), m_bResyncOnRestart(options.m_bResyncOnRestart),
      m_bSerialKeepsScp(options.m_bSerialKeepsScp), m_nAddr(options.m_nAddr) {
    // Power-on is a restart like any other, but not counted as one.
    Restart();
    m_nRestarts = 0;
    for (int i = 0; i < LINK_COUNT; ++i)
        m_abResyncPending[i] = options.m_bResyncAtStart;
}

void CSimUnit::SetFaults(const SSimFaults& faults) {
    m_faults = faults;
    m_nFaultFrames = 0;
    m_nFaultReplies = 0;
    m_nFaultLoadBlocks = 0;
}

void CSimUnit::Restart() {
    ++m_nRestarts;
    for (int i = 0; i < LINK_COUNT; ++i) {
        m_abResyncPending[i] = m_bResyncOnRestart;
        m_abHaveLast[i] = false;
    }
    m_bLoadStarted = false;
}

uint32_t CSimUnit::FrameCount(int nCommand) const {
    if (nCommand == -1) return m_anFrames[EMPTY_INDEX];
    if (nCommand < 0 || nCommand > 255) return 0;
    return m_anFrames[nCommand];
}

std::vector<uint8_t> CSimUnit::Reply(const uint8_t* pRequest, uint8_t nControl,
                                     const uint8_t* pData, size_t nCount) const {
    std::vector<uint8_t> ab;
    if (!pRequest[frame::OFS_LEN] && !pData) {
        ab = {frame::START, pRequest[frame::OFS_ADDR], 0, nControl, 0};
    } else {
        ab.resize(nCount + 8);
        ab[0] = frame::START;
        ab[frame::OFS_ADDR] = pRequest[frame::OFS_ADDR];
        ab[frame::OFS_LEN] = static_cast<uint8_t>(nCount + 3);
        ab[frame::OFS_CONTROL] = static_cast<uint8_t>(nControl | frame::CTL_DATA_SUM);
        ab[frame::OFS_CMD] = pRequest[frame::OFS_LEN] ? pRequest[frame::OFS_CMD] : 0;
        ab[frame::OFS_COUNT] = static_cast<uint8_t>(nCount);
        if (nCount) std::memcpy(ab.data() + frame::OFS_DATA, pData, nCount);
    }
    PutSums(ab);
    return ab;
}

std::vector<std::vector<uint8_t>> CSimUnit::Handle(const uint8_t* pFrame, size_t nLen,
                                                   ELink eLink) {
    if (!pFrame || !ValidRequest(pFrame, nLen)) {
        ++m_nInvalid;
        return {};
    }
    // Another unit's frame: not this unit's business. Over UDP the address only picks
    // whom a command is for; a poll is answered whatever it carries, since the utility
    // polls with the comm address of a record it has not read from the unit yet.
    const bool bPollOverUdp = eLink == LINK_UDP && pFrame[frame::OFS_LEN] == 0;
    if (m_nAddr >= 0 && pFrame[frame::OFS_ADDR] != m_nAddr && !bPollOverUdp) return {};
    const bool bCommand = pFrame[frame::OFS_LEN] != 0;
    ++m_anFrames[bCommand ? pFrame[frame::OFS_CMD] : EMPTY_INDEX];
    ++m_nFaultFrames;

    if (m_faults.m_bSilent) return {};
    if (m_faults.m_nSilentAfterFrames >= 0 &&
        m_nFaultFrames > static_cast<uint32_t>(m_faults.m_nSilentAfterFrames))
        return {};
    if (m_faults.m_nStopAfterLoadBlocks >= 0 &&
        m_nFaultLoadBlocks >= static_cast<uint32_t>(m_faults.m_nStopAfterLoadBlocks))
        return {};
    if (m_faults.m_bPollsOnly && bCommand) return {};

    std::optional<std::vector<uint8_t>> reply;
    // Bit 0 of a request's control byte only says a command is present; the rest
    // is the sequence, and stray bits make it one the unit cannot accept.
    const uint32_t nSeq = pFrame[frame::OFS_CONTROL] & ~frame::CTL_COMMAND & 0xFF;
    const uint32_t nBlocksBefore = m_nFaultLoadBlocks;
    bool& bHaveLast = m_abHaveLast[eLink];
    uint32_t& nLastSeq = m_anLastSeq[eLink];
    const bool bSeqOk =
        nSeq == 0 || (bHaveLast && (nSeq == nLastSeq || nSeq == frame::NextSequence(nLastSeq)));
    if (m_abResyncPending[eLink] || m_faults.m_nResyncReplies > 0 || !bSeqOk) {
        m_abResyncPending[eLink] = false;
        if (m_faults.m_nResyncReplies > 0) --m_faults.m_nResyncReplies;
        bHaveLast = false;
        reply =
            std::vector<uint8_t>{frame::START, pFrame[frame::OFS_ADDR], 0, frame::CTL_RESYNC, 0};
        PutSums(*reply);
    } else {
        bHaveLast = true;
        nLastSeq = nSeq;
        reply = bCommand ? Execute(pFrame, eLink) : Reply(pFrame, 0, nullptr, 0);
    }
    if (!reply) return {};

    ++m_nFaultReplies;
    const bool bStray =
        eLink == LINK_UDP &&
        ((m_faults.m_nStrayBeforeExchange > 0 &&
          m_nFaultReplies == static_cast<uint32_t>(m_faults.m_nStrayBeforeExchange)) ||
         (m_faults.m_nStrayBeforeBlock > 0 && m_nFaultLoadBlocks != nBlocksBefore &&
          m_nFaultLoadBlocks == static_cast<uint32_t>(m_faults.m_nStrayBeforeBlock)));
    std::vector<uint8_t>& ab = *reply;
    if (m_faults.m_bHighBits) {
        ab[frame::OFS_CONTROL] |= frame::CTL_INVALID;
        PutSums(ab);
    }
    if (m_faults.m_nGarbleEvery > 0 &&
        m_nFaultReplies % static_cast<uint32_t>(m_faults.m_nGarbleEvery) == 0)
        ab.back() ^= 0x5A; // the data sum, or the header sum of a header-only reply
    std::vector<std::vector<uint8_t>> out;
    if (bStray) out.push_back(Stray(ab));
    if (eLink == LINK_UDP) m_abLastUdpReply = ab;
    out.push_back(std::move(ab));
    return out;
}

std::vector<uint8_t> CSimUnit::Stray(const std::vector<uint8_t>& abReply) const {
    using EStray = SSimFaults::EStray;
    std::vector<uint8_t> ab = abReply;
    switch (m_faults.m_eStray) {
    case EStray::BadSum:
        ab.back() ^= 0x5A;
        break;
    case EStray::HighBits:
        ab[frame::OFS_CONTROL] |= frame::CTL_INVALID;
        PutSums(ab);
        break;
    case EStray::Short:
        ab.resize(3);
        break;
    case EStray::Empty:
        ab.clear();
        break;
    case EStray::Long:
        ab.resize(600, 0);
        break;
    case EStray::Duplicate:
        if (!m_abLastUdpReply.empty()) ab = m_abLastUdpReply;
        break;
    }
    return ab;
}

std::vector<uint8_t> CSimUnit::StatusData() const {
    std::vector<uint8_t> ab(status::STATUS_COUNT, 0);
    ab[0] = 1; // firmware 1.20
    ab[1] = 20;
    ab[status::ST_SERIAL_NO] = static_cast<uint8_t>(m_nSerialNo & 0xFF);
    ab[status::ST_SERIAL_NO + 1] = static_cast<uint8_t>(m_nSerialNo >> 8);
    if (m_bKeysEnabled) ab[status::ST_KEYS] |= status::ST_KEYS_BIT;
    const uint16_t nCheck = CheckWord();
    ab[status::ST_CHECK_WORD] = static_cast<uint8_t>(nCheck & 0xFF);
    ab[status::ST_CHECK_WORD + 1] = static_cast<uint8_t>(nCheck >> 8);
    if (!m_faults.m_bSwitchOff) ab[status::ST_SWITCH] |= status::ST_SWITCH_BIT;
    if (m_faults.m_bPropertiesMode) ab[status::ST_MODE] = status::PROPERTIES_MODE;
    // A record of another length: cut short, or padded with zeros.
    const int nCount = std::clamp(m_faults.m_nStatusCount, 0, static_cast<int>(frame::MAX_DATA));
    ab.resize(static_cast<size_t>(nCount), 0);
    return ab;
}

std::optional<std::vector<uint8_t>> CSimUnit::Execute(const uint8_t* pFrame, ELink eLink) {
    const uint8_t nCmd = pFrame[frame::OFS_CMD];
    const size_t nCount = pFrame[frame::OFS_COUNT];
    const uint8_t* pData = pFrame + frame::OFS_DATA;
    switch (nCmd) {
    case frame::CMD_STATUS: {
        const std::vector<uint8_t> ab = StatusData();
        return Reply(pFrame, 0, ab.data(), ab.size());
    }
    case frame::CMD_READ_PARAMS: {
        uint8_t abPlain[PLAIN_WRITE_LEN];
        PackParamsEthernet(m_params, abPlain); // record bytes 0..60, 16-bit fields big-endian
        uint8_t abData[WRITE_DATA_LEN];
        if (!NextIv(abData)) return std::nullopt;
        CryptPayload(abPlain, abData + IV_LEN, abData, LINK_KEY.data(), PLAIN_WRITE_LEN,
                     CRYPT_ENCRYPT);
        return Reply(pFrame, 0, abData, sizeof abData);
    }
    case frame::CMD_WRITE_PARAMS: {
        // Nothing is stored, and nothing acknowledged, unless the whole record came.
        if (nCount < IV_LEN + NetParams::OFS_COMM_ADDR) return std::nullopt;
        uint8_t abPlain[frame::MAX_DATA];
        CryptPayload(pData + IV_LEN, abPlain, pData, LINK_KEY.data(), nCount - IV_LEN,
                     CRYPT_DECRYPT);
        StoreWrite(abPlain, eLink);
        return Reply(pFrame, 0, nullptr, 0);
    }
    case frame::CMD_RESET:
        if (m_faults.m_bAnswerReset) return Reply(pFrame, 0, nullptr, 0);
        Restart();
        return std::nullopt;
    case frame::CMD_LOAD:
        return Load(pFrame);
    default:
        // Commands this unit does not know are acknowledged without effect.
        return Reply(pFrame, 0, nullptr, 0);
    }
}

bool CSimUnit::NextIv(uint8_t* pIv) {
    if (m_nIvPoolUsed + IV_LEN > sizeof m_abIvPool) {
        if (RAND_bytes(m_abIvPool, sizeof m_abIvPool) != 1) return false;
        m_nIvPoolUsed = 0;
    }
    std::memcpy(pIv, m_abIvPool + m_nIvPoolUsed, IV_LEN);
    m_nIvPoolUsed += IV_LEN;
    return true;
}

void CSimUnit::StoreWrite(const uint8_t* pPlain, ELink eLink) {
    uint8_t abScp[5];
    std::memcpy(abScp, m_params.Data() + NetParams::OFS_SCP_PROPS, 5);
    std::memcpy(m_params.Data(), pPlain, NetParams::OFS_COMM_ADDR); // bytes 0..60
    m_params.SetPort(static_cast<uint16_t>(pPlain[8] << 8 | pPlain[9]));
    m_params.SetTimeout(static_cast<uint16_t>(pPlain[14] << 8 | pPlain[15]));
    if (m_bSerialKeepsScp && eLink == LINK_SERIAL)
        std::memcpy(m_params.Data() + NetParams::OFS_SCP_PROPS, abScp, 5);
    if (m_faults.m_bStoreMismatch) m_params[NetParams::OFS_TDES_KEY1] ^= 0xFF;
}

std::optional<std::vector<uint8_t>> CSimUnit::Load(const uint8_t* pFrame) {
    const size_t nCount = pFrame[frame::OFS_COUNT];
    const uint8_t* pBlock = pFrame + frame::OFS_DATA;
    if (nCount < loadblock::LOAD_HEADER) return std::nullopt;
    if (loadblock::IsEndOfLoad(pBlock, nCount)) {
        if (m_faults.m_bRejectLoad) return Reply(pFrame, 0, nullptr, 0);
        Restart();
        return std::nullopt;
    }
    const size_t k = nCount - loadblock::LOAD_HEADER;
    // Only 19-bit addresses exist; a block that would run past the memory is refused
    // rather than wrapped or cut.
    if (pBlock[1] > 0x07) return std::nullopt;
    const uint32_t nAddr = loadblock::LoadAddress(pBlock);
    if (nAddr + k > MEMORY_SIZE) return std::nullopt;
    if (k) {
        if (!m_bLoadStarted) {
            Erase();
            m_bLoadStarted = true;
        }
        for (uint32_t nDone = 0; nDone < k;) {
            const uint32_t nAt = nAddr + nDone;
            auto& pPage = m_pages[nAt / PAGE_SIZE];
            if (!pPage) {
                pPage = std::make_unique<Page>();
                pPage->fill(ERASED);
            }
            const uint32_t nPart =
                std::min<uint32_t>(static_cast<uint32_t>(k) - nDone, PAGE_SIZE - nAt % PAGE_SIZE);
            std::memcpy(pPage->data() + nAt % PAGE_SIZE, pBlock + loadblock::LOAD_HEADER + nDone,
                        nPart);
            nDone += nPart;
        }
        m_bViewStale = true;
        for (size_t i = 0; i < 4; ++i)
            for (uint32_t j = 0; j < 2; ++j)
                if (CHECK_POINTS[i] + j >= nAddr && CHECK_POINTS[i] + j < nAddr + k)
                    m_abPointWritten[i][j] = true;
        // Merge [nAddr, nAddr + k - 1] into the sorted ranges.
        uint32_t nFirst = nAddr;
        uint32_t nLast = static_cast<uint32_t>(nAddr + k - 1);
        std::vector<std::pair<uint32_t, uint32_t>> merged;
        for (const auto& r : m_ranges) {
            if (r.second + 1 < nFirst || r.first > nLast + 1) {
                merged.push_back(r);
            } else {
                nFirst = std::min(nFirst, r.first);
                nLast = std::max(nLast, r.second);
            }
        }
        merged.emplace_back(nFirst, nLast);
        std::sort(merged.begin(), merged.end());
        m_ranges = std::move(merged);
    }
    ++m_nLoadBlocks;
    ++m_nFaultLoadBlocks;
    return Reply(pFrame, 0, nullptr, 0);
}

void CSimUnit::Erase() {
    for (auto& pPage : m_pages)
        pPage.reset();
    m_bViewStale = true;
    m_nPresetCheckWord.reset();
    std::memset(m_abPointWritten, 0, sizeof m_abPointWritten);
}

uint8_t CSimUnit::ByteAt(uint32_t nAddr) const {
    const auto& pPage = m_pages[nAddr / PAGE_SIZE];
    return pPage ? (*pPage)[nAddr % PAGE_SIZE] : ERASED;
}

const std::vector<uint8_t>& CSimUnit::Memory() const {
    if (m_bViewStale) {
        m_memoryView.assign(MEMORY_SIZE, ERASED);
        for (size_t i = 0; i < m_pages.size(); ++i)
            if (m_pages[i])
                std::copy(m_pages[i]->begin(), m_pages[i]->end(),
                          m_memoryView.begin() + static_cast<std::ptrdiff_t>(i * PAGE_SIZE));
        m_bViewStale = false;
    }
    return m_memoryView;
}

uint16_t CSimUnit::LoadedCheckWord() const {
    for (size_t i = 0; i < 4; ++i)
        if (m_abPointWritten[i][0] && m_abPointWritten[i][1])
            return static_cast<uint16_t>(ByteAt(CHECK_POINTS[i]) << 8 |
                                         ByteAt(CHECK_POINTS[i] + 1));
    return m_nPresetCheckWord.value_or(ERASED_WORD);
}

uint16_t CSimUnit::CheckWord() const {
    if (m_faults.m_bCheckWordZero) return 0;
    const uint16_t nWord = LoadedCheckWord();
    if (m_faults.m_bWrongCheckWord) {
        const uint16_t nWrong = nWord ^ 0x00FF;
        return nWrong ? nWrong : 0x0100; // 0 would mean "no check"
    }
    return nWord;
}

uint32_t CSimUnit::MemoryCrc32() const {
    static const auto s_table = [] {
        std::array<uint32_t, 256> an{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int j = 0; j < 8; ++j)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            an[i] = c;
        }
        return an;
    }();
    static const Page s_erased = [] {
        Page page;
        page.fill(ERASED);
        return page;
    }();
    uint32_t nCrc = 0xFFFFFFFFu;
    for (const auto& pPage : m_pages)
        for (uint8_t b : pPage ? *pPage : s_erased)
            nCrc = s_table[(nCrc ^ b) & 0xFF] ^ (nCrc >> 8);
    return nCrc ^ 0xFFFFFFFFu;
}

std::vector<std::pair<uint32_t, uint32_t>> CSimUnit::WrittenRanges() const {
    return m_ranges;
}
