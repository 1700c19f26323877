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
#include "cli/TextForms.h"
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

// Everything the command line gave.
struct SArgs {
    std::string m_strUdp, m_strSerial, m_strParity = "even";
    SLinkOptions m_link;
    bool m_bTrace = false, m_bYes = false, m_bJson = false;
    std::string m_strFleet;
    unsigned m_nJobs = 0;
    std::string m_strReport, m_strResume;
    // write
    std::vector<std::string> m_assignments;
    std::string m_strFrom;
    bool m_bReset = false;
    // flash
    std::string m_strImage;
    bool m_bDryRun = false, m_bIfNeeded = false;
    SScanOptions m_scan;
    // The subcommands, to tell which one was given.
    CLI::App *m_pStatus = nullptr, *m_pRead = nullptr, *m_pWrite = nullptr, *m_pReset = nullptr,
             *m_pFlash = nullptr, *m_pPorts = nullptr, *m_pScan = nullptr;

    ECommandMode Mode() const {
        return m_pStatus->parsed()  ? ECommandMode::Status
               : m_pRead->parsed()  ? ECommandMode::Read
               : m_pWrite->parsed() ? ECommandMode::Write
               : m_pReset->parsed() ? ECommandMode::Reset
                                    : ECommandMode::Flash;
    }
};

// The unit's link: --udp, or --serial with its line settings.
void AddLinkOptions(CLI::App& app, SArgs& a) {
    auto* pUdp = app.add_option("--udp", a.m_strUdp,
                                "the unit's address HOST[:PORT] (port 3001 by default)");
    auto* pSerial = app.add_option("--serial", a.m_strSerial,
                                   "serial port: COMn (resolved as the desktop utility does: "
                                   "$VELOR_COMn, else /dev/ttyS<n-1>) or a device path");
    pUdp->excludes(pSerial);
    app.add_option("--comm-addr", a.m_link.m_nCommAddr, "comm address (UDP), default 0")
        ->check(CLI::Range(0, 15))
        ->needs(pUdp);
    app.add_option("--baud", a.m_link.m_nBaud, "baud rate (serial), default 115200")
        ->check(CLI::IsMember(LineBauds()))
        ->needs(pSerial);
    app.add_option("--parity", a.m_strParity, "none, odd or even (serial), default even")
        ->check(CLI::IsMember(LineParities()))
        ->needs(pSerial);
    app.add_option("--unit-addr", a.m_link.m_nUnitAddr, "unit address (serial), default 0")
        ->check(CLI::Range(0, 15))
        ->needs(pSerial);
}

// --fleet and what goes with it.
void AddFleetOptions(CLI::App& app, SArgs& a) {
    auto* pFleet = app.add_option("--fleet", a.m_strFleet,
                                  "run the command on every unit of a CSV file: header "
                                  "target,addr,line-baud,line-parity,FIELD... (see the README)");
    app.add_option("-j,--jobs", a.m_nJobs,
                   "with --fleet: at most N units at once (default: every UDP "
                   "unit at once, each serial port one unit at a time)")
        ->check(CLI::Range(1u, FLEET_MAX_PARALLEL))
        ->needs(pFleet);
    app.add_option("--report", a.m_strReport,
                   "with --fleet: append one JSON line for each unit as it ends "
                   "(a campaign report; never holds a key)")
        ->needs(pFleet);
    app.add_option("--resume", a.m_strResume,
                   "with --fleet: skip the units this report has done (last "
                   "line success, current or unchanged) and append to it")
        ->needs(pFleet);
    pFleet->excludes(app.get_option("--udp"));
    pFleet->excludes(app.get_option("--serial"));
}

void AddWriteCommand(CLI::App& app, SArgs& a) {
    a.m_pWrite = app.add_subcommand(
        "write", "change the named fields: reads, changes only those, writes, verifies");
    a.m_pWrite->add_option("FIELD=VALUE", a.m_assignments,
                           FieldNames(false) +
                               " (keys as exactly 16 hex digits; a key on the "
                               "command line is visible to every local user in the process "
                               "list: give keys with --from - instead); in properties mode also " +
                               FieldNames(true));
    a.m_pWrite->add_option("--from", a.m_strFrom,
                           "the settings saved by `read --json` (- for stdin, the way to give "
                           "keys unseen); FIELD=VALUE replace single fields of it");
    a.m_pWrite->add_flag("--reset", a.m_bReset, "reset the unit after a verified write");
}

void AddFlashCommand(CLI::App& app, SArgs& a) {
    a.m_pFlash = app.add_subcommand("flash", "download the image and compare the check word");
    a.m_pFlash->add_option("IMAGE", a.m_strImage, "S-record or Intel HEX file")->required();
    a.m_pFlash->add_flag("--if-needed", a.m_bIfNeeded,
                         "ask the unit's status first; when its check word is the image's (and "
                         "not 0) report `current` and send nothing");
    a.m_pFlash->add_flag("--dry-run", a.m_bDryRun,
                         "check the whole image and tell what would be sent and how long it "
                         "would take at the link's line rate; no unit is needed");
}

void AddPortsCommand(CLI::App& app, SArgs& a) {
    a.m_pPorts = app.add_subcommand(
        "ports", "list the machine's serial ports (USB vendor:product, manufacturer, product, "
                 "serial) and what COM1..COM9 resolve to");
    a.m_pPorts->add_flag("--json", a.m_bJson, "print one JSON object on stdout");
}

void AddCommands(CLI::App& app, SArgs& a) {
    AddLinkOptions(app, a);
    AddFleetOptions(app, a);
    app.add_flag("--json", a.m_bJson, "print one JSON object on stdout");
    app.add_flag("--trace", a.m_bTrace, "print every frame sent and received on stderr");
    app.add_flag("--yes", a.m_bYes, "answer OK to the \"Check Switches\" notice");
    a.m_pStatus = app.add_subcommand(
        "status", "serial number, keys enabled, configuration switch, properties mode, check word");
    a.m_pRead = app.add_subcommand("read", "the unit's network parameters");
    AddWriteCommand(app, a);
    a.m_pReset = app.add_subcommand("reset", "reset the unit");
    AddFlashCommand(app, a);
    AddPortsCommand(app, a);
    a.m_pScan = AddScanCommand(app, a.m_scan);
}

// write --from: the saved settings, then the command line's fields on top; the exit
// status of a usage error, else 0.
int ReadWriteSources(const SArgs& a, SSettingsFile& saved) {
    std::string strError;
    if (!a.m_strFrom.empty() && !ReadSettingsFile(a.m_strFrom, saved, strError))
        return Usage(strError);
    if (!saved.m_ignored.empty()) {
        std::string strKeys;
        for (const auto& str : saved.m_ignored)
            strKeys += (strKeys.empty() ? "" : ", ") + str;
        Note((a.m_strFrom == "-" ? "stdin" : a.m_strFrom) + ": " + strKeys +
             " describe the unit and are not written");
    }
    CFieldEdits check;
    if (!check.Parse(a.m_assignments, strError)) return Usage(strError);
    if (a.m_strFrom.empty() && a.m_assignments.empty() && a.m_strFleet.empty())
        return Usage("write wants FIELD=VALUE or --from FILE");
    return EXIT_OK;
}

int RunOnFleet(const SArgs& a, const SSettingsFile& saved) {
    SFleetCommand cmd;
    cmd.m_eMode = a.Mode();
    cmd.m_bJson = a.m_bJson;
    cmd.m_bYes = a.m_bYes;
    cmd.m_bReset = a.m_bReset;
    cmd.m_strImagePath = a.m_strImage;
    cmd.m_fileAssignments = saved.m_assignments;
    cmd.m_assignments = a.m_assignments;
    cmd.m_bIfNeeded = a.m_bIfNeeded;
    cmd.m_strResume = a.m_strResume;
    cmd.m_strReport = a.m_strReport.empty() ? a.m_strResume : a.m_strReport;
    return RunFleet(a.m_strFleet, a.m_nJobs, cmd);
}

// write's fields: the saved file's, the command line's on top; those only the file
// gave are marked as from it.
CFieldEdits WriteEdits(const SArgs& a, const SSettingsFile& saved) {
    CFieldEdits edits;
    std::string strError; // checked before
    edits.Parse(MergeAssignments({saved.m_assignments, a.m_assignments}), strError);
    std::vector<std::string> fromFile;
    for (const auto& str : saved.m_assignments) {
        const std::string strField = str.substr(0, str.find('='));
        if (std::none_of(a.m_assignments.begin(), a.m_assignments.end(), [&](const std::string& s) {
                return s.substr(0, s.find('=')) == strField;
            }))
            fromFile.push_back(strField);
    }
    edits.MarkFromFile(fromFile);
    return edits;
}

// One unit (or, for a dry run, none).
int RunOnOne(SArgs& a, const SSettingsFile& saved) {
    SLinkOptions& link = a.m_link;
    if (!a.m_bDryRun && a.m_strUdp.empty() && a.m_strSerial.empty())
        return Usage("name the unit with --udp HOST[:PORT] or --serial PORT, or the units with "
                     "--fleet FILE");
    link.m_bUdp = !a.m_strUdp.empty();
    if (link.m_bUdp && !ParseHostPort(a.m_strUdp, link.m_strHost, link.m_nUdpPort))
        return Usage(NOTE_UDP_FORM);
    link.m_strSerialPort = a.m_strSerial;
    link.m_strParity = a.m_strParity;
    SCommand cmd;
    cmd.m_eMode = a.Mode();
    cmd.m_strImagePath = a.m_strImage;
    cmd.m_bDryRun = a.m_bDryRun;
    SCommandOutput output;
    output.m_bJson = a.m_bJson;
    if (!a.m_bDryRun) {
        cmd.m_bYes = a.m_bYes;
        cmd.m_bReset = a.m_bReset;
        cmd.m_bIfNeeded = a.m_bIfNeeded;
        if (a.m_pWrite->parsed()) cmd.m_edits = WriteEdits(a, saved);
        if (a.m_bTrace) InstallTrace();
        output.m_bTerminal = ::isatty(STDERR_FILENO) != 0;
    }
    return RunCommand(link, cmd, output).m_nExit;
}

int RunArgs(SArgs& a) {
    if (a.m_pScan->parsed()) {
        if (!a.m_strUdp.empty() || !a.m_strSerial.empty() || !a.m_strFleet.empty() || a.m_bTrace)
            return Usage("scan names its own target; leave out --udp, --serial, --fleet and "
                         "--trace");
        a.m_scan.m_bJson = a.m_scan.m_bJson || a.m_bJson;
        a.m_scan.m_bYes = a.m_scan.m_bYes || a.m_bYes;
        return RunScan(a.m_scan);
    }
    if (a.m_pPorts->parsed()) {
        if (!a.m_strFleet.empty())
            return Usage("ports lists this machine's ports; leave out --fleet");
        return RunPorts(a.m_bJson);
    }
    const bool bFleet = !a.m_strFleet.empty();
    if (bFleet && a.m_bTrace) return Usage("--trace follows one unit; leave it out with --fleet");
    if (bFleet && a.m_bDryRun) return Usage("flash --dry-run needs no --fleet");
    if (a.m_bDryRun && a.m_bIfNeeded)
        return Usage("flash --dry-run asks no unit; leave out --if-needed");
    SSettingsFile saved;
    if (a.m_pWrite->parsed())
        if (const int nExit = ReadWriteSources(a, saved)) return nExit;
    return bFleet ? RunOnFleet(a, saved) : RunOnOne(a, saved);
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
    SArgs args;
    AddCommands(app, args);
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
    return RunArgs(args);
}
