#include "params/ScpParams.h"

#include <cstring>

#include "params/Texts.h"

namespace {
void PutText(std::array<uint8_t, ScpParams::SIZE>& ab, size_t nOfs, size_t nWidth,
             const std::string& str) {
    for (size_t i = 0; i < nWidth; ++i)
        ab[nOfs + i] = i < str.size() ? static_cast<uint8_t>(str[i]) : 0;
}

std::string GetText(const std::array<uint8_t, ScpParams::SIZE>& ab, size_t nOfs, size_t nWidth) {
    std::string str;
    for (size_t i = 0; i < nWidth && ab[nOfs + i]; ++i)
        str += static_cast<char>(ab[nOfs + i]);
    return str;
}
} // namespace

std::string ScpParams::TextProblem(const std::string& strPort, const std::string& strParity,
                                   const std::string& strBaud) {
    const struct {
        const char* pName;
        const std::string& str;
        size_t nWidth;
    } fields[] = {{txt::SCP_PORT, strPort, PORT_LEN},
                  {txt::SCP_PARITY, strParity, PARITY_LEN},
                  {txt::SCP_BAUD, strBaud, BAUD_LEN}};
    for (const auto& f : fields)
        if (f.str.size() > f.nWidth)
            return std::string(f.pName) + " \"" + f.str + "\"" + txt::SCP_TOO_LONG +
                   std::to_string(f.nWidth) + txt::SCP_TOO_LONG_END;
    return {};
}

std::optional<ScpParams> ScpParams::Make(const std::string& strPort, uint32_t nUnitAddr,
                                         const std::string& strParity, const std::string& strBaud) {
    if (!TextProblem(strPort, strParity, strBaud).empty()) return std::nullopt;
    ScpParams rec;
    PutText(rec.m_abData, OFS_PORT, 4, strPort);
    for (size_t i = 0; i < 4; ++i)
        rec.m_abData[OFS_UNIT_ADDR + i] = static_cast<uint8_t>(nUnitAddr >> (8 * i));
    PutText(rec.m_abData, OFS_PARITY, 4, strParity);
    PutText(rec.m_abData, OFS_BAUD, 6, strBaud);
    return rec;
}

std::string ScpParams::PortName() const {
    return GetText(m_abData, OFS_PORT, 4);
}

uint32_t ScpParams::UnitAddress() const {
    uint32_t n = 0;
    for (size_t i = 0; i < 4; ++i)
        n |= static_cast<uint32_t>(m_abData[OFS_UNIT_ADDR + i]) << (8 * i);
    return n;
}

std::string ScpParams::ParityText() const {
    return GetText(m_abData, OFS_PARITY, 4);
}
std::string ScpParams::BaudText() const {
    return GetText(m_abData, OFS_BAUD, 6);
}

int ScpParams::PortNumber() const {
    const int n = static_cast<int>(m_abData[OFS_PORT + 3]) - '0';
    return n < 1 ? 1 : n;
}

bool ScpParams::PortDigitValid() const {
    const uint8_t c = m_abData[OFS_PORT + 3];
    return c >= '1' && c <= '9';
}

int ScpParams::BaudRate() const {
    int n = 0;
    for (size_t i = 0; i < 6; ++i) {
        const uint8_t c = m_abData[OFS_BAUD + i];
        if (c < '0' || c > '9') break;
        n = n * 10 + (c - '0');
    }
    return n;
}

int ScpParams::ParityIndex() const {
    const std::string str(reinterpret_cast<const char*>(&m_abData[OFS_PARITY]), 4);
    if (str.find("None") != std::string::npos) return 0;
    if (str.find("Odd") != std::string::npos) return 1;
    return 2;
}
