// velorsim: a simulated Velor unit on a pseudo-terminal and/or a UDP port.

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <pthread.h>

#include "sim/SimUnit.h"
#include "velor/Version.h"

namespace {

bool ParseHex(const std::string& strText, uint8_t* pOut, size_t n) {
    if (strText.size() != 2 * n) return false;
    for (size_t i = 0; i < n; ++i) {
        unsigned nByte = 0;
        for (size_t j = 0; j < 2; ++j) {
            const char c = strText[2 * i + j];
            const int d = (c >= '0' && c <= '9')   ? c - '0'
                          : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                          : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                   : -1;
            if (d < 0) return false;
            nByte = nByte << 4 | static_cast<unsigned>(d);
        }
        pOut[i] = static_cast<uint8_t>(nByte);
    }
    return true;
}

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

bool WriteStateFile(const std::string& strPath, const std::string& strJson) {
    // Written beside and renamed, so a reader never sees half a file.
    const std::string strTmp = strPath + ".tmp";
    {
        std::ofstream out(strTmp, std::ios::trunc);
        out << strJson << '\n';
        if (!out.flush()) return false;
    }
    return std::rename(strTmp.c_str(), strPath.c_str()) == 0;
}

} // namespace

int main(int argc, char** argv) {
    SSimOptions opts;
    SSimFaults& f = opts.m_faults;
    std::string strUdp;
    std::string strParity = "even";
    std::string strIp, strMask, strGateway, strDesKey, strTdes1, strTdes2, strTdes3, strScp;
    int nRecordPort = -1;
    int nTimeout = -1;
    bool bKeysDisabled = false;
    bool bRunning = false;
    bool bNoResync = false;
    std::string strStateFile;
    bool bPrintState = false;

    CLI::App app{"velorsim: a simulated Velor unit. It answers the utility's frames on a "
                 "pseudo-terminal (or a serial device) and on a UDP port, keeps a parameter "
                 "record and 512 KiB of program memory, and can be told to misbehave. Once "
                 "ready it prints \"pty: PATH\" and/or \"udp: HOST:PORT\" on stdout. SIGINT or "
                 "SIGTERM ends it (with the state dump); SIGUSR1 dumps the state.",
                 "velorsim"};
    app.footer("Without --pty, --device or --udp it serves a pseudo-terminal and UDP on "
               "127.0.0.1:3001.");
    app.set_version_flag("--version", std::string("velorsim ") + VELOR_VERSION,
                         "Print the version and exit");

    const std::string T = "Transports";
    app.add_flag("--pty", opts.m_bPty,
                 "Create a pseudo-terminal pair; the utility opens the "
                 "path printed as \"pty: PATH\"")
        ->group(T);
    app.add_option("--device", opts.m_strDevice,
                   "Serve this serial device instead of a "
                   "pseudo-terminal")
        ->group(T);
    app.add_option("--udp", strUdp,
                   "Serve UDP on [HOST:]PORT (host 127.0.0.1 unless given; "
                   "port 0 takes any free port, printed as \"udp: HOST:PORT\")")
        ->group(T);
    app.add_option("--baud", opts.m_nBaud,
                   "Pace the serial side at this line rate in both "
                   "directions (default: no pacing)")
        ->check(CLI::NonNegativeNumber)
        ->group(T);
    app.add_option("--parity", strParity,
                   "Parity of the paced line: 11 bits a character with "
                   "odd or even parity, 10 with none (default even)")
        ->check(CLI::IsMember({"none", "odd", "even"}))
        ->group(T);

    const std::string U = "Unit";
    app.add_option("--serial-no", opts.m_nSerialNo,
                   "Serial number in the status record "
                   "(decimal or 0x hex; default 0x1234)")
        ->group(U);
    app.add_flag("--keys-disabled", bKeysDisabled,
                 "Clear the keys-enabled bit of the status "
                 "record")
        ->group(U);
    app.add_option("--ip", strIp, "Unit IP address in the record (default 192.168.0.132)")
        ->group(U);
    app.add_option("--mask", strMask, "Subnet mask in the record (default 255.255.255.0)")
        ->group(U);
    app.add_option("--gateway", strGateway, "Gateway in the record (default 192.168.0.1)")
        ->group(U);
    app.add_option("--port", nRecordPort,
                   "UDP port in the record (default 3001); not the "
                   "port velorsim listens on")
        ->check(CLI::Range(0, 65535))
        ->group(U);
    app.add_option("--timeout", nTimeout, "Redundant server timeout in the record (default 30)")
        ->check(CLI::Range(0, 65535))
        ->group(U);
    app.add_option("--des-key", strDesKey, "DES key in the record, 16 hex digits")->group(U);
    app.add_option("--tdes-key1", strTdes1, "TDES key 1 in the record, 16 hex digits")->group(U);
    app.add_option("--tdes-key2", strTdes2, "TDES key 2 in the record, 16 hex digits")->group(U);
    app.add_option("--tdes-key3", strTdes3, "TDES key 3 in the record, 16 hex digits")->group(U);
    app.add_option("--scp", strScp,
                   "Record bytes 24..28 (SCP port properties and comm "
                   "address), 10 hex digits (default 0C40010001)")
        ->group(U);
    bool bSerialStoresScp = false;
    app.add_flag("--serial-stores-scp", bSerialStoresScp,
                 "A write over the serial link stores the zeros the utility sends at record "
                 "bytes 24..28 (the unit's own port settings), so its read-back does not compare; "
                 "by default the unit keeps its own values there, as the serial link expects")
        ->group(U);
    app.add_flag("--serial-keeps-scp", opts.m_bSerialKeepsScp,
                 "The default; kept for scripts that name it")
        ->group(U);
    app.add_option("--addr", opts.m_nAddr,
                   "Answer only frames addressed to N: the unit address on the serial line; "
                   "over UDP the comm address of a command (polls are answered whatever they "
                   "carry); default: every address")
        ->check(CLI::Range(0, 255))
        ->group(U);
    app.add_flag("--strict-line", opts.m_bStrictLine,
                 "Pseudo-terminal: take what the other end writes at a rate other than "
                 "--baud, or with odd parity when --parity is not odd (or the reverse), as "
                 "noise; a pseudo-terminal does not tell none from even")
        ->group(U);
    app.add_flag("--no-resync-on-start", bNoResync,
                 "Do not ask for resynchronisation in the "
                 "first reply after a restart")
        ->group(U);
    app.add_flag("--running", bRunning,
                 "Stand for a unit that has been running for a while: the first reply after "
                 "velorsim starts does not ask for resynchronisation (a unit just powered on does)")
        ->group(U);

    const std::string F = "Faults";
    app.add_flag("--silent", f.m_bSilent, "Answer nothing")->group(F);
    app.add_option("--silent-after", f.m_nSilentAfterFrames,
                   "Answer the first N frames, then "
                   "nothing")
        ->check(CLI::NonNegativeNumber)
        ->group(F);
    app.add_option("--garble-every", f.m_nGarbleEvery,
                   "Spoil the last checksum of every Nth "
                   "reply (1: every reply)")
        ->check(CLI::NonNegativeNumber)
        ->group(F);
    app.add_flag("--high-bits", f.m_bHighBits, "Set control bits 0xE0 in every reply")->group(F);
    app.add_option("--resync-replies", f.m_nResyncReplies,
                   "Refuse the next N requests with a "
                   "resynchronisation reply (0x10)")
        ->check(CLI::NonNegativeNumber)
        ->group(F);
    app.add_flag("--reject-load", f.m_bRejectLoad,
                 "Answer the end-of-load block (load "
                 "rejected, no restart)")
        ->group(F);
    app.add_flag("--wrong-check-word", f.m_bWrongCheckWord,
                 "Report a check word other than the "
                 "loaded one")
        ->group(F);
    app.add_flag("--check-word-zero", f.m_bCheckWordZero, "Report check word 0 (no check)")
        ->group(F);
    app.add_option("--status-count", f.m_nStatusCount,
                   "Data count of the status reply "
                   "(default 46; cut short or zero-padded)")
        ->check(CLI::Range(0, 252))
        ->group(F);
    app.add_flag("--switch-off", f.m_bSwitchOff, "Configuration switch (SW 3, dipswitch 2) off")
        ->group(F);
    app.add_flag("--properties-mode", f.m_bPropertiesMode, "Status byte 37 = 8 (properties mode)")
        ->group(F);
    app.add_flag("--answer-reset", f.m_bAnswerReset,
                 "Answer the reset request and do not "
                 "restart")
        ->group(F);
    app.add_flag("--store-mismatch", f.m_bStoreMismatch,
                 "Store a parameter record that differs "
                 "from the one written (TDES key 1 "
                 "byte 0 inverted)")
        ->group(F);
    app.add_option("--stop-after-load-blocks", f.m_nStopAfterLoadBlocks,
                   "Accept N load "
                   "blocks, then answer "
                   "nothing")
        ->check(CLI::NonNegativeNumber)
        ->group(F);
    app.add_flag("--polls-only", f.m_bPollsOnly, "Answer empty frames, never a command")->group(F);
    app.add_option("--reply-delay", f.m_nReplyDelayMs, "Wait this many ms before every reply")
        ->check(CLI::NonNegativeNumber)
        ->group(F);
    app.add_option("--oversize-reply", f.m_nOversizeReply,
                   "UDP: pad every reply datagram with "
                   "zeros to this many bytes (e.g. 300, "
                   "600)")
        ->check(CLI::Range(0, 65507))
        ->group(F);
    app.add_option("--unsolicited", f.m_nUnsolicitedMs,
                   "UDP: send a valid empty frame to the "
                   "last peer every N ms")
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
    std::string strStray = SSimFaults::STRAY_NAMES[0];
    app.add_option("--stray", strStray,
                   "What the stray datagram is: bad-sum (the reply with a spoiled checksum, the "
                   "default), high-bits (control bits 0xE0), short (3 bytes), empty, long (600 "
                   "bytes), duplicate (the previous reply again)")
        ->check(CLI::IsMember(std::vector<std::string>(std::begin(SSimFaults::STRAY_NAMES),
                                                       std::end(SSimFaults::STRAY_NAMES))))
        ->group(F);

    const std::string O = "Output";
    app.add_flag("--trace", opts.m_bTrace,
                 "Print every frame in hex on stderr: seconds since "
                 "start, link, rx/tx/drop")
        ->group(O);
    app.add_option("--state-file", strStateFile,
                   "Write the unit's state as JSON to this file at exit and on SIGUSR1 "
                   "(without it, SIGUSR1 prints the state on stdout)")
        ->group(O);
    app.add_flag("--print-state", bPrintState, "Print the unit's state as JSON on stdout at exit")
        ->group(O);

    CLI11_PARSE(app, argc, argv);

    for (size_t i = 0; i < std::size(SSimFaults::STRAY_NAMES); ++i)
        if (strStray == SSimFaults::STRAY_NAMES[i]) f.m_eStray = static_cast<SSimFaults::EStray>(i);
    opts.m_bParity = strParity != "none";
    opts.m_bOddParity = strParity == "odd";
    opts.m_bKeysEnabled = !bKeysDisabled;
    opts.m_bResyncOnRestart = !bNoResync;
    opts.m_bSerialKeepsScp = !bSerialStoresScp;
    opts.m_bResyncAtStart = !bRunning && !bNoResync;
    if (!strUdp.empty()) {
        opts.m_bUdp = true;
        if (!ParseUdp(strUdp, opts.m_strUdpHost, opts.m_nUdpPort)) {
            std::cerr << "velorsim: --udp wants [HOST:]PORT, not " << strUdp << "\n";
            return 2;
        }
    }
    if (!opts.m_bPty && opts.m_strDevice.empty() && !opts.m_bUdp) {
        opts.m_bPty = true;
        opts.m_bUdp = true;
    }
    NetParams& rec = opts.m_params;
    const struct {
        const std::string& strText;
        size_t nOfs;
        const char* pszName;
    } dotted[] = {{strIp, NetParams::OFS_IP, "--ip"},
                  {strMask, NetParams::OFS_MASK, "--mask"},
                  {strGateway, NetParams::OFS_GATEWAY, "--gateway"}};
    for (const auto& d : dotted) {
        if (!d.strText.empty() && !rec.SetDottedAt(d.nOfs, d.strText)) {
            std::cerr << "velorsim: " << d.pszName << " wants a.b.c.d, not " << d.strText << "\n";
            return 2;
        }
    }
    const struct {
        const std::string& strText;
        size_t nOfs;
        size_t nLen;
        const char* pszName;
    } hex[] = {{strDesKey, NetParams::OFS_DES_KEY, 8, "--des-key"},
               {strTdes1, NetParams::OFS_TDES_KEY1, 8, "--tdes-key1"},
               {strTdes2, NetParams::OFS_TDES_KEY2, 8, "--tdes-key2"},
               {strTdes3, NetParams::OFS_TDES_KEY3, 8, "--tdes-key3"},
               {strScp, NetParams::OFS_SCP_PROPS, 5, "--scp"}};
    for (const auto& h : hex) {
        if (!h.strText.empty() && !ParseHex(h.strText, rec.Data() + h.nOfs, h.nLen)) {
            std::cerr << "velorsim: " << h.pszName << " wants " << 2 * h.nLen << " hex digits, not "
                      << h.strText << "\n";
            return 2;
        }
    }
    if (nRecordPort >= 0) rec.SetPort(static_cast<uint16_t>(nRecordPort));
    if (nTimeout >= 0) rec.SetTimeout(static_cast<uint16_t>(nTimeout));

    // The server thread inherits this mask; the signals are taken by sigwait below.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    CSimServer server;
    std::string strError;
    if (!server.Start(opts, &strError)) {
        std::cerr << "velorsim: " << strError << "\n";
        return 1;
    }
    if (opts.m_bPty) std::printf("pty: %s\n", server.PtyPath().c_str());
    if (!opts.m_strDevice.empty()) std::printf("device: %s\n", server.PtyPath().c_str());
    if (opts.m_bUdp) std::printf("udp: %s:%u\n", opts.m_strUdpHost.c_str(), server.UdpPort());
    std::fflush(stdout);

    const auto dumpFile = [&] {
        if (!strStateFile.empty() && !WriteStateFile(strStateFile, server.StateJson()))
            std::cerr << "velorsim: cannot write " << strStateFile << "\n";
    };
    for (;;) {
        int nSignal = 0;
        if (sigwait(&signals, &nSignal) != 0) continue;
        if (nSignal != SIGUSR1) break;
        if (strStateFile.empty()) {
            std::printf("%s\n", server.StateJson().c_str());
            std::fflush(stdout);
        } else {
            dumpFile();
        }
    }
    server.Stop();
    dumpFile();
    if (bPrintState) std::printf("%s\n", server.StateJson().c_str());
    return 0;
}
