#include "cli/Output.h"

#include <algorithm>

#include "platform/HexText.h"
#include "platform/OutsideFile.h"
#include "serial/FrameCodec.h"

namespace out {

std::string JsonText(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string ValueText(const json& j) {
    if (j.is_string()) return outside::Printable(j.get<std::string>());
    if (j.is_boolean()) return j.get<bool>() ? "yes" : "no";
    if (j.is_array()) {
        std::string str;
        for (const auto& e : j)
            str += (str.empty() ? "" : " ") + ValueText(e);
        return str;
    }
    return outside::Printable(JsonText(j));
}

std::string Lines(const json& j, const std::string& strPrefix) {
    size_t nWidth = 0;
    for (auto it = j.begin(); it != j.end(); ++it)
        nWidth = std::max(nWidth, outside::Printable(it.key()).size());
    const std::string strShownPrefix = outside::Printable(strPrefix);
    std::string strText;
    for (auto it = j.begin(); it != j.end(); ++it) {
        const std::string strKey = outside::Printable(it.key());
        strText += strShownPrefix + strKey + std::string(nWidth - strKey.size(), ' ') + "  " +
                   ValueText(*it) + "\n";
    }
    return strText;
}

std::string ResultText(const json& j, bool bJson) {
    return bJson ? JsonText(j) + "\n" : Lines(j, {});
}

std::string TraceText(bool bSent, const uint8_t* p, size_t n, uint8_t& nLastSentCommand) {
    // A write request's data is the new DES key (its IV) and the record encrypted with
    // the link's fixed, public key; a read reply's data is that record too.
    bool bMask = false;
    if (bSent && n > frame::OFS_CMD) {
        nLastSentCommand = p[frame::OFS_CMD];
        bMask = nLastSentCommand == frame::CMD_WRITE_PARAMS;
    } else if (!bSent) {
        bMask = nLastSentCommand == frame::CMD_READ_PARAMS ||
                nLastSentCommand == frame::CMD_WRITE_PARAMS;
    }
    const size_t nShown = bMask ? std::min(n, frame::OFS_DATA) : n;
    std::string str = HexText(p, nShown, ' ');
    if (n > nShown) {
        const size_t nRest = n - nShown;
        str += bSent ? " (key)" : "";
        if (!bSent || nRest > 8)
            str += " (record, " + std::to_string(bSent ? nRest - 8 : nRest) + " bytes)";
    }
    return str;
}

} // namespace out

COutput& COutput::Std() {
    static COutput s_out(stdout, stderr);
    return s_out;
}

void COutput::Note(const std::string& strText, const std::string& strPrefix) {
    std::lock_guard lock(m_mutex);
    // A note may carry a file's text (a CSV cell, a JSON key): never raw to the terminal.
    std::fprintf(m_pErr, "%svelorctl: %s\n", outside::Printable(strPrefix).c_str(),
                 outside::Printable(strText).c_str());
    std::fflush(m_pErr);
}

void COutput::ErrLine(const std::string& strText) {
    std::lock_guard lock(m_mutex);
    std::fprintf(m_pErr, "%s\n", strText.c_str());
    std::fflush(m_pErr);
}

void COutput::Out(const std::string& strText) {
    std::lock_guard lock(m_mutex);
    std::fputs(strText.c_str(), m_pOut);
    std::fflush(m_pOut);
}

void COutput::Result(const out::json& j, bool bJson) {
    Out(out::ResultText(j, bJson));
}
