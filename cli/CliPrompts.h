#pragma once
// velorctl's answers to a job's dialogs: taken from the command, never from a window.
// Messages go to stderr exactly as the job shows them, one per line.

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "cli/Command.h"
#include "params/NetParams.h"
#include "platform/Prompts.h"

class CCliPrompts : public IPrompts {
public:
    CCliPrompts(const SCommand& cmd, const SCommandOutput& output);

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
    std::shared_ptr<const CLoadImage> ImageInMemory() override { return m_pImage; }
    void LoadStep(bool bEnded) override {
        if (m_fnLoadStep) m_fnLoadStep(bEnded);
    }

    // Our own notes (not a job's messages) also go to stderr.
    void Note(const std::string& strText);

    // Later notices are answered OK: the first was confirmed for the whole command.
    void Confirmed() { m_bYes = true; }
    // A reset job's "Update Successful" is answered OK.
    void ResetAsked() { m_bReset = true; }
    // The download's totals for the progress display, and its clock, started before
    // the first block.
    void StartDownload(size_t nBlocks, size_t nBytes);

    // What the dialogs found out.
    bool UsageRefused() const { return m_bUsageRefused; }
    bool EditRefused() const { return m_bEditRefused; }
    bool Unchanged() const { return m_bUnchanged; } // write: already as asked
    // The record as the configuration dialog got it.
    const std::optional<NetParams>& ReadRecord() const { return m_readRecord; }
    bool PropertiesMode() const { return m_bPropertiesMode; }
    bool KeysEnabled() const { return m_bKeysEnabled; }
    uint32_t SerialNo() const { return m_nSerialNo; }
    bool WriteConfirmed() const { return m_bWriteConfirmed; } // the dialog was answered OK
    bool ResetOffered() const { return m_bResetOffered; }     // "Update Successful" was shown
    bool ResetAnswer() const { return m_bReset; }

private:
    // The answers.
    ECommandMode m_eMode;
    bool m_bYes;
    bool m_bReset;
    std::string m_strImagePath;
    std::shared_ptr<const CLoadImage> m_pImage;
    CFieldEdits m_edits;
    // Where the lines go.
    COutput& m_output;
    FILE* m_pErr;
    std::string m_strPrefix;
    bool m_bTerminal;
    std::function<void(uint64_t nBytes)> m_fnBytesDone;
    std::function<void(bool bEnded)> m_fnLoadStep;
    // What the dialogs saw.
    bool m_bUsageRefused = false;
    bool m_bEditRefused = false;
    bool m_bUnchanged = false;
    std::optional<NetParams> m_readRecord;
    bool m_bPropertiesMode = false;
    bool m_bKeysEnabled = false;
    uint32_t m_nSerialNo = 0;
    bool m_bWriteConfirmed = false;
    bool m_bResetOffered = false;
    bool m_bPropertiesSeen = false;    // the properties dialog ran ...
    bool m_bPropertiesChanged = false; // ... and the edits change what it showed
    // The progress display.
    size_t m_nTotalBlocks = 0;
    size_t m_nTotalBytes = 0;
    std::chrono::steady_clock::time_point m_start{};
    bool m_bProgressStarted = false;
    int m_nLastPercent = -1;
};
