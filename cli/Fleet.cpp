#include "cli/Fleet.h"
#include "cli/TextForms.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "cli/Campaign.h"
#include "cli/Interrupts.h"
#include "cli/Output.h"
#include "firmware/ImageReader.h"
#include "platform/OpenFileLimit.h"
#include "platform/SerialDevice.h"
#include "platform/WinThread.h"
#include "serial/SerlComm.h"

using json = nlohmann::ordered_json;

namespace {

using Clock = std::chrono::steady_clock;

// A site is dozens of units, not thousands; a file this long is a mistake.
constexpr size_t MAX_UNITS = 4096;
constexpr size_t MAX_FILE_BYTES = 4 << 20;

std::string Trim(const std::string& str) {
    const size_t nFirst = str.find_first_not_of(" \t\r");
    if (nFirst == std::string::npos) return {};
    std::string strOut = str.substr(nFirst, str.find_last_not_of(" \t\r") - nFirst + 1);
    // A spreadsheet may quote a cell that needs no quotes.
    if (strOut.size() >= 2 && strOut.front() == '"' && strOut.back() == '"')
        strOut = strOut.substr(1, strOut.size() - 2);
    return strOut;
}

std::vector<std::string> SplitCells(const std::string& strLine) {
    std::vector<std::string> cells;
    std::stringstream ss(strLine);
    std::string strCell;
    while (std::getline(ss, strCell, ','))
        cells.push_back(Trim(strCell));
    if (!strLine.empty() && strLine.back() == ',') cells.emplace_back();
    return cells;
}

bool IsFieldName(const std::string& str) {
    return FindField(str) != nullptr;
}

// One line's cells into a unit; false with the reason.
bool TakeUnit(const std::vector<std::string>& header, const std::vector<std::string>& cells,
              SFleetUnit& unit, std::string& strWhy) {
    std::string strTarget, strAddr, strBaud, strParity;
    for (size_t i = 0; i < cells.size(); ++i) {
        const std::string& strValue = cells[i];
        if (strValue.empty()) continue;
        const std::string& strColumn = header[i];
        if (strColumn == "target")
            strTarget = strValue;
        else if (strColumn == "addr")
            strAddr = strValue;
        else if (strColumn == "line-baud")
            strBaud = strValue;
        else if (strColumn == "line-parity")
            strParity = strValue;
        else
            unit.m_fields.push_back(strColumn + "=" + strValue);
    }
    SLinkOptions& link = unit.m_link;
    if (strTarget.rfind("udp:", 0) == 0) {
        link.m_bUdp = true;
        if (!ParseHostPort(strTarget.substr(4), link.m_strHost, link.m_nUdpPort)) {
            strWhy = "udp: wants a dotted IPv4 address and an optional port 1..65535";
            return false;
        }
        unit.m_strLinkKey = "udp:" + link.m_strHost + ":" + std::to_string(link.m_nUdpPort);
        if (!strBaud.empty() || !strParity.empty()) {
            strWhy = "line-baud and line-parity are for serial units";
            return false;
        }
    } else if (strTarget.rfind("serial:", 0) == 0 && strTarget.size() > 7) {
        link.m_strSerialPort = strTarget.substr(7);
        if (link.m_strSerialPort.rfind("COM", 0) == 0) {
            const std::string strProblem = CSerlComm::PortNameProblem(link.m_strSerialPort);
            if (!strProblem.empty()) {
                strWhy = strProblem;
                return false;
            }
            unit.m_strLinkKey = serialdev::ResolvePort(link.m_strSerialPort[3] - '0');
        } else {
            unit.m_strLinkKey = link.m_strSerialPort;
        }
        static const std::set<std::string> s_bauds = {"1200",  "2400",  "4800",  "9600",
                                                      "19200", "38400", "57600", "115200"};
        if (!strBaud.empty() && !s_bauds.count(strBaud)) {
            strWhy = "line-baud is one of 1200 2400 4800 9600 19200 38400 57600 115200";
            return false;
        }
        if (!strBaud.empty()) link.m_nBaud = std::stoi(strBaud);
        if (!strParity.empty() && strParity != "none" && strParity != "odd" &&
            strParity != "even") {
            strWhy = "line-parity is none, odd or even";
            return false;
        }
        if (!strParity.empty()) link.m_strParity = strParity;
    } else {
        strWhy = strTarget.empty()
                     ? "no target"
                     : "target '" + strTarget + "' is not udp:HOST[:PORT] or serial:PORT";
        return false;
    }
    unsigned long nAddr = 0;
    if (!strAddr.empty() && !ParseDecimal(strAddr, 0, 15, nAddr, 6)) {
        strWhy = "addr is a number 0..15";
        return false;
    }
    (link.m_bUdp ? link.m_nCommAddr : link.m_nUnitAddr) = static_cast<unsigned>(nAddr);
    unit.m_strName = strTarget + (strAddr.empty() ? "" : "@" + strAddr);
    CFieldEdits check;
    return check.Parse(unit.m_fields, strWhy);
}

// The lines a unit wrote to stdout go to the end, in the file's order.
struct SSlot {
    const SFleetUnit* m_pUnit = nullptr;
    enum class EState { Waiting, Running, Done } m_eState = EState::Waiting;
    std::string m_strSkipped; // --resume: the result the report holds for a unit left out
    std::shared_ptr<CManualResetEvent> m_pEnded;
    // Written by the unit's worker before it ends, read by the main thread after.
    int m_nExit = EXIT_OK;
    EJobResult m_eResult = EJobResult::None;
    std::string m_strOutcome; // "current", "unchanged"
    std::optional<uint16_t> m_nCheckBefore, m_nCheckAfter;
    double m_dSeconds = 0;
    std::string m_strOutput;
    std::atomic<uint64_t> m_nBytesDone{0};
};

// One unit's command on a thread of its own, with its own prompts and job host.
class CFleetWorker : public CWinThread {
public:
    CFleetWorker(SSlot* pSlot, const SFleetCommand* pCmd) : m_pSlot(pSlot), m_pCmd(pCmd) {}

    bool InitInstance() override {
        const SFleetUnit& unit = *m_pSlot->m_pUnit;
        CCliPrompts prompts(m_pCmd->m_eMode);
        prompts.m_strPrefix = unit.m_strName + ": ";
        prompts.m_bYes = true; // confirmed once for the whole file
        prompts.m_bReset = m_pCmd->m_bReset;
        prompts.m_bIfNeeded = m_pCmd->m_bIfNeeded;
        prompts.m_strImagePath = m_pCmd->m_strImagePath;
        if (m_pCmd->m_eMode == CCliPrompts::EMode::Flash) prompts.m_imageChecked = m_pCmd->m_image;
        SSlot* pSlot = m_pSlot;
        prompts.m_fnBytesDone = [pSlot](uint64_t n) { pSlot->m_nBytesDone = n; };
        SLinkOptions link = unit.m_link;
        link.m_bJson = true;
        link.m_pCapture = &m_pSlot->m_strOutput;
        const auto start = Clock::now();
        if (m_pCmd->m_eMode == CCliPrompts::EMode::Write) {
            std::string strError; // checked before any unit started
            prompts.m_edits.Parse(
                MergeAssignments({m_pCmd->m_fileAssignments, m_pCmd->m_assignments, unit.m_fields}),
                strError);
            prompts.m_edits.MarkFromFile(FromFileOnly(unit));
        }
        m_pSlot->m_nExit = RunCommand(link, prompts);
        m_pSlot->m_eResult = prompts.m_eResult;
        m_pSlot->m_strOutcome = prompts.m_strOutcome;
        m_pSlot->m_nCheckBefore = prompts.m_nCheckBefore;
        m_pSlot->m_nCheckAfter = prompts.m_nCheckAfter;
        m_pSlot->m_dSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        PostQuitMessage(0);
        return true;
    }

private:
    // The saved file's fields that neither the command line nor the unit's line replaced.
    std::vector<std::string> FromFileOnly(const SFleetUnit& unit) const {
        std::set<std::string> replaced;
        for (const auto* pList : {&m_pCmd->m_assignments, &unit.m_fields})
            for (const auto& str : *pList)
                replaced.insert(str.substr(0, str.find('=')));
        std::vector<std::string> fields;
        for (const auto& str : m_pCmd->m_fileAssignments)
            if (!replaced.count(str.substr(0, str.find('='))))
                fields.push_back(str.substr(0, str.find('=')));
        return fields;
    }

    SSlot* m_pSlot;
    const SFleetCommand* m_pCmd;
};

void Line(const std::string& str) {
    COutput::Std().ErrLine(str);
}

// The table's word for how a unit ended.
std::string ResultName(const SSlot& slot) {
    if (!slot.m_strSkipped.empty()) return "skipped";
    if (!slot.m_strOutcome.empty()) return slot.m_strOutcome;
    return slot.m_eResult == EJobResult::None ? ExitClassName(slot.m_nExit)
                                              : JobResultName(slot.m_eResult);
}

std::string Seconds(double d) {
    char sz[32];
    std::snprintf(sz, sizeof sz, "%.3f", d);
    return sz;
}

// "3 updated, 2 current, 1 failed" under the table.
std::string CountsLine(CCliPrompts::EMode eMode, const json& jUnits) {
    size_t nDone = 0, nKept = 0, nFailed = 0, nSkipped = 0, nNotStarted = 0;
    for (const auto& j : jUnits) {
        const std::string strResult = j["result"];
        if (strResult == "skipped")
            ++nSkipped;
        else if (strResult == "not-started")
            ++nNotStarted;
        else if (strResult == "current" || strResult == "unchanged")
            ++nKept;
        else if (j["exit"] == 0)
            ++nDone;
        else
            ++nFailed;
    }
    const bool bFlash = eMode == CCliPrompts::EMode::Flash;
    const bool bWrite = eMode == CCliPrompts::EMode::Write;
    std::string str = std::to_string(nDone) + (bFlash   ? " updated, "
                                               : bWrite ? " written, "
                                                        : " done, ");
    if (bFlash || bWrite) str += std::to_string(nKept) + (bFlash ? " current, " : " unchanged, ");
    str += std::to_string(nFailed) + " failed";
    if (nSkipped) str += ", " + std::to_string(nSkipped) + " skipped (done before)";
    if (nNotStarted) str += ", " + std::to_string(nNotStarted) + " not started";
    return str + "\n";
}

} // namespace

bool ReadFleetFile(const std::string& strPath, std::vector<SFleetUnit>& units,
                   std::string& strError) {
    units.clear();
    std::ifstream in(strPath, std::ios::binary);
    if (!in.is_open()) {
        strError = "cannot open " + strPath;
        return false;
    }
    std::vector<std::string> header;
    std::map<std::string, size_t> seen; // unit name -> line
    std::string strLine;
    size_t nLine = 0, nBytes = 0;
    while (std::getline(in, strLine)) {
        ++nLine;
        nBytes += strLine.size() + 1;
        const std::string strWhere = strPath + ":" + std::to_string(nLine) + ": ";
        if (nBytes > MAX_FILE_BYTES || units.size() >= MAX_UNITS) {
            strError = strWhere + "too many units for one run";
            return false;
        }
        const std::string strTrimmed = Trim(strLine);
        if (strTrimmed.empty() || strTrimmed[0] == '#') continue;
        std::vector<std::string> cells = SplitCells(strLine);
        if (header.empty()) {
            std::set<std::string> columns;
            for (const auto& strColumn : cells) {
                if (strColumn != "target" && strColumn != "addr" && strColumn != "line-baud" &&
                    strColumn != "line-parity" && !IsFieldName(strColumn)) {
                    strError = strWhere + "unknown column '" + ShownArgument(strColumn) + "'";
                    return false;
                }
                if (!columns.insert(strColumn).second) {
                    strError = strWhere + "column '" + strColumn + "' named twice";
                    return false;
                }
            }
            if (!columns.count("target")) {
                strError = strWhere + "the header names no 'target' column";
                return false;
            }
            header = cells;
            continue;
        }
        if (cells.size() > header.size()) {
            strError = strWhere + "more cells than the header names";
            return false;
        }
        SFleetUnit unit;
        unit.m_nLine = nLine;
        std::string strWhy;
        if (!TakeUnit(header, cells, unit, strWhy)) {
            strError = strWhere + strWhy;
            return false;
        }
        if (auto [it, bNew] = seen.emplace(unit.m_strName, nLine); !bNew) {
            strError =
                strWhere + unit.m_strName + " is already on line " + std::to_string(it->second);
            return false;
        }
        units.push_back(std::move(unit));
    }
    if (units.empty()) {
        strError = strPath + ": no units";
        return false;
    }
    return true;
}

int RunFleet(const std::string& strPath, unsigned nParallel, SFleetCommand cmd) {
    std::vector<SFleetUnit> units;
    std::string strError;
    CCliPrompts notes(cmd.m_eMode);
    if (!ReadFleetFile(strPath, units, strError)) {
        notes.Note(strError);
        return EXIT_USAGE;
    }
    // Everything that can be checked is checked before the first unit is touched.
    const bool bWrite = cmd.m_eMode == CCliPrompts::EMode::Write;
    for (const auto& unit : units) {
        if (!bWrite && !unit.m_fields.empty()) {
            notes.Note(strPath + ": the field columns are for write; this command ignores them");
            break;
        }
        if (!bWrite) continue;
        const auto merged =
            MergeAssignments({cmd.m_fileAssignments, cmd.m_assignments, unit.m_fields});
        CFieldEdits edits;
        if (merged.empty() || !edits.Parse(merged, strError)) {
            notes.Note(strPath + ":" + std::to_string(unit.m_nLine) + ": " +
                       (merged.empty() ? "nothing to write for " + unit.m_strName : strError));
            return EXIT_USAGE;
        }
    }
    uint64_t nImageBytes = 0; // all units together
    if (cmd.m_eMode == CCliPrompts::EMode::Flash) {
        cmd.m_image = ValidateImage(cmd.m_strImagePath);
        const CImageCheck& check = cmd.m_image;
        nImageBytes = static_cast<uint64_t>(check.m_nBytes) * units.size();
        if (!check.Ok()) {
            notes.Note(check.m_nResult == CImageReader::ERR_OPEN
                           ? "cannot open " + cmd.m_strImagePath
                           : check.FormatErrorMessage());
            return EXIT_IMAGE;
        }
    }
    // A report goes on where it stands only when it is of this campaign.
    const auto identity = CampaignIdentity(cmd);
    CCampaignReport report;
    std::map<std::string, std::string> lastResults;
    if (!cmd.m_strResume.empty()) {
        if (!CCampaignReport::Read(cmd.m_strResume, identity, false, lastResults, strError)) {
            notes.Note(strError);
            return EXIT_USAGE;
        }
    }
    if (!cmd.m_strReport.empty()) {
        std::map<std::string, std::string> other;
        if (cmd.m_strReport != cmd.m_strResume &&
            !CCampaignReport::Read(cmd.m_strReport, identity, true, other, strError)) {
            notes.Note(strError);
            return EXIT_USAGE;
        }
    }
    // One "Check Switches" notice for each kind of link in the file.
    notes.m_bYes = cmd.m_bYes;
    for (const ELink eLink : {ELink::Ethernet, ELink::Serial}) {
        const bool bUsed = std::any_of(units.begin(), units.end(), [&](const SFleetUnit& u) {
            return u.m_link.m_bUdp == (eLink == ELink::Ethernet);
        });
        if (bUsed && !notes.SwitchesNotice(eLink))
            return notes.UsageRefused() ? EXIT_USAGE : EXIT_REFUSED;
    }

    const size_t nLimit =
        nParallel ? std::min<size_t>(nParallel, FLEET_MAX_PARALLEL) : FLEET_MAX_PARALLEL;
    RaiseOpenFileLimit(std::min(nLimit, units.size())); // a socket or a port a unit
    std::vector<SSlot> slots(units.size());
    for (size_t i = 0; i < units.size(); ++i)
        slots[i].m_pUnit = &units[i];

    if (!cmd.m_strReport.empty() && !report.Open(cmd.m_strReport, strError)) {
        notes.Note(strError);
        return EXIT_USAGE;
    }
    for (auto& slot : slots) {
        const auto it = lastResults.find(slot.m_pUnit->m_strName);
        if (it == lastResults.end() || !IsCampaignSuccess(it->second)) continue;
        slot.m_eState = SSlot::EState::Done;
        slot.m_strSkipped = it->second;
    }
    bool bReportFailed = false;

    CInterrupts interrupts({}, [] {
        Line("velorctl: interrupted again: ending now, units still running are left as they are");
    });
    std::set<std::string> busyLinks;
    size_t nRunning = 0, nDone = 0, nFailed = 0;
    nDone = static_cast<size_t>(std::count_if(
        slots.begin(), slots.end(), [](const SSlot& slot) { return !slot.m_strSkipped.empty(); }));
    bool bInterrupted = false;
    int nLastTenth = 0;
    const auto progress = [&] {
        std::string str = "fleet: " + std::to_string(nDone) + "/" + std::to_string(units.size()) +
                          " units done, " + std::to_string(nFailed) + " failed";
        if (nImageBytes) {
            uint64_t nBytes = 0;
            for (const auto& slot : slots)
                nBytes += slot.m_nBytesDone;
            str += ", " + std::to_string(nBytes) + "/" + std::to_string(nImageBytes) +
                   " bytes flashed";
        }
        Line(str);
    };
    for (;;) {
        bool bChanged = false;
        for (auto& slot : slots) {
            if (slot.m_eState != SSlot::EState::Running || !slot.m_pEnded->IsSet()) continue;
            slot.m_eState = SSlot::EState::Done;
            --nRunning;
            ++nDone;
            nFailed += slot.m_nExit != EXIT_OK;
            busyLinks.erase(slot.m_pUnit->m_strLinkKey);
            bChanged = true;
            if (!cmd.m_strReport.empty() &&
                !report.Append(identity, slot.m_pUnit->m_strName, ResultName(slot), slot.m_nExit,
                               slot.m_nCheckBefore, slot.m_nCheckAfter, slot.m_dSeconds,
                               strError)) {
                notes.Note(strError);
                bReportFailed = true;
            }
        }
        if (bChanged) progress();
        for (auto& slot : slots) {
            if (bInterrupted || nRunning >= nLimit) break;
            if (slot.m_eState != SSlot::EState::Waiting ||
                busyLinks.count(slot.m_pUnit->m_strLinkKey))
                continue;
            auto* pWorker = new CFleetWorker(&slot, &cmd);
            slot.m_pEnded = pWorker->EndedEvent();
            if (!pWorker->CreateThread()) {
                delete pWorker;
                // No thread for this unit now: it waits for one of the others to end.
                if (nRunning == 0) {
                    notes.Note("cannot start a thread for " + slot.m_pUnit->m_strName);
                    bInterrupted = true;
                }
                break;
            }
            slot.m_eState = SSlot::EState::Running;
            busyLinks.insert(slot.m_pUnit->m_strLinkKey);
            ++nRunning;
        }
        if (nRunning == 0) break;
        if (nImageBytes) {
            uint64_t nBytes = 0;
            for (const auto& slot : slots)
                nBytes += slot.m_nBytesDone;
            const int nTenth = static_cast<int>(nBytes * 10 / nImageBytes);
            if (nTenth > nLastTenth) {
                nLastTenth = nTenth;
                progress();
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (interrupts.Stopped() && !bInterrupted) {
            bInterrupted = true;
            Line("velorctl: interrupted: no more units are started; the " +
                 std::to_string(nRunning) +
                 " running finish their job (Ctrl-C again ends at once)");
        }
    }

    // The table, in the file's order.
    int nWorst = EXIT_OK;
    std::string strUntouched;
    json jUnits = json::array();
    std::string strText;
    size_t nWidth = 4;
    for (const auto& slot : slots)
        nWidth = std::max(nWidth, slot.m_pUnit->m_strName.size());
    for (const auto& slot : slots) {
        const std::string& strName = slot.m_pUnit->m_strName;
        json j;
        j["unit"] = strName;
        if (slot.m_eState != SSlot::EState::Done) {
            strUntouched += (strUntouched.empty() ? "" : ", ") + strName;
            j["result"] = "not-started";
            j["exit"] = nullptr;
            j["class"] = "not-started";
            j["seconds"] = 0;
        } else {
            nWorst = std::max(nWorst, slot.m_nExit);
            j["result"] = ResultName(slot);
            if (!slot.m_strSkipped.empty()) j["before"] = slot.m_strSkipped;
            j["exit"] = slot.m_nExit;
            j["class"] = ExitClassName(slot.m_nExit);
            j["seconds"] = static_cast<double>(static_cast<int64_t>(slot.m_dSeconds * 1000)) / 1000;
            if (!slot.m_strOutput.empty()) {
                j["output"] = json::parse(slot.m_strOutput, nullptr, false);
                // Settings and status are what the technician asked for: shown per unit.
                if (cmd.m_eMode == CCliPrompts::EMode::Read ||
                    cmd.m_eMode == CCliPrompts::EMode::Status)
                    strText += FormatLines(slot.m_strOutput, strName + ": ");
            }
        }
        jUnits.push_back(j);
    }
    if (cmd.m_bJson) {
        COutput::Std().Out(out::JsonText(jUnits) + "\n");
    } else {
        char szHead[160];
        std::snprintf(szHead, sizeof szHead, "%-*s  %-14s  %-9s  %s\n", static_cast<int>(nWidth),
                      "unit", "result", "exit", "seconds");
        strText += szHead;
        for (const auto& j : jUnits) {
            const std::string strExit =
                j["exit"].is_null()
                    ? "-"
                    : std::to_string(j["exit"].get<int>()) + " " + j["class"].get<std::string>();
            const std::string strUnit = out::ValueText(j["unit"]);
            strText += strUnit + std::string(nWidth - std::min(nWidth, strUnit.size()), ' ') + "  ";
            char szRow[128];
            std::snprintf(szRow, sizeof szRow, "%-14s  %-9s  %s\n",
                          j["result"].get<std::string>().c_str(), strExit.c_str(),
                          Seconds(j["seconds"].get<double>()).c_str());
            strText += szRow;
        }
        strText += CountsLine(cmd.m_eMode, jUnits);
        COutput::Std().Out(strText);
    }
    if (bReportFailed) {
        // The report is what a resumed run trusts: a gap in it is not a success.
        notes.Note("the report " + cmd.m_strReport + " misses units; do not resume from it");
        nWorst = std::max(nWorst, static_cast<int>(EXIT_COMM));
    }
    if (!strUntouched.empty()) {
        notes.Note("interrupted: not touched: " + strUntouched);
        return EXIT_INTERRUPTED;
    }
    return nWorst;
}
