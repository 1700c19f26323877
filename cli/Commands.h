#pragma once
// The commands of velorctl, run on the same links and jobs as the desktop utility.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/CliPrompts.h"
#include "params/UnitStatus.h"

struct SLinkOptions {
    bool m_bUdp = false;
    std::string m_strHost; // dotted IPv4 address
    uint16_t m_nUdpPort = 3001;
    uint32_t m_nCommAddr = 0;    // the comm address entered with the unit's IP address
    std::string m_strSerialPort; // "COMn" or a device path
    int m_nBaud = 115200;
    std::string m_strParity = "even";
    uint32_t m_nUnitAddr = 0;
    bool m_bJson = false;
    // With --fleet: what the command would print goes here, as one JSON object.
    std::string* m_pCapture = nullptr;
};

// Each returns the process exit status.
int RunStatus(const SLinkOptions& link, CCliPrompts& prompts);
// The unit's status record; nullopt, with nExit set and the failure shown, when the
// unit gave none. No switch notice.
std::optional<status::CUnitStatus> QueryStatus(const SLinkOptions& link, CCliPrompts& prompts,
                                               int& nExit);
int RunRead(const SLinkOptions& link, CCliPrompts& prompts);
int RunWrite(const SLinkOptions& link, CCliPrompts& prompts);
int RunReset(const SLinkOptions& link, CCliPrompts& prompts);
int RunFlash(const SLinkOptions& link, CCliPrompts& prompts);
// flash --dry-run: checks the image and tells what a flash would send and how long it
// would take on the link's line; nothing is opened.
int RunFlashDryRun(const SLinkOptions& link, CCliPrompts& prompts);
// What a command shows when the image cannot be read or is not one.
std::string ImageProblem(const CImageCheck& check);
// The command the prompts' mode names.
int RunCommand(const SLinkOptions& link, CCliPrompts& prompts);
// A captured JSON object as the aligned lines a command prints, each after strPrefix.
std::string FormatLines(const std::string& strJsonObject, const std::string& strPrefix);
// "a.b.c.d[:port]"; false when it is not one.
bool ParseHostPort(const std::string& str, std::string& strHost, uint16_t& nPort);
int RunPorts(bool bJson);
