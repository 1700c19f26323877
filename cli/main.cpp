// velorctl: configure, reset and flash a Velor unit from a command line, with the
// same jobs as the desktop utility.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>

#include "cli/Commands.h"
#include "platform/HexText.h"
#include "platform/Trace.h"

namespace {

bool ParseHostPort(const std::string& str, std::string& strHost, uint16_t& nPort) {
    const auto nColon = str.find(':');
    strHost = str.substr(0, nColon);
    NetParams probe;
    if (!probe.SetDottedAt(0, strHost)) return false;
    if (nColon == std::string::npos) return true;
    const std::string strPort = str.substr(nColon + 1);
    if (strPort.empty() || strPort.size() > 5 ||
        strPort.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long n = std::stoul(strPort);
    if (n == 0 || n > 65535) return false;
    nPort = static_cast<uint16_t>(n);
    return true;
}

void InstallTrace() {
    static const auto s_start = std::chrono::steady_clock::now();
    SetTraceSink([](ETraceDir eDir, const uint8_t* p, size_t n) {
        const double dT =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - s_start).count();
        std::fprintf(stderr, "[%9.3f] %s %s\n", dT, eDir == ETraceDir::Sent ? "->" : "<-",
                     HexText(p, n, ' ').c_str());
    });
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"velorctl: configure, reset and flash a Velor unit (Orvik, Orvane, Orlith) over "
                 "UDP or a serial port.\nExit status: 0 success, 1 the unit refused or "
                 "verification failed, 2 usage error, 3 no answer or communication failure, 4 "
                 "image file error."};
    app.require_subcommand(1);

    std::string strUdp, strSerial, strParity = "even";
    SLinkOptions link;
    bool bTrace = false, bYes = false;
    auto* pUdp =
        app.add_option("--udp", strUdp, "the unit's address HOST[:PORT] (port 3001 by default)");
    auto* pSerial = app.add_option("--serial", strSerial,
                                   "serial port: COMn (resolved as the desktop utility does: "
                                   "$VELOR_COMn, else /dev/ttyS<n-1>) or a device path");
    pUdp->excludes(pSerial);
    auto* pComm = app.add_option("--comm-addr", link.m_nCommAddr, "comm address (UDP), default 0")
                      ->check(CLI::Range(0, 15));
    auto* pBaud = app.add_option("--baud", link.m_nBaud, "baud rate (serial), default 115200")
                      ->check(CLI::IsMember({1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200}));
    auto* pParity =
        app.add_option("--parity", strParity, "none, odd or even (serial), default even")
            ->check(CLI::IsMember({"none", "odd", "even"}));
    auto* pUnit =
        app.add_option("--unit-addr", link.m_nUnitAddr, "unit address (serial), default 0")
            ->check(CLI::Range(0, 15));
    pComm->needs(pUdp);
    pBaud->needs(pSerial);
    pParity->needs(pSerial);
    pUnit->needs(pSerial);
    app.add_flag("--json", link.m_bJson, "print one JSON object on stdout");
    app.add_flag("--trace", bTrace, "print every frame sent and received on stderr");
    app.add_flag("--yes", bYes, "answer OK to the \"Check Switches\" notice");

    auto* pStatus = app.add_subcommand(
        "status", "serial number, keys enabled, configuration switch, properties mode, check word");
    auto* pRead = app.add_subcommand("read", "the unit's network parameters");
    auto* pWrite = app.add_subcommand(
        "write", "change the named fields: reads, changes only those, writes, verifies");
    std::vector<std::string> assignments;
    bool bReset = false;
    pWrite
        ->add_option("FIELD=VALUE", assignments,
                     "ip, mask, gateway, port, timeout, des-key, tdes-key1, tdes-key2, tdes-key3 "
                     "(keys as 16 hex digits); in properties mode also baud, parity-off, cts, "
                     "encryption, auto-backup, unit-comm-addr")
        ->required();
    pWrite->add_flag("--reset", bReset, "reset the unit after a verified write");
    auto* pResetCmd = app.add_subcommand("reset", "reset the unit");
    auto* pFlash = app.add_subcommand("flash", "download the image and compare the check word");
    std::string strImage;
    pFlash->add_option("IMAGE", strImage, "S-record or Intel HEX file")->required();
    auto* pPorts = app.add_subcommand(
        "ports", "list the machine's serial ports (USB vendor:product, manufacturer, product, "
                 "serial) and what COM1..COM9 resolve to");
    pPorts->add_flag("--json", link.m_bJson, "print one JSON object on stdout");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return EXIT_USAGE;
    }

    if (pPorts->parsed()) return RunPorts(link.m_bJson);

    if (strUdp.empty() && strSerial.empty()) {
        std::fprintf(stderr, "velorctl: name the unit with --udp HOST[:PORT] or --serial PORT\n");
        return EXIT_USAGE;
    }
    link.m_bUdp = !strUdp.empty();
    if (link.m_bUdp && !ParseHostPort(strUdp, link.m_strHost, link.m_nUdpPort)) {
        std::fprintf(stderr, "velorctl: --udp wants a dotted IPv4 address and an optional port "
                             "1..65535, e.g. 192.168.0.132:3001\n");
        return EXIT_USAGE;
    }
    link.m_strSerialPort = strSerial;
    link.m_strParity = strParity;

    CCliPrompts::EMode eMode = pStatus->parsed()     ? CCliPrompts::EMode::Status
                               : pRead->parsed()     ? CCliPrompts::EMode::Read
                               : pWrite->parsed()    ? CCliPrompts::EMode::Write
                               : pResetCmd->parsed() ? CCliPrompts::EMode::Reset
                                                     : CCliPrompts::EMode::Flash;
    CCliPrompts prompts(eMode);
    prompts.m_bYes = bYes;
    prompts.m_bReset = bReset;
    prompts.m_strImagePath = strImage;
    prompts.m_bTerminal = ::isatty(STDERR_FILENO) != 0;
    if (pWrite->parsed()) {
        std::string strError;
        if (!prompts.m_edits.Parse(assignments, strError)) {
            std::fprintf(stderr, "velorctl: %s\n", strError.c_str());
            return EXIT_USAGE;
        }
    }
    if (bTrace) InstallTrace();

    switch (eMode) {
    case CCliPrompts::EMode::Status:
        return RunStatus(link, prompts);
    case CCliPrompts::EMode::Read:
        return RunRead(link, prompts);
    case CCliPrompts::EMode::Write:
        return RunWrite(link, prompts);
    case CCliPrompts::EMode::Reset:
        return RunReset(link, prompts);
    case CCliPrompts::EMode::Flash:
        return RunFlash(link, prompts);
    }
    return EXIT_USAGE;
}
