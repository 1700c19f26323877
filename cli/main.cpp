// velorctl: configure, reset and flash a Velor unit from a command line, with the
// same jobs as the desktop utility.

#include <malloc.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "cli/Commands.h"
#include "cli/Fleet.h"
#include "cli/Output.h"
#include "cli/Scan.h"
#include "cli/SettingsFile.h"
#include "platform/Trace.h"
#include "velor/Version.h"

namespace {

void InstallTrace() {
    static const auto s_start = std::chrono::steady_clock::now();
    // Called under the trace's own lock: the last command needs no other.
    static uint8_t s_nLastCommand = 0;
    SetTraceSink([](ETraceDir eDir, const uint8_t* p, size_t n) {
        const double dT =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - s_start).count();
        const bool bSent = eDir == ETraceDir::Sent;
        char sz[32];
        std::snprintf(sz, sizeof sz, "[%9.3f] %s ", dT, bSent ? "->" : "<-");
        COutput::Std().ErrLine(sz + out::TraceText(bSent, p, n, s_nLastCommand));
    });
}

constexpr const char* NOTE_UDP_FORM =
    "--udp wants a dotted IPv4 address and an optional port 1..65535, e.g. 192.168.0.132:3001";

void Note(const std::string& strText) {
    COutput::Std().Note(strText);
}

int Usage(const std::string& strText) {
    Note(strText);
    return EXIT_USAGE;
}

} // namespace

int main(int argc, char** argv) {
    // Every download holds its image's blocks (half a megabyte and more) on its own
    // thread. A fixed threshold hands such buffers back to the system when freed and
    // lets them grow in place; glibc's sliding one keeps them in per-thread heaps,
    // which with --fleet adds up to megabytes a unit.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    CLI::App app{"velorctl: configure, reset and flash a Velor unit (Orvik, Orvane, Orlith) over "
                 "UDP or a serial port.\nExit status: 0 success, 1 the unit refused or "
                 "verification failed, 2 usage error, 3 no answer or communication failure, 4 "
                 "image file error."};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("velorctl ") + VELOR_VERSION,
                         "print the version and exit");

    std::string strUdp, strSerial, strParity = "even";
    SLinkOptions link;
    bool bTrace = false, bYes = false, bJson = false;
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
    std::string strFleet;
    unsigned nJobs = 0;
    auto* pFleet = app.add_option("--fleet", strFleet,
                                  "run the command on every unit of a CSV file: header "
                                  "target,addr,line-baud,line-parity,FIELD... (see the README)");
    auto* pJobs = app.add_option("-j,--jobs", nJobs,
                                 "with --fleet: at most N units at once (default: every UDP "
                                 "unit at once, each serial port one unit at a time)")
                      ->check(CLI::Range(1u, FLEET_MAX_PARALLEL));
    std::string strReport, strResume;
    auto* pReport = app.add_option("--report", strReport,
                                   "with --fleet: append one JSON line for each unit as it ends "
                                   "(a campaign report; never holds a key)");
    auto* pResume = app.add_option("--resume", strResume,
                                   "with --fleet: skip the units this report has done (last "
                                   "line success, current or unchanged) and append to it");
    pReport->needs(pFleet);
    pResume->needs(pFleet);
    pFleet->excludes(pUdp);
    pFleet->excludes(pSerial);
    pJobs->needs(pFleet);
    pComm->needs(pUdp);
    pBaud->needs(pSerial);
    pParity->needs(pSerial);
    pUnit->needs(pSerial);
    app.add_flag("--json", bJson, "print one JSON object on stdout");
    app.add_flag("--trace", bTrace, "print every frame sent and received on stderr");
    app.add_flag("--yes", bYes, "answer OK to the \"Check Switches\" notice");

    auto* pStatus = app.add_subcommand(
        "status", "serial number, keys enabled, configuration switch, properties mode, check word");
    auto* pRead = app.add_subcommand("read", "the unit's network parameters");
    auto* pWrite = app.add_subcommand(
        "write", "change the named fields: reads, changes only those, writes, verifies");
    std::vector<std::string> assignments;
    bool bReset = false;
    pWrite->add_option("FIELD=VALUE", assignments,
                       FieldNames(false) +
                           " (keys as exactly 16 hex digits; a key on the "
                           "command line is visible to every local user in the process list: "
                           "give keys with --from - instead); in properties mode also " +
                           FieldNames(true));
    std::string strFrom;
    pWrite->add_option("--from", strFrom,
                       "the settings saved by `read --json` (- for stdin, the way to give "
                       "keys unseen); FIELD=VALUE replace single fields of it");
    pWrite->add_flag("--reset", bReset, "reset the unit after a verified write");
    auto* pResetCmd = app.add_subcommand("reset", "reset the unit");
    auto* pFlash = app.add_subcommand("flash", "download the image and compare the check word");
    std::string strImage;
    pFlash->add_option("IMAGE", strImage, "S-record or Intel HEX file")->required();
    bool bDryRun = false, bIfNeeded = false;
    pFlash->add_flag("--if-needed", bIfNeeded,
                     "ask the unit's status first; when its check word is the image's (and not "
                     "0) report `current` and send nothing");
    pFlash->add_flag("--dry-run", bDryRun,
                     "check the whole image and tell what would be sent and how long it would "
                     "take at the link's line rate; no unit is needed");
    auto* pPorts = app.add_subcommand(
        "ports", "list the machine's serial ports (USB vendor:product, manufacturer, product, "
                 "serial) and what COM1..COM9 resolve to");
    pPorts->add_flag("--json", bJson, "print one JSON object on stdout");
    SScanOptions scan;
    auto* pScan = AddScanCommand(app, scan);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return EXIT_USAGE;
    }

    if (pScan->parsed()) {
        if (!strUdp.empty() || !strSerial.empty() || !strFleet.empty() || bTrace)
            return Usage("scan names its own target; leave out --udp, --serial, --fleet and "
                         "--trace");
        scan.m_bJson = scan.m_bJson || bJson;
        scan.m_bYes = scan.m_bYes || bYes;
        return RunScan(scan);
    }
    if (pPorts->parsed()) {
        if (!strFleet.empty()) return Usage("ports lists this machine's ports; leave out --fleet");
        return RunPorts(bJson);
    }
    if (!strFleet.empty() && bTrace)
        return Usage("--trace follows one unit; leave it out with --fleet");
    if (!strFleet.empty() && bDryRun) return Usage("flash --dry-run needs no --fleet");
    if (bDryRun && bIfNeeded) return Usage("flash --dry-run asks no unit; leave out --if-needed");

    // write --from: the saved settings, then the command line's fields on top.
    SSettingsFile saved;
    if (pWrite->parsed()) {
        std::string strError;
        if (!strFrom.empty() && !ReadSettingsFile(strFrom, saved, strError)) return Usage(strError);
        if (!saved.m_ignored.empty()) {
            std::string strKeys;
            for (const auto& str : saved.m_ignored)
                strKeys += (strKeys.empty() ? "" : ", ") + str;
            Note((strFrom == "-" ? "stdin" : strFrom) + ": " + strKeys +
                 " describe the unit and are not written");
        }
        CFieldEdits check;
        if (!check.Parse(assignments, strError)) return Usage(strError);
        if (strFrom.empty() && assignments.empty() && strFleet.empty())
            return Usage("write wants FIELD=VALUE or --from FILE");
    }

    if (!strFleet.empty()) {
        SFleetCommand cmd;
        cmd.m_eMode = pStatus->parsed()     ? ECommandMode::Status
                      : pRead->parsed()     ? ECommandMode::Read
                      : pWrite->parsed()    ? ECommandMode::Write
                      : pResetCmd->parsed() ? ECommandMode::Reset
                                            : ECommandMode::Flash;
        cmd.m_bJson = bJson;
        cmd.m_bYes = bYes;
        cmd.m_bReset = bReset;
        cmd.m_strImagePath = strImage;
        cmd.m_fileAssignments = saved.m_assignments;
        cmd.m_assignments = assignments;
        cmd.m_bIfNeeded = bIfNeeded;
        cmd.m_strResume = strResume;
        cmd.m_strReport = strReport.empty() ? strResume : strReport;
        return RunFleet(strFleet, nJobs, cmd);
    }

    if (bDryRun) {
        if (!strUdp.empty() && !ParseHostPort(strUdp, link.m_strHost, link.m_nUdpPort))
            return Usage(NOTE_UDP_FORM);
        link.m_bUdp = !strUdp.empty();
        link.m_strSerialPort = strSerial;
        link.m_strParity = strParity;
        SCommand cmd;
        cmd.m_eMode = ECommandMode::Flash;
        cmd.m_strImagePath = strImage;
        cmd.m_bDryRun = true;
        SCommandOutput output;
        output.m_bJson = bJson;
        return RunCommand(link, cmd, output).m_nExit;
    }

    if (strUdp.empty() && strSerial.empty()) {
        return Usage("name the unit with --udp HOST[:PORT] or --serial PORT, or the units with "
                     "--fleet FILE");
    }
    link.m_bUdp = !strUdp.empty();
    if (link.m_bUdp && !ParseHostPort(strUdp, link.m_strHost, link.m_nUdpPort)) {
        return Usage(NOTE_UDP_FORM);
    }
    link.m_strSerialPort = strSerial;
    link.m_strParity = strParity;

    SCommand cmd;
    cmd.m_eMode = pStatus->parsed()     ? ECommandMode::Status
                  : pRead->parsed()     ? ECommandMode::Read
                  : pWrite->parsed()    ? ECommandMode::Write
                  : pResetCmd->parsed() ? ECommandMode::Reset
                                        : ECommandMode::Flash;
    cmd.m_bYes = bYes;
    cmd.m_bReset = bReset;
    cmd.m_bIfNeeded = bIfNeeded;
    cmd.m_strImagePath = strImage;
    if (pWrite->parsed()) {
        std::string strError;
        cmd.m_edits.Parse(MergeAssignments({saved.m_assignments, assignments}), strError);
        std::vector<std::string> fromFile;
        for (const auto& str : saved.m_assignments) {
            const std::string strField = str.substr(0, str.find('='));
            if (std::none_of(assignments.begin(), assignments.end(), [&](const std::string& a) {
                    return a.substr(0, a.find('=')) == strField;
                }))
                fromFile.push_back(strField);
        }
        cmd.m_edits.MarkFromFile(fromFile);
    }
    if (bTrace) InstallTrace();
    SCommandOutput output;
    output.m_bJson = bJson;
    output.m_bTerminal = ::isatty(STDERR_FILENO) != 0;
    return RunCommand(link, cmd, output).m_nExit;
}
