#include "cli/CliPrompts.h"

#include <unistd.h>

#include <cinttypes>
#include <iostream>

#include "cli/Output.h"
#include "params/Texts.h"
#include "platform/SerialDevice.h"

CCliPrompts::CCliPrompts(const SCommand& cmd, const SCommandOutput& output)
    : m_eMode(cmd.m_eMode), m_bYes(cmd.m_bYes), m_bReset(cmd.m_bReset),
      m_strImagePath(cmd.m_strImagePath), m_pImage(cmd.m_pImage), m_edits(cmd.m_edits),
      m_output(*output.m_pOutput), m_pErr(output.m_pOutput->Err()), m_strPrefix(output.m_strPrefix),
      m_bTerminal(output.m_bTerminal), m_fnBytesDone(output.m_fnBytesDone),
      m_fnLoadStep(output.m_fnLoadStep) {}

void CCliPrompts::StartDownload(size_t nBlocks, size_t nBytes) {
    m_nTotalBlocks = nBlocks;
    m_nTotalBytes = nBytes;
    m_start = std::chrono::steady_clock::now();
}

void CCliPrompts::Message(const std::string& strText) {
    std::lock_guard lock(m_output.Lock());
    if (m_bProgressStarted && m_bTerminal) std::fputc('\n', m_pErr);
    m_bProgressStarted = false;
    // Several texts end in a newline of their own; one line per message.
    std::string str = strText;
    while (!str.empty() && str.back() == '\n')
        str.pop_back();
    if (!m_strPrefix.empty()) {
        // A text of several lines keeps the unit's name on each.
        for (size_t nPos = str.find('\n'); nPos != std::string::npos;
             nPos = str.find('\n', nPos + 1 + m_strPrefix.size()))
            str.insert(nPos + 1, m_strPrefix);
    }
    std::fprintf(m_pErr, "%s%s\n", m_strPrefix.c_str(), str.c_str());
    std::fflush(m_pErr);
}

void CCliPrompts::Note(const std::string& strText) {
    m_output.Note(strText, m_strPrefix);
}

void CCliPrompts::PortOpenFailed(const std::string& strDevice, int nError) {
    Note(serialdev::OpenFailureText(strDevice, nError));
}

bool CCliPrompts::SwitchesNotice(ELink eLink) {
    if (m_bYes) return true;
    const char* pszText =
        eLink == ELink::Ethernet ? txt::ETHERNET_SWITCHES_NOTICE : txt::SERIAL_SWITCHES_NOTICE;
    if (!::isatty(STDIN_FILENO)) {
        Note("Check Switches: " + std::string(pszText));
        Note("stdin is not a terminal: confirm the switch settings with --yes");
        m_bUsageRefused = true;
        return false;
    }
    std::fprintf(m_pErr, "Check Switches\n%s\nOK? [y/N] ", pszText);
    std::fflush(m_pErr);
    std::string strAnswer;
    std::getline(std::cin, strAnswer);
    return strAnswer == "y" || strAnswer == "Y" || strAnswer == "yes";
}

bool CCliPrompts::SerialPortDialog(ScpParams&) {
    // Other settings can only come from the command line: end the job.
    return false;
}

bool CCliPrompts::IpAddressDialog(NetParams&) {
    return false;
}

bool CCliPrompts::ConfigDialog(NetParams& rec, bool bPropertiesMode, bool bKeysEnabled,
                               uint32_t nSerialNo) {
    m_readRecord = rec;
    m_bPropertiesMode = m_bPropertiesMode || bPropertiesMode;
    m_bKeysEnabled = bKeysEnabled;
    m_nSerialNo = nSerialNo;
    if (m_eMode != ECommandMode::Write) return false; // read only: Cancel, nothing written
    // Nothing to do is not a refusal, even of a field the unit locks: Cancel, and the
    // job writes nothing and resets nothing.
    const bool bPropertiesHeld =
        !m_edits.HasPropertyFields() || (m_bPropertiesSeen && !m_bPropertiesChanged);
    if (bPropertiesHeld && m_edits.NetworkHeld(rec)) {
        m_bUnchanged = true;
        return false;
    }
    m_edits.DropUnchanged(rec);
    if (bPropertiesMode && m_edits.HasAddressFields()) {
        Note("the unit is in properties mode: its IP address, mask and gateway cannot be changed");
        m_bEditRefused = true;
        return false;
    }
    if (!bKeysEnabled && m_edits.HasKeyFields()) {
        Note("the unit does not allow its keys to be changed");
        m_bEditRefused = true;
        return false;
    }
    if (!m_bPropertiesMode && m_edits.HasPropertyFields()) {
        Note("the unit is not in properties mode: its serial-port properties cannot be changed");
        m_bEditRefused = true;
        return false;
    }
    m_edits.ApplyNetwork(rec);
    m_bWriteConfirmed = true;
    return true;
}

void CCliPrompts::PropertiesDialog(uint8_t* pPlain, size_t nLen, uint32_t nSerialNo) {
    m_bPropertiesMode = true;
    m_nSerialNo = nSerialNo;
    if (m_eMode == ECommandMode::Write && nLen > NetParams::OFS_UNIT_COMM_ADDR) {
        m_bPropertiesSeen = true;
        m_bPropertiesChanged = !m_edits.PropertiesHeld(pPlain);
        m_edits.ApplyProperties(pPlain);
    }
}

bool CCliPrompts::UpdateDoneDialog() {
    m_bResetOffered = true;
    return m_bReset;
}

bool CCliPrompts::ChooseImageFile(std::string& strPath) {
    if (m_strImagePath.empty()) return false;
    strPath = m_strImagePath;
    return true;
}

void CCliPrompts::Progress(uint64_t nDone, uint64_t nTotal) {
    if (m_fnBytesDone) {
        const double dFraction =
            nTotal ? static_cast<double>(nDone) / static_cast<double>(nTotal) : 1.0;
        m_fnBytesDone(static_cast<uint64_t>(dFraction * static_cast<double>(m_nTotalBytes)));
        return;
    }
    std::lock_guard lock(m_output.Lock());
    const auto now = std::chrono::steady_clock::now();
    if (m_start == std::chrono::steady_clock::time_point{}) m_start = now;
    m_bProgressStarted = true;
    const double dFraction =
        nTotal ? static_cast<double>(nDone) / static_cast<double>(nTotal) : 1.0;
    const int nPercent = static_cast<int>(dFraction * 100.0);
    const double dSeconds = std::chrono::duration<double>(now - m_start).count();
    const auto nBytes = static_cast<uint64_t>(dFraction * static_cast<double>(m_nTotalBytes));
    const auto nBlocks = static_cast<uint64_t>(dFraction * static_cast<double>(m_nTotalBlocks));
    const double dRate = dSeconds > 0 ? static_cast<double>(nBytes) / dSeconds : 0.0;
    const double dLeft = dFraction > 0 ? dSeconds * (1.0 - dFraction) / dFraction : 0.0;
    if (m_bTerminal) {
        const int nWidth = 30;
        const int nFill = static_cast<int>(dFraction * nWidth);
        std::fprintf(m_pErr,
                     "\r[%.*s%*s] %3d%%  %" PRIu64 "/%zu blocks  %" PRIu64
                     "/%zu bytes  %.0f B/s  %.0f s left ",
                     nFill, "==============================", nWidth - nFill, "", nPercent, nBlocks,
                     m_nTotalBlocks, nBytes, m_nTotalBytes, dRate, dLeft);
        std::fflush(m_pErr);
    } else if (nPercent / 10 != m_nLastPercent / 10 || nPercent == 100) {
        if (nPercent != m_nLastPercent)
            std::fprintf(m_pErr,
                         "progress: %d%% %" PRIu64 "/%zu blocks %" PRIu64
                         "/%zu bytes %.0f B/s %.0f s left\n",
                         nPercent, nBlocks, m_nTotalBlocks, nBytes, m_nTotalBytes, dRate, dLeft);
        std::fflush(m_pErr);
    }
    m_nLastPercent = nPercent;
}
