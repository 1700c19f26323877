// velorsim: a simulated Velor unit on a pseudo-terminal and/or a UDP port, or a site
// of many units on consecutive loopback addresses.

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <pthread.h>

#include "platform/HexText.h"
#include "sim/SimSite.h"
#include "sim/SimUnit.h"
#include "velor/Version.h"

namespace {

// Options that become the unit's record and start-up state once parsed.
struct SUnitArgs {
    std::string m_strIp, m_strMask, m_strGateway;
    std::string m_strDesKey, m_strTdes1, m_strTdes2, m_strTdes3, m_strScp;
    int m_nRecordPort = -1;
    int m_nTimeout = -1;
    bool m_bKeysDisabled = false;
    bool m_bRunning = false;
    bool m_bNoResync = false;
    bool m_bSerialStoresScp = false;
};

struct SSiteArgs {
    size_t m_nUnits = 0;
    SSiteLayout m_layout;
    std::string m_strFleetFile;
};

struct SArgs {
    SSimOptions m_opts;
    SUnitArgs m_unit;
    SSiteArgs m_site;
    std::string m_strUdp;
    std::string m_strParity = "even";
    std::string m_strStateFile;
    bool m_bPrintState = false;
    bool m_bSerialNoGiven = false;
};

// "[HOST:]PORT" into host and port.
bool ParseUdp(const std::string& strText, std::string& strHost, uint16_t& nPort) {
    const size_t nColon = strText.rfind(':');
    const std::string strPort = nColon == std::string::npos ? strText : strText.substr(nColon + 1);
    if (nColon != std::string::npos) strHost = strText.substr(0, nColon);
    if (strPort.empty() || strPort.size() > 5 ||
        strPort.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long n = std::stoul(strPort);
    if (n > 65535) return false;
    nPort = static_cast<uint16_t>(n);
    return !strHost.empty();
}

bool WriteFileAtomically(const std::string& strPath, const std::string& strText) {
    // Written beside and renamed, so a reader never sees half a file.
    const std::string strTmp = strPath + ".tmp";
    {
        std::ofstream out(strTmp, std::ios::trunc);
        out << strText << '\n';
        if (!out.flush()) return false;
    }
    return std::rename(strTmp.c_str(), strPath.c_str()) == 0;
}

void AddTransportOptions(CLI::App& app, SArgs& a) {
    const std::string T = "Transports";
    SSimOptions& o = a.m_opts;
    app.add_flag("--pty", o.m_bPty,
                 "Create a pseudo-terminal pair; the utility opens the path printed as "
                 "\"pty: PATH\"")
        ->group(T);
    app.add_option("--device", o.m_strDevice,
                   "Serve this serial device instead of a pseudo-terminal")
        ->group(T);
    app.add_option("--udp", a.m_strUdp,
                   "Serve UDP on [HOST:]PORT (host 127.0.0.1 unless given; port 0 takes any "
                   "free port, printed as \"udp: HOST:PORT\"); with --site the first unit's")
        ->group(T);
    app.add_option("--baud", o.m_nBaud,
                   "Pace the serial side at this line rate in both directions (default: no "
                   "pacing)")
        ->check(CLI::NonNegativeNumber)
        ->group(T);
    app.add_option("--parity", a.m_strParity,
                   "Parity of the paced line: 11 bits a character with odd or even parity, 10 "
                   "with none (default even)")
        ->check(CLI::IsMember({"none", "odd", "even"}))
        ->group(T);
}

void AddRecordOptions(CLI::App& app, SUnitArgs& u, const std::string& G) {
    app.add_option("--ip", u.m_strIp, "Unit IP address in the record (default 192.168.0.132)")
        ->group(G);
    app.add_option("--mask", u.m_strMask, "Subnet mask in the record (default 255.255.255.0)")
        ->group(G);
    app.add_option("--gateway", u.m_strGateway, "Gateway in the record (default 192.168.0.1)")
        ->group(G);
    app.add_option("--port", u.m_nRecordPort,
                   "UDP port in the record (default 3001); not the port velorsim listens on")
        ->check(CLI::Range(0, 65535))
        ->group(G);
    app.add_option("--timeout", u.m_nTimeout, "Redundant server timeout in the record (default 30)")
        ->check(CLI::Range(0, 65535))
        ->group(G);
    app.add_option("--des-key", u.m_strDesKey, "DES key in the record, 16 hex digits")->group(G);
    app.add_option("--tdes-key1", u.m_strTdes1, "TDES key 1 in the record, 16 hex digits")
        ->group(G);
    app.add_option("--tdes-key2", u.m_strTdes2, "TDES key 2 in the record, 16 hex digits")
        ->group(G);
    app.add_option("--tdes-key3", u.m_strTdes3, "TDES key 3 in the record, 16 hex digits")
        ->group(G);
    app.add_option(
           "--scp", u.m_strScp,
           "Record bytes 24..28 (SCP port properties and comm address), 10 hex digits "
           "(default 0C40010001: comm address 1, though a single unit answers every address; "
           "with --site the last byte is each unit's own comm address, 0 unless --addr "
           "or --site-addr-every says otherwise)")
        ->group(G);
}

void AddUnitOptions(CLI::App& app, SSimOptions& o, SUnitArgs& u) {
    const std::string U = "Unit";
    app.add_option("--serial-no", o.m_nSerialNo,
                   "Serial number in the status record (decimal or 0x hex; default 0x1234; "
                   "with --site the first unit's, default 0x1001)")
        ->group(U);
    app.add_flag("--keys-disabled", u.m_bKeysDisabled,
                 "Clear the keys-enabled bit of the status record")
        ->group(U);
    AddRecordOptions(app, u, U);
    app.add_flag("--serial-stores-scp", u.m_bSerialStoresScp,
                 "A write over the serial link stores the zeros the utility sends at record "
                 "bytes 24..28 (the unit's own port settings), so its read-back does not compare; "
                 "by default the unit keeps its own values there, as the serial link expects")
        ->group(U);
    app.add_flag("--serial-keeps-scp", o.m_bSerialKeepsScp,
                 "The default; kept for scripts that name it")
        ->group(U);
    app.add_option("--addr", o.m_nAddr,
                   "Answer only frames addressed to N: the unit address on the serial line; "
                   "over UDP the comm address of a command (polls are answered whatever they "
                   "carry); default: every address (with --site: comm address 0)")
        ->check(CLI::Range(0, 255))
        ->group(U);
    app.add_flag("--strict-line", o.m_bStrictLine,
                 "Pseudo-terminal: take what the other end writes at a rate other than "
                 "--baud, or with odd parity when --parity is not odd (or the reverse), as "
                 "noise; a pseudo-terminal does not tell none from even")
        ->group(U);
    app.add_flag("--no-resync-on-start", u.m_bNoResync,
                 "Do not ask for resynchronisation in the first reply after a restart")
        ->group(U);
    app.add_flag("--running", u.m_bRunning,
                 "Stand for a unit that has been running for a while: the first reply after "
                 "velorsim starts does not ask for resynchronisation (a unit just powered on does)")
        ->group(U);
}

// The faults that change what a reply says.
void AddReplyFaultOptions(CLI::App& app, SSimFaults& f, const std::string& F) {
    app.add_option("--garble-every", f.m_nGarbleEvery,
                   "Spoil the last checksum of every Nth reply (1: every reply)")
        ->check(CLI::NonNegativeNumber)
        ->group(F);
    app.add_flag("--high-bits", f.m_bHighBits, "Set control bits 0xE0 in every reply")->group(F);
    app.add_option("--resync-replies", f.m_nResyncReplies,
                   "Refuse the next N requests with a resynchronisation reply (0x10)")
        ->check(CLI::NonNegativeNumber)
        ->group(F);
    app.add_flag("--wrong-check-word", f.m_bWrongCheckWord,
                 "Report a check word other than the loaded one")
        ->group(F);
    app.add_flag("--check-word-zero", f.m_bCheckWordZero, "Report check word 0 (no check)")
        ->group(F);
    app.add_option("--status-count", f.m_nStatusCount,
                   "Data count of the status reply (default 46; cut short or zero-padded)")
        ->check(CLI::Range(0, 252))
        ->group(F);
    app.add_flag("--switch-off", f.m_bSwitchOff, "Configuration switch (SW 3, dipswitch 2) off")
        ->group(F);
    app.add_flag("--properties-mode", f.m_bPropertiesMode, "Status byte 37 = 8 (properties mode)")
        ->group(F);
    app.add_option("--oversize-reply", f.m_nOversizeReply,
                   "UDP: pad every reply datagram with zeros to this many bytes (e.g. 300, 600)")
        ->check(CLI::Range(0, 65507))
        ->group(F);
}

// The faults that change whether and when the unit answers, or what it does.
void AddFaultOptions(CLI::App& app, SSimFaults& f) {
    const std::string F = "Faults";
    app.add_flag("--silent", f.m_bSilent, "Answer nothing")->group(F);
    app.add_option("--silent-after", f.m_nSilentAfterFrames,
                   "Answer the first N frames, then nothing")
        ->check(CLI::NonNegativeNumber)
        ->group(F);
    AddReplyFaultOptions(app, f, F);
    app.add_flag("--reject-load", f.m_bRejectLoad,
                 "Answer the end-of-load block (load rejected, no restart)")
        ->group(F);
    app.add_flag("--answer-reset", f.m_bAnswerReset, "Answer the reset request and do not restart")
        ->group(F);
    app.add_flag("--store-mismatch", f.m_bStoreMismatch,
                 "Store a parameter record that differs from the one written (TDES key 1 byte 0 "
                 "inverted)")
        ->group(F);
    app.add_option("--stop-after-load-blocks", f.m_nStopAfterLoadBlocks,
                   "Accept N load blocks, then answer nothing")
        ->check(CLI::NonNegativeNumber)
        ->group(F);
    app.add_flag("--polls-only", f.m_bPollsOnly, "Answer empty frames, never a command")->group(F);
    app.add_option("--reply-delay", f.m_nReplyDelayMs, "Wait this many ms before every reply")
        ->check(CLI::NonNegativeNumber)
        ->group(F);
    app.add_option("--unsolicited", f.m_nUnsolicitedMs,
                   "UDP: send a valid empty frame to the last peer every N ms (not in a site)")
        ->check(CLI::NonNegativeNumber)
        ->group(F);
    app.add_option("--stray-before-block", f.m_nStrayBeforeBlock,
                   "UDP: just before the reply to the Nth accepted load block, send a datagram "
                   "that is not a valid reply (see --stray)")
        ->check(CLI::NonNegativeNumber)
        ->group(F);
    app.add_option("--stray-before-exchange", f.m_nStrayBeforeExchange,
                   "UDP: the same before the Nth reply of any kind")
        ->check(CLI::NonNegativeNumber)
        ->group(F);
    std::map<std::string, SSimFaults::EStray> stray;
    for (size_t i = 0; i < std::size(SSimFaults::STRAY_NAMES); ++i)
        stray[SSimFaults::STRAY_NAMES[i]] = static_cast<SSimFaults::EStray>(i);
    app.add_option("--stray", f.m_eStray,
                   "What the stray datagram is: bad-sum (the reply with a spoiled checksum, the "
                   "default), high-bits (control bits 0xE0), short (3 bytes), empty, long (600 "
                   "bytes), duplicate (the previous reply again)")
        ->transform(CLI::CheckedTransformer(stray))
        ->group(F);
}

void AddSiteOptions(CLI::App& app, SSiteArgs& s) {
    const std::string S = "Site";
    SSiteLayout& l = s.m_layout;
    app.add_option("--site", s.m_nUnits,
                   "Play N units in this one process, one UDP socket each, on consecutive "
                   "loopback addresses from --udp's host (default 127.1.0.1:3001), every one "
                   "with its own serial number, check word and record; each is listed as "
                   "\"unit: HOST:PORT serial-no=0x.... comm-addr=N check-word=0x.... faults=...\", "
                   "then \"site: N units\" says all are ready")
        ->check(CLI::Range(1, 65535))
        ->group(S);
    app.add_option("--site-step", l.m_nStep, "Addresses from one unit to the next (default 1)")
        ->check(CLI::Range(1, 1 << 24))
        ->group(S);
    app.add_option("--site-silent-every", l.m_nSilentEvery, "Every Nth unit answers nothing")
        ->group(S);
    app.add_option("--site-slow-every", l.m_nSlowEvery,
                   "Every Nth unit waits --site-slow-ms before every reply")
        ->group(S);
    app.add_option("--site-slow-ms", l.m_nSlowMs, "The slow units' reply delay (default 200)")
        ->check(CLI::NonNegativeNumber)
        ->group(S);
    app.add_option("--site-addr-every", l.m_nOtherAddrEvery,
                   "Every Nth unit has comm address --site-other-addr")
        ->group(S);
    app.add_option("--site-other-addr", l.m_nOtherAddr, "That other comm address (default 2)")
        ->check(CLI::Range(0, 15))
        ->group(S);
    app.add_option("--site-check-word", l.m_nFirstCheckWord,
                   "The first unit's check word; the others count up (default 0x8001)")
        ->group(S);
    app.add_option("--site-fleet-file", s.m_strFleetFile,
                   "Once ready, write the units as a velorctl --fleet file (target, addr)")
        ->group(S);
}

void AddOutputOptions(CLI::App& app, SArgs& a) {
    const std::string O = "Output";
    app.add_flag("--trace", a.m_opts.m_bTrace,
                 "Print every frame in hex on stderr: seconds since start, link, rx/tx/drop "
                 "(not in a site); a parameter record and a write's new key show as their "
                 "length, bytes dropped or heard as noise as their count")
        ->group(O);
    app.add_option("--state-file", a.m_strStateFile,
                   "Write the unit's state (a site's: an array) as JSON to this file at exit and "
                   "on SIGUSR1 (without it, SIGUSR1 prints the state on stdout)")
        ->group(O);
    app.add_flag("--print-state", a.m_bPrintState,
                 "Print the unit's state as JSON on stdout at exit")
        ->group(O);
}

// The record options into the record; false with a message naming the option.
bool ApplyRecordArgs(const SUnitArgs& u, NetParams& rec, std::string& strError) {
    const struct {
        const std::string& strText;
        size_t nOfs;
        const char* pszName;
    } dotted[] = {{u.m_strIp, NetParams::OFS_IP, "--ip"},
                  {u.m_strMask, NetParams::OFS_MASK, "--mask"},
                  {u.m_strGateway, NetParams::OFS_GATEWAY, "--gateway"}};
    for (const auto& d : dotted)
        if (!d.strText.empty() && !rec.SetDottedAt(d.nOfs, d.strText))
            return strError = std::string(d.pszName) + " wants a.b.c.d, not " + d.strText, false;
    const struct {
        const std::string& strText;
        size_t nOfs;
        size_t nLen;
        const char* pszName;
    } hex[] = {{u.m_strDesKey, NetParams::OFS_DES_KEY, 8, "--des-key"},
               {u.m_strTdes1, NetParams::OFS_TDES_KEY1, 8, "--tdes-key1"},
               {u.m_strTdes2, NetParams::OFS_TDES_KEY2, 8, "--tdes-key2"},
               {u.m_strTdes3, NetParams::OFS_TDES_KEY3, 8, "--tdes-key3"},
               {u.m_strScp, NetParams::OFS_SCP_PROPS, 5, "--scp"}};
    for (const auto& h : hex) {
        uint8_t ab[8];
        // A key's digits are not repeated in the refusal.
        if (!h.strText.empty() && !ParseHexText(h.strText, ab, h.nLen))
            return strError = std::string(h.pszName) + " wants " + std::to_string(2 * h.nLen) +
                              " hex digits",
                   false;
        if (!h.strText.empty()) std::copy(ab, ab + h.nLen, rec.Data() + h.nOfs);
    }
    if (u.m_nRecordPort >= 0) rec.SetPort(static_cast<uint16_t>(u.m_nRecordPort));
    if (u.m_nTimeout >= 0) rec.SetTimeout(static_cast<uint16_t>(u.m_nTimeout));
    return true;
}

// Everything parsed into the options; false with a message.
bool ApplyArgs(SArgs& a, std::string& strError) {
    SSimOptions& o = a.m_opts;
    o.m_bParity = a.m_strParity != "none";
    o.m_bOddParity = a.m_strParity == "odd";
    o.m_bKeysEnabled = !a.m_unit.m_bKeysDisabled;
    o.m_bResyncOnRestart = !a.m_unit.m_bNoResync;
    o.m_bSerialKeepsScp = !a.m_unit.m_bSerialStoresScp;
    o.m_bResyncAtStart = !a.m_unit.m_bRunning && !a.m_unit.m_bNoResync;
    if (!a.m_strUdp.empty()) {
        o.m_bUdp = true;
        if (!ParseUdp(a.m_strUdp, o.m_strUdpHost, o.m_nUdpPort))
            return strError = "--udp wants [HOST:]PORT, not " + a.m_strUdp, false;
    }
    if (a.m_site.m_nUnits > 0) {
        if (o.m_bPty || !o.m_strDevice.empty())
            return strError = "a site serves UDP only: no --pty or --device with --site", false;
        SSiteLayout& l = a.m_site.m_layout;
        l.m_nUnits = a.m_site.m_nUnits;
        if (o.m_bUdp) {
            l.m_strFirstHost = o.m_strUdpHost;
            l.m_nPort = o.m_nUdpPort;
        }
        if (a.m_bSerialNoGiven) l.m_nFirstSerialNo = o.m_nSerialNo;
    } else if (!o.m_bPty && o.m_strDevice.empty() && !o.m_bUdp) {
        o.m_bPty = true;
        o.m_bUdp = true;
    }
    return ApplyRecordArgs(a.m_unit, o.m_params, strError);
}

// The server threads inherit this mask; the signals are taken by sigwait.
sigset_t BlockSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

// Until SIGINT or SIGTERM: SIGUSR1 writes the state file, or prints the state.
void ServeUntilSignalled(const sigset_t& signals, const SArgs& a,
                         const std::function<std::string()>& state) {
    for (;;) {
        int nSignal = 0;
        if (sigwait(&signals, &nSignal) != 0) continue;
        if (nSignal != SIGUSR1) break;
        if (a.m_strStateFile.empty()) {
            std::printf("%s\n", state().c_str());
            std::fflush(stdout);
        } else if (!WriteFileAtomically(a.m_strStateFile, state())) {
            std::cerr << "velorsim: cannot write " << a.m_strStateFile << "\n";
        }
    }
}

void FinalState(const SArgs& a, const std::string& strState) {
    if (!a.m_strStateFile.empty() && !WriteFileAtomically(a.m_strStateFile, strState))
        std::cerr << "velorsim: cannot write " << a.m_strStateFile << "\n";
    if (a.m_bPrintState) std::printf("%s\n", strState.c_str());
}

int RunUnit(const SArgs& a, const sigset_t& signals) {
    const SSimOptions& o = a.m_opts;
    CSimServer server;
    std::string strError;
    if (!server.Start(o, &strError)) {
        std::cerr << "velorsim: " << strError << "\n";
        return 1;
    }
    if (o.m_bPty) std::printf("pty: %s\n", server.PtyPath().c_str());
    if (!o.m_strDevice.empty()) std::printf("device: %s\n", server.PtyPath().c_str());
    if (o.m_bUdp) std::printf("udp: %s:%u\n", o.m_strUdpHost.c_str(), server.UdpPort());
    std::fflush(stdout);
    ServeUntilSignalled(signals, a, [&] { return server.StateJson(); });
    server.Stop();
    FinalState(a, server.StateJson());
    return 0;
}

int RunSite(SArgs& a, const sigset_t& signals) {
    SSiteLayout& l = a.m_site.m_layout;
    l.m_base = a.m_opts;
    std::vector<SSiteUnit> units;
    std::string strError;
    CSimSite site;
    if (!LayOutSite(l, units, strError) || !site.Start(std::move(units), &strError)) {
        std::cerr << "velorsim: " << strError << "\n";
        return 1;
    }
    if (!a.m_site.m_strFleetFile.empty() &&
        !WriteFileAtomically(a.m_site.m_strFleetFile, SiteFleetFile(site))) {
        std::cerr << "velorsim: cannot write " << a.m_site.m_strFleetFile << "\n";
        return 1;
    }
    std::string strList;
    for (size_t i = 0; i < site.Size(); ++i)
        strList += SiteUnitLine(site.Unit(i)) + "\n";
    std::printf("%ssite: %zu units\n", strList.c_str(), site.Size());
    std::fflush(stdout);
    ServeUntilSignalled(signals, a, [&] { return site.StateJson(); });
    site.Stop();
    FinalState(a, site.StateJson());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    SArgs a;
    CLI::App app{"velorsim: a simulated Velor unit. It answers the utility's frames on a "
                 "pseudo-terminal (or a serial device) and on a UDP port, keeps a parameter "
                 "record and 512 KiB of program memory, and can be told to misbehave. Once "
                 "ready it prints \"pty: PATH\" and/or \"udp: HOST:PORT\" on stdout. SIGINT or "
                 "SIGTERM ends it (with the state dump); SIGUSR1 dumps the state.",
                 "velorsim"};
    app.footer("Without --pty, --device, --udp or --site it serves a pseudo-terminal and UDP "
               "on 127.0.0.1:3001.");
    app.set_version_flag("--version", std::string("velorsim ") + VELOR_VERSION,
                         "Print the version and exit");
    AddTransportOptions(app, a);
    AddUnitOptions(app, a.m_opts, a.m_unit);
    AddFaultOptions(app, a.m_opts.m_faults);
    AddSiteOptions(app, a.m_site);
    AddOutputOptions(app, a);
    CLI11_PARSE(app, argc, argv);
    a.m_bSerialNoGiven = app.count("--serial-no") > 0;

    std::string strError;
    if (!ApplyArgs(a, strError)) {
        std::cerr << "velorsim: " << strError << "\n";
        return 2;
    }
    const sigset_t signals = BlockSignals();
    return a.m_site.m_nUnits > 0 ? RunSite(a, signals) : RunUnit(a, signals);
}
