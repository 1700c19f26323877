#pragma once
// velorctl's answers to a job's dialogs: taken from the command line, never from a
// window. Messages go to stderr exactly as the job shows them, one per line.

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "cli/FieldEdits.h"
#include "cli/Outcome.h"
#include "cli/Output.h"
#include "firmware/ImageReader.h"
#include "params/NetParams.h"
#include "platform/Prompts.h"

class CCliPrompts : public IPrompts {
public:
    enum class EMode { Status, Read, Write, Reset, Flash };

    CCliPrompts(EMode eMode, COutput& output = COutput::Std())
        : m_eMode(eMode), m_output(output), m_pErr(output.Err()) {}

    // Command-line answers.
    bool m_bYes = false;   // OK to the switch notices
    bool m_bReset = false; // OK to "Update Successful"
    std::string m_strImagePath;
    CFieldEdits m_edits;

    void Message(const std::string& strText) override;
    bool SwitchesNotice(ELink eLink) override;
    bool SerialPortDialog(ScpParams& scp) override;
    bool IpAddressDialog(NetParams& rec) override;
    bool ConfigDialog(NetParams& rec, bool bPropertiesMode, bool bKeysEnabled,
                      uint32_t nSerialNo) override;
    void PropertiesDialog(uint8_t* pPlain, size_t nLen, uint32_t nSerialNo) override;
    bool UpdateDoneDialog() override;
    bool ChooseImageFile(std::string& strPath) override;
    void PortOpenFailed(const std::string& strDevice, int nError) override;
    void Progress(uint64_t nDone, uint64_t nTotal) override;

    EMode Mode() const { return m_eMode; }

    // The download's clock starts here, before the first block.
    void StartClock() { m_start = std::chrono::steady_clock::now(); }

    // Our own notes (not a job's messages) also go to stderr.
    void Note(const std::string& strText);

    // With --fleet: every line this unit writes starts with its target ...
    std::string m_strPrefix;
    // ... and, when set, a download reports its bytes done here instead of drawing.
    std::function<void(uint64_t nBytes)> m_fnBytesDone;
    // How the command ended, for the fleet's table (None: it never reached a job).
    EJobResult m_eResult = EJobResult::None;
    // "current" (flash --if-needed) or "unchanged" (write): a success that sent the
    // unit nothing to change; empty otherwise.
    std::string m_strOutcome;
    bool m_bIfNeeded = false; // flash only when the unit's check word differs
    // The unit's check word before and after the command, where it was learnt.
    std::optional<uint16_t> m_nCheckBefore, m_nCheckAfter;

    // What the run found out.
    bool UsageRefused() const { return m_bUsageRefused; }
    bool EditRefused() const { return m_bEditRefused; }
    std::optional<NetParams> m_readRecord; // the record as the configuration dialog got it
    bool m_bPropertiesMode = false;
    bool m_bKeysEnabled = false;
    uint32_t m_nSerialNo = 0;
    bool m_bWriteConfirmed = false; // the configuration dialog was answered OK
    bool m_bResetAsked = false;     // "Update Successful" was shown

    // With --fleet the image is checked once for every unit.
    std::optional<CImageCheck> m_imageChecked;

    // Totals for the progress display (from the image check).
    size_t m_nTotalBlocks = 0;
    size_t m_nTotalBytes = 0;
    bool m_bTerminal = false; // stderr is a terminal: draw a progress bar

private:
    EMode m_eMode;
    COutput& m_output;
    FILE* m_pErr;
    bool m_bUsageRefused = false;
    bool m_bEditRefused = false;
    bool m_bPropertiesSeen = false;    // the properties dialog ran ...
    bool m_bPropertiesChanged = false; // ... and the edits change what it showed
    std::chrono::steady_clock::time_point m_start{};
    bool m_bProgressStarted = false;
    int m_nLastPercent = -1;
};
