// Every text a person types that becomes a number or a record field: velorctl's
// FIELD=VALUE edits (addresses, port, timeout, keys, properties), the dotted
// address parser, the serial settings texts and port names, and the mode string the
// serial line is set from. The input is lines; what each parser accepts must read
// back as what was typed.

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string>
#include <vector>

#include "FuzzCommon.h"
#include "cli/FieldEdits.h"
#include "params/NetParams.h"
#include "params/ScpParams.h"
#include "platform/HexText.h"
#include "platform/SerialDevice.h"
#include "serial/SerlComm.h"

namespace {

std::vector<std::string> Lines(const uint8_t* p, size_t n) {
    std::vector<std::string> v(1);
    for (size_t i = 0; i < n; ++i) {
        if (p[i] == '\n')
            v.emplace_back();
        else
            v.back() += static_cast<char>(p[i]);
    }
    return v;
}

std::string Upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

unsigned Decimal(const std::string& s) {
    unsigned n = 0;
    std::from_chars(s.data(), s.data() + s.size(), n);
    return n;
}

void CheckEdits(const std::vector<std::string>& lines) {
    CFieldEdits edits;
    std::string strError;
    if (!edits.Parse(lines, strError)) {
        FUZZ_CHECK(!strError.empty());
        return;
    }
    NetParams rec = NetParams::Defaults();
    edits.ApplyNetwork(rec);
    for (const auto& strLine : lines) {
        const std::string strField = strLine.substr(0, strLine.find('='));
        const std::string strValue = strLine.substr(strLine.find('=') + 1);
        const size_t nAddr = strField == "ip"        ? NetParams::OFS_IP
                             : strField == "mask"    ? NetParams::OFS_MASK
                             : strField == "gateway" ? NetParams::OFS_GATEWAY
                                                     : 0;
        if (nAddr || strField == "ip") {
            NetParams typed;
            FUZZ_CHECK(typed.SetDottedAt(0, strValue));
            FUZZ_CHECK(rec.GetU32(nAddr) == typed.GetU32(0));
        } else if (strField == "port") {
            FUZZ_CHECK(rec.Port() == Decimal(strValue));
        } else if (strField == "timeout") {
            FUZZ_CHECK(rec.Timeout() == Decimal(strValue));
        } else if (IsSecretField(strField)) {
            const size_t nOfs = strField == "des-key"     ? NetParams::OFS_DES_KEY
                                : strField == "tdes-key1" ? NetParams::OFS_TDES_KEY1
                                : strField == "tdes-key2" ? NetParams::OFS_TDES_KEY2
                                                          : NetParams::OFS_TDES_KEY3;
            FUZZ_CHECK(HexText(rec.Data() + nOfs, NetParams::KEY_LEN) == Upper(strValue));
        }
    }
    for (size_t i = NetParams::OFS_RESERVED; i < NetParams::OFS_COMM_ADDR; ++i)
        FUZZ_CHECK(rec[i] == 0);
    uint8_t abPlain[PLAIN_WRITE_LEN] = {};
    edits.ApplyProperties(abPlain);
    FUZZ_CHECK((abPlain[24] & 0x10) == 0); // dial-up backup is never written on
}

void CheckDotted(const std::string& str) {
    NetParams rec;
    rec.SetU32(NetParams::OFS_MASK, 0xA5A5A5A5);
    if (!rec.SetDottedAt(NetParams::OFS_MASK, str)) {
        FUZZ_CHECK(rec.GetU32(NetParams::OFS_MASK) == 0xA5A5A5A5);
        return;
    }
    FUZZ_CHECK(str.find_first_not_of("0123456789.") == std::string::npos);
    NetParams again;
    FUZZ_CHECK(again.SetDottedAt(0, rec.DottedAt(NetParams::OFS_MASK)));
    FUZZ_CHECK(again.GetU32(0) == rec.GetU32(NetParams::OFS_MASK));
}

void CheckSerialTexts(const std::string& strPort, const std::string& strParity,
                      const std::string& strBaud, uint32_t nUnitAddr) {
    const auto scp = ScpParams::Make(strPort, nUnitAddr, strParity, strBaud);
    FUZZ_CHECK(scp.has_value() == ScpParams::TextProblem(strPort, strParity, strBaud).empty());
    if (scp) {
        // A field keeps the text up to its first NUL, never more than was typed.
        FUZZ_CHECK(scp->PortName() == strPort.substr(0, strPort.find('\0')));
        FUZZ_CHECK(scp->BaudText() == strBaud.substr(0, strBaud.find('\0')));
        FUZZ_CHECK(scp->UnitAddress() == nUnitAddr);
        FUZZ_CHECK(scp->BaudRate() >= 0 && scp->BaudRate() <= 999999);
        FUZZ_CHECK(scp->PortNumber() >= 1 && scp->PortNumber() <= 255 - '0');
        FUZZ_CHECK(scp->ParityIndex() >= 0 && scp->ParityIndex() <= 2);
        if (scp->PortDigitValid()) FUZZ_CHECK(scp->PortNumber() <= 9);
    }
    const std::string strProblem = CSerlComm::PortNameProblem(strPort);
    const bool bCom = strPort.size() == 4 && strPort.rfind("COM", 0) == 0 && strPort[3] >= '1' &&
                      strPort[3] <= '9';
    FUZZ_CHECK(strProblem.empty() == bCom);
    // The refusal shows the name, but never a control character from it.
    FUZZ_CHECK(std::none_of(strProblem.begin(), strProblem.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    }));
}

void CheckMode(const std::string& str) {
    serialdev::SLineMode mode;
    const int nResult = serialdev::BuildLineMode(str, mode);
    FUZZ_CHECK(nResult == 0 || nResult == EINVAL);
    if (nResult) return;
    FUZZ_CHECK(mode.m_nBaud >= 0);
    FUZZ_CHECK(mode.m_nDataBits >= 5 && mode.m_nDataBits <= 8);
    FUZZ_CHECK(mode.m_nStopBits == 1 || mode.m_nStopBits == 2);
    FUZZ_CHECK(mode.m_cParity == 'n' || mode.m_cParity == 'o' || mode.m_cParity == 'e');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::vector<std::string> lines = Lines(pData, nSize);
    CheckEdits(lines);
    for (const auto& str : lines) {
        CheckDotted(str);
        CheckMode(str);
    }
    const auto line = [&](size_t i) { return i < lines.size() ? lines[i] : std::string(); };
    CheckSerialTexts(line(0), line(1), line(2), nSize ? pData[0] * 0x01010101u : 0);
    return 0;
}
