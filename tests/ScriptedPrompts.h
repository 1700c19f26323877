#pragma once
// A prompts double: records every message and dialog in order and answers from a
// script. Thread-safe, since jobs call it from their worker thread.

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "params/NetParams.h"
#include "params/ScpParams.h"
#include "platform/Prompts.h"

class CScriptedPrompts : public IPrompts {
public:
    // Log entries: the message text itself for a message box, "[Name]" for a
    // dialog, followed by " OK" or " Cancel" as answered.
    std::vector<std::string> Log() const {
        std::lock_guard lock(m_mutex);
        return m_log;
    }
    std::vector<std::string> Messages() const {
        std::lock_guard lock(m_mutex);
        std::vector<std::string> v;
        for (const auto& s : m_log)
            if (s.empty() || s[0] != '[') v.push_back(s);
        return v;
    }
    void Clear() {
        std::lock_guard lock(m_mutex);
        m_log.clear();
    }

    // Answers for the dialogs, taken in order; a dialog with no scripted answer is
    // answered with the default (OK unless set otherwise).
    bool m_bDefaultAnswer = true;
    void Answer(const std::string& strDialog, bool bOk) {
        std::lock_guard lock(m_mutex);
        m_answers.push_back({strDialog, bOk});
    }
    // Edits applied when a dialog is answered with OK.
    std::function<void(ScpParams&)> m_fnSerialPort;
    std::function<void(NetParams&)> m_fnIpAddress;
    std::function<void(NetParams&, bool bPropertiesMode, bool bKeysEnabled, uint32_t nSerialNo)>
        m_fnConfig;
    std::function<void(uint8_t* pPlain, size_t nLen, uint32_t nSerialNo)> m_fnProperties;
    std::string m_strImagePath;
    // Called for every message (for example to stop a job from the outside).
    std::function<void(const std::string&)> m_fnOnMessage;

    void Message(const std::string& strText) override {
        {
            std::lock_guard lock(m_mutex);
            m_log.push_back(strText);
        }
        if (m_fnOnMessage) m_fnOnMessage(strText);
    }
    bool SwitchesNotice(ELink eLink) override {
        return Take(eLink == ELink::Serial ? "SerialNotice" : "EthernetNotice");
    }
    bool SerialPortDialog(ScpParams& scp) override {
        const bool bOk = Take("SerialPort");
        if (bOk && m_fnSerialPort) m_fnSerialPort(scp);
        return bOk;
    }
    bool IpAddressDialog(NetParams& rec) override {
        const bool bOk = Take("IpAddress");
        if (bOk && m_fnIpAddress) m_fnIpAddress(rec);
        return bOk;
    }
    bool ConfigDialog(NetParams& rec, bool bPropertiesMode, bool bKeysEnabled,
                      uint32_t nSerialNo) override {
        const bool bOk = Take("Config");
        if (bOk) {
            if (m_fnConfig) m_fnConfig(rec, bPropertiesMode, bKeysEnabled, nSerialNo);
            for (size_t i = NetParams::OFS_RESERVED; i < NetParams::OFS_COMM_ADDR; ++i)
                rec[i] = 0;
        }
        return bOk;
    }
    void PropertiesDialog(uint8_t* pPlain, size_t nLen, uint32_t nSerialNo) override {
        Take("Properties");
        if (m_fnProperties) m_fnProperties(pPlain, nLen, nSerialNo);
    }
    bool UpdateDoneDialog() override { return Take("UpdateDone"); }
    bool ChooseImageFile(std::string& strPath) override {
        const bool bOk = Take("ChooseFile");
        if (bOk) strPath = m_strImagePath;
        return bOk;
    }

private:
    bool Take(const std::string& strDialog) {
        std::lock_guard lock(m_mutex);
        bool bOk = m_bDefaultAnswer;
        for (auto it = m_answers.begin(); it != m_answers.end(); ++it) {
            if (it->first == strDialog) {
                bOk = it->second;
                m_answers.erase(it);
                break;
            }
        }
        m_log.push_back("[" + strDialog + "]" + (bOk ? " OK" : " Cancel"));
        return bOk;
    }

    mutable std::mutex m_mutex;
    std::vector<std::string> m_log;
    std::deque<std::pair<std::string, bool>> m_answers;
};
