#pragma once
// What the Ethernet link reads and writes on the window that runs its job: the
// unit's address and port, the parameter record, the receive length and the
// prompts. The job host (the main window's Qt-free part) is one.

#include <cstdint>
#include <string>

#include "params/NetParams.h"
#include "platform/Prompts.h"

class CLinkHost {
public:
    explicit CLinkHost(IPrompts* pPrompts) : m_pPrompts(pPrompts) {}
    virtual ~CLinkHost() = default;

    IPrompts& Prompts() { return *m_pPrompts; }

    NetParams* m_pNetParams = nullptr;
    std::string m_strTargetIp = "192.168.0.132";
    uint16_t m_nTargetPort = 3001;
    int m_nRecvLen = 512;

protected:
    IPrompts* m_pPrompts;
};
