#pragma once
// The commands of velorctl, run on the same links and jobs as the desktop utility
// (RunCommand in cli/Command.h runs one), and the pieces the others share.

#include <cstdint>
#include <string>

#include "cli/Command.h"

// What a command shows when the image cannot be read or is not one.
std::string ImageProblem(const CImageCheck& check);
// A captured JSON object as the aligned lines a command prints, each after strPrefix.
std::string FormatLines(const std::string& strJsonObject, const std::string& strPrefix);
// "a.b.c.d[:port]"; false when it is not one.
bool ParseHostPort(const std::string& str, std::string& strHost, uint16_t& nPort);
int RunPorts(bool bJson);
// The device a port name opens: COMn as the desktop utility resolves it, any other name
// itself; empty, with the reason, for a COM name it has no port for ("COM10" is not
// COM1).
std::string PortDevice(const std::string& strPort, std::string& strProblem);
