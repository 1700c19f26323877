#include "cli/Scan.h"
#include "cli/TextForms.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "cli/Commands.h"
#include "cli/Interrupts.h"
#include "cli/Outcome.h"
#include "cli/Output.h"
#include "platform/SerialDevice.h"
#include "platform/TimeConstants.h"
#include "serial/SerlComm.h"

using json = nlohmann::ordered_json;

namespace {

constexpr uint64_t WIDEST_UNASKED = 65536;     // a /16
constexpr uint32_t FIRST_UNICAST = 0x01000000; // 0.x.x.x names this host's network
constexpr uint32_t FIRST_MULTICAST = 0xE0000000;

void Note(const std::string& str) {
    COutput::Std().Note(str);
}

int Usage(const std::string& str) {
    Note(str);
    return EXIT_USAGE;
}

bool ParseIp(const std::string& str, uint32_t& nIp) {
    in_addr addr{};
    if (::inet_pton(AF_INET, str.c_str(), &addr) != 1) return false;
    nIp = ntohl(addr.s_addr);
    return true;
}

std::string Duration(double dSeconds) {
    char sz[64];
    if (dSeconds < 120)
        std::snprintf(sz, sizeof sz, "%.1f s", dSeconds);
    else
        std::snprintf(sz, sizeof sz, "%d min %02d s", static_cast<int>(dSeconds) / 60,
                      static_cast<int>(dSeconds) % 60);
    return sz;
}

json HitJson(const SScanHit& hit, bool bSerial) {
    json j;
    j["target"] = hit.m_strTarget;
    if (bSerial) {
        j["baud"] = hit.m_nBaud;
        j["parity"] = ParityWord(hit.m_cParity);
    }
    j["addr"] = hit.m_nAddr;
    j["serial_number"] = hit.m_status.m_nSerialNo;
    j["keys_enabled"] = hit.m_status.m_bKeysEnabled;
    j["switch_on"] = hit.m_status.m_bConfigSwitch;
    j["properties_mode"] = hit.m_status.m_bPropertiesMode;
    j["check_word"] = Hex4(hit.m_status.m_nCheckWord);
    j["reply_ms"] = hit.m_dReplyMs;
    return j;
}

// One aligned table, a header line and a line per unit.
std::string Table(const std::vector<SScanHit>& hits, bool bSerial) {
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"target"});
    if (bSerial) rows[0].insert(rows[0].end(), {"baud", "parity"});
    rows[0].insert(rows[0].end(), {"addr", "serial-number", "keys-enabled", "switch-on",
                                   "properties-mode", "check-word", "reply-ms"});
    for (const auto& hit : hits) {
        const json j = HitJson(hit, bSerial);
        std::vector<std::string> row;
        for (auto it = j.begin(); it != j.end(); ++it)
            row.push_back(it->is_string()    ? it->get<std::string>()
                          : it->is_boolean() ? (it->get<bool>() ? "yes" : "no")
                                             : it->dump());
        rows.push_back(row);
    }
    std::vector<size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    std::string str;
    for (const auto& row : rows) {
        for (size_t i = 0; i < row.size(); ++i)
            str += row[i] +
                   (i + 1 < row.size() ? std::string(widths[i] - row[i].size() + 2, ' ') : "\n");
    }
    return str;
}

// Ctrl-C, SIGTERM and SIGHUP end the scan at once, however often they come: the scan
// then lists what it found and puts a serial line back as it found it.
class CScanInterrupts {
public:
    CScanInterrupts()
        : m_interrupts({SIGINT, SIGTERM, SIGHUP}, false, [this] { m_bStop = true; }) {}
    const std::atomic<bool>* Flag() const { return &m_bStop; }

private:
    std::atomic<bool> m_bStop{false};
    CInterrupts m_interrupts;
};

// A line on stderr about every 2 s of a longer scan: how far, how many, how long yet.
class CProgressLines {
public:
    CProgressLines(const SScanOptions& opts, SScanHooks& hooks) : m_opts(opts) {
        if (opts.m_bQuiet) return;
        hooks.m_fnProgress = [this](const SScanProgress& p) { Show(p); };
    }

private:
    void Show(const SScanProgress& p) {
        const auto tNow = std::chrono::steady_clock::now();
        if (tNow - m_tLast < std::chrono::seconds(2) || p.m_nDone >= p.m_nTotal) return;
        m_tLast = tNow;
        Note("scan " + m_opts.m_strTarget + ": " + std::to_string(p.m_nDone) + " of " +
             std::to_string(p.m_nTotal) + " probes, " + std::to_string(p.m_nFound) +
             (p.m_nFound == 1 ? " unit" : " units") + " found, at most " +
             Duration(p.m_dSecondsLeft) + " left");
    }

    const SScanOptions& m_opts;
    // The first line after 2 s: a scan that ends sooner shows none.
    std::chrono::steady_clock::time_point m_tLast = std::chrono::steady_clock::now();
};

void Sorted(std::vector<uint32_t>& v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
}

// The fleet file is written when the scan ends, under a name of its own in the target's
// folder and renamed over it, so that a fleet run never reads half a file and nothing
// else in that folder (a link planted at FILE.tmp, say) is opened or removed.
std::string FolderOf(const std::string& strFile) {
    const size_t nSlash = strFile.rfind('/');
    return nSlash == std::string::npos ? "." : nSlash == 0 ? "/" : strFile.substr(0, nSlash);
}

bool WriteFleetCsv(const std::string& strFile, const std::string& strText) {
    std::string strTmp = FolderOf(strFile) + "/.velorctl-scan-XXXXXX";
    const int fd = ::mkstemp(strTmp.data());
    if (fd < 0) return false;
    size_t nDone = 0;
    while (nDone < strText.size()) {
        const ssize_t n = ::write(fd, strText.data() + nDone, strText.size() - nDone);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        nDone += static_cast<size_t>(n);
    }
    // As a file the user writes: mkstemp's 0600, widened by the umask's leave.
    const mode_t nMask = ::umask(0);
    ::umask(nMask);
    const bool bOk = nDone == strText.size() && ::fchmod(fd, 0666 & ~nMask) == 0 &&
                     ::fsync(fd) == 0 && ::close(fd) == 0;
    if (!bOk || std::rename(strTmp.c_str(), strFile.c_str()) != 0) {
        if (!bOk) ::close(fd);
        ::unlink(strTmp.c_str());
        return false;
    }
    return true;
}

// A name the fleet file cannot be written under is said before the scan starts.
bool CsvWritable(const SScanOptions& opts) {
    if (opts.m_strFleetCsv.empty()) return true;
    struct stat st {};
    if (::stat(opts.m_strFleetCsv.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return false;
    return ::access(FolderOf(opts.m_strFleetCsv).c_str(), W_OK | X_OK) == 0;
}

int Report(const SScanOptions& opts, const std::vector<SScanHit>& hits, const SScanTally& tally,
           bool bSerial, double dSeconds, const std::string& strWhat) {
    for (const auto& str : tally.m_notes)
        Note(str);
    if (opts.m_bJson) {
        json all = json::array();
        for (const auto& hit : hits)
            all.push_back(HitJson(hit, bSerial));
        COutput::Std().Out(out::JsonText(all) + "\n");
    } else if (!hits.empty()) {
        COutput::Std().Out(Table(hits, bSerial));
    }
    int nExit = hits.empty() ? EXIT_COMM : EXIT_OK;
    if (!opts.m_strFleetCsv.empty()) {
        if (!WriteFleetCsv(opts.m_strFleetCsv, FleetCsvText(hits))) {
            Note("cannot write " + opts.m_strFleetCsv + ": " + std::strerror(errno));
            nExit = EXIT_USAGE;
        }
    }
    const std::string strFound =
        std::to_string(hits.size()) + (hits.size() == 1 ? " unit" : " units");
    if (tally.m_bInterrupted) {
        Note("interrupted after " + strWhat +
             (bSerial ? "; the port's line settings are as they were" : "") + "; " + strFound +
             " found so far");
        return EXIT_INTERRUPTED;
    }
    Note(strFound + " answered; " + strWhat + " in " + Duration(dSeconds));
    return nExit;
}

int ScanUdpTarget(const SScanOptions& opts) {
    if (opts.m_bSerialOptionGiven)
        return Usage("--all, --baud, --parity and --unit-addr are for serial: scans");
    std::vector<uint32_t> networks, broadcasts;
    LocalNetworkEdges(networks, broadcasts);
    SUdpScanPlan plan;
    std::string strError;
    if (!PlanUdpScan(opts.m_strTarget.substr(4), opts, networks, broadcasts, plan, strError))
        return Usage(strError);
    const uint64_t nCount = plan.Count();
    if (nCount == 0) return Usage(opts.m_strTarget + " leaves no address to ask");
    if (!CsvWritable(opts)) return Usage("cannot write " + opts.m_strFleetCsv);
    std::string strSlower;
    const unsigned nRate = UdpScanRate(plan, &strSlower);
    const double dWait =
        (plan.m_nWaitMs ? plan.m_nWaitMs : TimeConstants().m_nScanWaitMs.load()) / 1000.0;
    const std::string strComm = plan.m_commAddrs.size() == 1
                                    ? "comm address " + std::to_string(plan.m_commAddrs[0])
                                    : "comm addresses 0..15 together";
    if (!strSlower.empty()) Note(strSlower);
    Note("scan " + opts.m_strTarget + ": " + std::to_string(nCount) + " address" +
         (nCount == 1 ? "" : "es") + ", " + strComm + ", " + std::to_string(nRate) +
         " a second, each answer waited for " + Duration(dWait) + ": about " +
         Duration(static_cast<double>(nCount) / nRate + dWait) + "; Ctrl-C ends it");
    CScanInterrupts interrupts;
    SScanHooks hooks;
    hooks.m_pStop = interrupts.Flag();
    CProgressLines lines(opts, hooks);
    SScanTally tally;
    const auto t0 = std::chrono::steady_clock::now();
    const auto hits = ScanUdp(plan, hooks, tally, strError);
    if (!strError.empty()) {
        Note(strError);
        if (hits.empty() && !tally.m_bInterrupted) {
            if (opts.m_bJson) COutput::Std().Out("[]\n");
            return EXIT_COMM;
        }
    }
    const double dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return Report(opts, hits, tally, false, dSeconds,
                  std::to_string(tally.m_nProbes) + " of " +
                      std::to_string(nCount * plan.m_commAddrs.size()) + " probes");
}

int ScanSerialTarget(const SScanOptions& opts) {
    if (opts.m_bUdpOptionGiven)
        return Usage("--rate, --wait, --comm-addr and --broadcast are for udp: scans");
    SSerialScanPlan plan;
    plan.m_strName = opts.m_strTarget.substr(7);
    if (plan.m_strName.empty()) return Usage("serial: wants a port: COMn or a device path");
    std::string strProblem;
    plan.m_strDevice = PortDevice(plan.m_strName, strProblem);
    if (!strProblem.empty()) return Usage(strProblem);
    if (!opts.m_strFleetCsv.empty() && plan.m_strName.find_first_of(",\"") != std::string::npos)
        return Usage("a fleet file cannot hold a port name with a comma or a quote");
    if (!CsvWritable(opts)) return Usage("cannot write " + opts.m_strFleetCsv);
    plan.m_settings =
        SerialScanOrder(opts.m_nBaud, opts.m_strParity.empty() ? 0 : opts.m_strParity[0]);
    plan.m_addrs = UnitAddrOrder(opts.m_nUnitAddr);
    plan.m_bAll = opts.m_bAll;
    double dSeconds = 0, dNoisy = 0;
    for (const auto& line : plan.m_settings) {
        dSeconds += static_cast<double>(plan.m_addrs.size()) * SerialProbeMs(line) / 1000.0;
        dNoisy += static_cast<double>(plan.m_addrs.size()) * SerialProbeBoundMs(line) / 1000.0;
    }
    const size_t nProbes = plan.m_settings.size() * plan.m_addrs.size();
    const std::string strWhat = std::to_string(nProbes) + " probes (" +
                                std::to_string(plan.m_settings.size()) + " line settings x " +
                                std::to_string(plan.m_addrs.size()) + " unit addresses)";
    Note("scan " + opts.m_strTarget + ": " + strWhat + ", at most " + Duration(dSeconds) + " (" +
         Duration(dNoisy) + " on a noisy line)" +
         (plan.m_bAll ? "" : "; stops at the first unit found") + "; Ctrl-C ends it");
    CScanInterrupts interrupts;
    SScanHooks hooks;
    hooks.m_pStop = interrupts.Flag();
    size_t nShown = SIZE_MAX;
    if (!opts.m_bQuiet)
        hooks.m_fnProgress = [&](const SScanProgress& p) {
            if (p.m_nSetting == nShown) return;
            nShown = p.m_nSetting;
            Note("scan " + opts.m_strTarget + ": " + std::to_string(p.m_line.m_nBaud) + " " +
                 ParityWord(p.m_line.m_cParity) + " (" + std::to_string(p.m_nSetting + 1) + "/" +
                 std::to_string(p.m_nSettings) + ")");
        };
    SScanTally tally;
    std::string strError;
    const auto t0 = std::chrono::steady_clock::now();
    const auto hits = ScanSerial(plan, hooks, tally, strError);
    if (!hits) {
        Note(strError);
        if (opts.m_bJson) COutput::Std().Out("[]\n");
        return EXIT_COMM;
    }
    return Report(opts, *hits, tally, true,
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(),
                  std::to_string(tally.m_nProbes) + " of " + std::to_string(nProbes) + " probes");
}

// The port and the addresses of a udp: target (the text after "udp:"); the prefix
// length of NET/PREFIX in nPrefix, else -1. False with the reason.
bool ParseUdpRange(const std::string& strText, SUdpScanPlan& plan, int& nPrefix,
                   std::string& strError) {
    const std::string strForm =
        "udp: wants NET/PREFIX or FIRST-LAST (dotted IPv4) and an optional :PORT, e.g. "
        "udp:192.168.0.0/24 or udp:10.0.0.20-10.0.0.80:3001";
    std::string strRange = strText;
    if (const size_t nColon = strText.rfind(':'); nColon != std::string::npos) {
        unsigned long n = 0;
        if (!ParseDecimal(strText.substr(nColon + 1), 1, 65535, n))
            return strError = strForm, false;
        plan.m_nPort = static_cast<uint16_t>(n);
        strRange = strText.substr(0, nColon);
    }
    nPrefix = -1;
    if (const size_t nSlash = strRange.find('/'); nSlash != std::string::npos) {
        unsigned long n = 0;
        uint32_t nNet = 0;
        if (!ParseIp(strRange.substr(0, nSlash), nNet) ||
            !ParseDecimal(strRange.substr(nSlash + 1), 0, 32, n))
            return strError = strForm, false;
        nPrefix = static_cast<int>(n);
        const uint32_t nMask = nPrefix == 0 ? 0 : ~uint32_t{0} << (32 - nPrefix);
        plan.m_nFirst = nNet & nMask;
        plan.m_nLast = plan.m_nFirst | ~nMask;
    } else if (const size_t nDash = strRange.find('-'); nDash != std::string::npos) {
        if (!ParseIp(strRange.substr(0, nDash), plan.m_nFirst) ||
            !ParseIp(strRange.substr(nDash + 1), plan.m_nLast))
            return strError = strForm, false;
        if (plan.m_nFirst > plan.m_nLast)
            return strError = "udp: the first address of a range comes before the last", false;
    } else {
        if (!ParseIp(strRange, plan.m_nFirst)) return strError = strForm, false;
        plan.m_nLast = plan.m_nFirst;
    }
    return true;
}

// --comm-addr: one address or all 16; false with the reason.
bool ParseCommAddrs(const std::string& strCommAddr, SUdpScanPlan& plan, std::string& strError) {
    if (strCommAddr == "all") {
        plan.m_commAddrs.clear();
        for (uint8_t n = 0; n <= 15; ++n)
            plan.m_commAddrs.push_back(n);
    } else {
        unsigned long n = 0;
        if (!ParseDecimal(strCommAddr, 0, 15, n))
            return strError = "--comm-addr is 0..15 or all", false;
        plan.m_commAddrs = {static_cast<uint8_t>(n)};
    }
    return true;
}

} // namespace

bool PlanUdpScan(const std::string& strText, const SScanOptions& opts,
                 const std::vector<uint32_t>& localNetworks,
                 const std::vector<uint32_t>& localBroadcasts, SUdpScanPlan& plan,
                 std::string& strError) {
    plan = SUdpScanPlan{};
    int nPrefix = -1;
    if (!ParseUdpRange(strText, plan, nPrefix, strError)) return false;
    if (plan.m_nFirst < FIRST_UNICAST || plan.m_nLast >= FIRST_MULTICAST)
        return strError = "udp: 0.x.x.x and 224.0.0.0 upwards hold no unit; name a range "
                          "between 1.0.0.0 and 223.255.255.255",
               false;
    const uint64_t nSize = uint64_t{plan.m_nLast} - plan.m_nFirst + 1;
    if (nSize > WIDEST_UNASKED && !opts.m_bYes)
        return strError = "udp: " + strText + " holds " + std::to_string(nSize) +
                          " addresses, more than a /16; add --yes to scan it all",
               false;
    if (!ParseCommAddrs(opts.m_strCommAddr, plan, strError)) return false;
    plan.m_nRate = opts.m_nRate;
    plan.m_nWaitMs = opts.m_nWaitMs;
    const auto inRange = [&](uint32_t n) { return n >= plan.m_nFirst && n <= plan.m_nLast; };
    const auto broadcast = [&](uint32_t n) {
        if (!inRange(n)) return;
        (opts.m_bBroadcast ? plan.m_broadcasts : plan.m_skip).push_back(n);
    };
    // A network of more than two addresses starts with its own address, never a
    // host's, and ends with its broadcast address.
    if (nPrefix >= 0 && nPrefix <= 30) {
        plan.m_skip.push_back(plan.m_nFirst);
        broadcast(plan.m_nLast);
    }
    for (uint32_t n : localNetworks)
        if (inRange(n)) plan.m_skip.push_back(n);
    for (uint32_t n : localBroadcasts)
        broadcast(n);
    Sorted(plan.m_skip);
    Sorted(plan.m_broadcasts);
    // An address that is both a network and a broadcast address is not asked.
    plan.m_broadcasts.erase(std::remove_if(plan.m_broadcasts.begin(), plan.m_broadcasts.end(),
                                           [&](uint32_t n) {
                                               return std::binary_search(plan.m_skip.begin(),
                                                                         plan.m_skip.end(), n);
                                           }),
                            plan.m_broadcasts.end());
    return true;
}

std::string FleetCsvText(const std::vector<SScanHit>& hits) {
    std::string str = "target,addr,line-baud,line-parity\n";
    for (const auto& hit : hits) {
        str += hit.m_strTarget + "," + std::to_string(hit.m_nAddr) + ",";
        if (hit.m_nBaud)
            str += std::to_string(hit.m_nBaud) + "," + ParityWord(hit.m_cParity);
        else
            str += ",";
        str += "\n";
    }
    return str;
}

CLI::App* AddScanCommand(CLI::App& app, SScanOptions& opts) {
    auto* pScan = app.add_subcommand(
        "scan", "find units: the status request to every address of a UDP range, or at every "
                "line setting and unit address of a serial port");
    pScan
        ->add_option("TARGET", opts.m_strTarget,
                     "udp:NET/PREFIX[:PORT], udp:FIRST-LAST[:PORT] (port 3001 by default) or "
                     "serial:PORT (COMn or a device path)")
        ->required();
    auto* pRate = pScan
                      ->add_option("--rate", opts.m_nRate,
                                   "udp: addresses asked a second (default " +
                                       std::to_string(DEFAULT_UDP_RATE) +
                                       "; lower on a local Ethernet link, to fit the kernel's "
                                       "neighbour table)")
                      ->check(CLI::Range(1u, 100000u));
    auto* pWait = pScan
                      ->add_option("--wait", opts.m_nWaitMs,
                                   "udp: milliseconds each request waits for its answer "
                                   "(default 2000, room for a unit behind a slow link)")
                      ->check(CLI::Range(1, 60000));
    auto* pComm = pScan->add_option("--comm-addr", opts.m_strCommAddr,
                                    "udp: the comm address to ask, 0..15 (default 0), or all");
    auto* pBroadcast = pScan->add_flag("--broadcast", opts.m_bBroadcast,
                                       "udp: ask the range's broadcast addresses too");
    auto* pAll = pScan->add_flag("--all", opts.m_bAll,
                                 "serial: try every setting and address, not only up to the "
                                 "first unit");
    auto* pBaud =
        pScan->add_option("--baud", opts.m_nBaud, "serial: try this rate right after 115200 even")
            ->check(CLI::IsMember(LineBauds()));
    auto* pParity = pScan
                        ->add_option("--parity", opts.m_strParity,
                                     "serial: try this parity right after 115200 even")
                        ->check(CLI::IsMember(LineParities()));
    auto* pUnit =
        pScan->add_option("--unit-addr", opts.m_nUnitAddr, "serial: try this unit address first")
            ->check(CLI::Range(0, 15));
    pScan->add_flag("--json", opts.m_bJson, "print one JSON array on stdout");
    pScan->add_flag("-q,--quiet", opts.m_bQuiet, "no progress lines on stderr");
    pScan->add_flag("--yes", opts.m_bYes, "udp: scan a range wider than a /16");
    pScan->add_option("--fleet-csv", opts.m_strFleetCsv,
                      "write what was found as a file for velorctl --fleet");
    pScan->callback([&opts, pRate, pWait, pComm, pBroadcast, pAll, pBaud, pParity, pUnit] {
        opts.m_bUdpOptionGiven =
            pRate->count() || pWait->count() || pComm->count() || pBroadcast->count();
        opts.m_bSerialOptionGiven =
            pAll->count() || pBaud->count() || pParity->count() || pUnit->count();
    });
    return pScan;
}

int RunScan(const SScanOptions& opts) {
    if (opts.m_strTarget.rfind("udp:", 0) == 0) return ScanUdpTarget(opts);
    if (opts.m_strTarget.rfind("serial:", 0) == 0) return ScanSerialTarget(opts);
    return Usage("scan wants udp:NET/PREFIX[:PORT], udp:FIRST-LAST[:PORT] or serial:PORT");
}
