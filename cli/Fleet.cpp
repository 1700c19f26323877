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
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "cli/Campaign.h"
#include "cli/CliPrompts.h"
#include "cli/Commands.h"
#include "cli/Interrupts.h"
#include "cli/Output.h"
#include "firmware/ImageReader.h"
#include "platform/OpenFileLimit.h"
#include "platform/OutsideFile.h"
#include "platform/SerialDevice.h"
#include "platform/WinThread.h"
#include "serial/SerlComm.h"

using json = nlohmann::ordered_json;

namespace {

using Clock = std::chrono::steady_clock;

// A site is dozens of units, not thousands; a file this long is a mistake.
constexpr size_t MAX_UNITS = 4096;

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
        NetParams dotted; // 10.0.0.010 and 10.0.0.10 are one host
        dotted.SetDottedAt(0, link.m_strHost);
        link.m_strHost = dotted.DottedAt(0);
        unit.m_strLinkKey = "udp:" + link.m_strHost + ":" + std::to_string(link.m_nUdpPort);
        if (!strBaud.empty() || !strParity.empty()) {
            strWhy = "line-baud and line-parity are for serial units";
            return false;
        }
    } else if (strTarget.rfind("serial:", 0) == 0 && strTarget.size() > 7) {
        link.m_strSerialPort = strTarget.substr(7);
        std::string strProblem;
        unit.m_strLinkKey = PortDevice(link.m_strSerialPort, strProblem);
        if (!strProblem.empty()) {
            strWhy = strProblem;
            return false;
        }
        if (!strBaud.empty() && !IsLineBaud(strBaud)) {
            strWhy = "line-baud is one of " + LineBaudList();
            return false;
        }
        if (!strBaud.empty()) link.m_nBaud = std::stoi(strBaud);
        const auto& parities = LineParities();
        if (!strParity.empty() &&
            std::find(parities.begin(), parities.end(), strParity) == parities.end()) {
            strWhy = "line-parity is none, odd or even";
            return false;
        }
        if (!strParity.empty()) link.m_strParity = strParity;
    } else {
        strWhy = strTarget.empty() ? "no target"
                                   : "target '" + outside::Printable(strTarget) +
                                         "' is not udp:HOST[:PORT] or serial:PORT";
        return false;
    }
    unsigned long nAddr = 0;
    if (!strAddr.empty() && !ParseDecimal(strAddr, 0, 15, nAddr, 6)) {
        strWhy = "addr is a number 0..15";
        return false;
    }
    (link.m_bUdp ? link.m_nCommAddr : link.m_nUnitAddr) = static_cast<unsigned>(nAddr);
    unit.m_strName = strTarget + (strAddr.empty() ? "" : "@" + strAddr);
    unit.m_strKey = (link.m_bUdp ? "" : "serial:") + unit.m_strLinkKey +
                    (nAddr ? "@" + std::to_string(nAddr) : "");
    CFieldEdits check;
    return check.Parse(unit.m_fields, strWhy);
}

// The lines a unit wrote to stdout go to the end, in the file's order.
struct SSlot {
    const SFleetUnit* m_pUnit = nullptr;
    enum class EState { Waiting, Running, Done } m_eState = EState::Waiting;
    std::string m_strBefore; // --resume: the result the report holds for a unit left out
    std::shared_ptr<CManualResetEvent> m_pEnded;
    // Written by the unit's worker before it ends, read by the main thread after.
    SCommandOutcome m_outcome;
    std::string m_strOutput; // the outcome's object as JSON text
    std::atomic<uint64_t> m_nBytesDone{0};
    // Set before the unit starts: its campaign identity, flash --if-needed for it (a
    // resumed unit whose load had begun is flashed in full), and its load steps.
    nlohmann::ordered_json m_identity;
    bool m_bIfNeeded = false;
    std::function<void(bool bEnded)> m_fnLoadStep;
    std::string m_strCaught; // what the unit's command threw, when it did
};

// One unit's command on a thread of its own, with its own prompts and job host.
class CFleetWorker : public CWinThread {
public:
    CFleetWorker(SSlot* pSlot, const SFleetCommand* pCmd) : m_pSlot(pSlot), m_pCmd(pCmd) {}

    bool InitInstance() override {
        const SFleetUnit& unit = *m_pSlot->m_pUnit;
        SCommand cmd;
        cmd.m_eMode = m_pCmd->m_eMode;
        cmd.m_bYes = true; // confirmed once for the whole file
        cmd.m_bReset = m_pCmd->m_bReset;
        cmd.m_bIfNeeded = m_pSlot->m_bIfNeeded;
        cmd.m_strImagePath = m_pCmd->m_strImagePath;
        if (m_pCmd->m_eMode == ECommandMode::Flash) cmd.m_pImage = m_pCmd->m_pImage;
        SCommandOutput output;
        output.m_bJson = true;
        output.m_bPrint = false; // the fleet's table shows it
        output.m_strPrefix = unit.m_strName + ": ";
        output.m_fnLoadStep = m_pSlot->m_fnLoadStep;
        SSlot* pSlot = m_pSlot;
        output.m_fnBytesDone = [pSlot](uint64_t n) { pSlot->m_nBytesDone = n; };
        const auto start = Clock::now();
        // Nothing one unit throws may end the others' jobs mid-image.
        try {
            if (m_pCmd->m_eMode == ECommandMode::Write) {
                std::string strError; // checked before any unit started
                cmd.m_edits.Parse(MergeAssignments({m_pCmd->m_fileAssignments,
                                                    m_pCmd->m_assignments, unit.m_fields}),
                                  strError);
                cmd.m_edits.MarkFromFile(FromFileOnly(unit));
            }
            m_pSlot->m_outcome = RunCommand(unit.m_link, cmd, output);
            if (!m_pSlot->m_outcome.m_json.is_null())
                m_pSlot->m_strOutput = out::JsonText(m_pSlot->m_outcome.m_json);
        } catch (const std::exception& e) {
            m_pSlot->m_strCaught = e.what();
            m_pSlot->m_outcome.m_eUnit = EUnitResult::Failed;
            m_pSlot->m_outcome.m_nExit = EXIT_COMM;
            m_pSlot->m_outcome.m_dSeconds =
                std::chrono::duration<double>(Clock::now() - start).count();
        }
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

std::string Seconds(double d) {
    char sz[32];
    std::snprintf(sz, sizeof sz, "%.3f", d);
    return sz;
}

// "3 updated, 2 current, 1 failed" under the table.
std::string CountsLine(ECommandMode eMode, const std::vector<SSlot>& slots) {
    size_t nDone = 0, nKept = 0, nFailed = 0, nSkipped = 0, nNotStarted = 0;
    for (const auto& slot : slots) {
        switch (slot.m_outcome.m_eUnit) {
        case EUnitResult::Success:
            ++nDone;
            break;
        case EUnitResult::Current:
        case EUnitResult::Unchanged:
            ++nKept;
            break;
        case EUnitResult::Skipped:
            ++nSkipped;
            break;
        case EUnitResult::NotStarted:
            ++nNotStarted;
            break;
        case EUnitResult::Failed:
            ++nFailed;
            break;
        }
    }
    const bool bFlash = eMode == ECommandMode::Flash;
    const bool bWrite = eMode == ECommandMode::Write;
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
    const outside::SFileText file = outside::ReadFile(strPath, FLEET_MAX_FILE_BYTES);
    if (!file.Ok()) {
        strError = file.m_strError;
        return false;
    }
    return ParseFleetText(strPath, file.m_strText, units, strError);
}

namespace {

// The header's cells into columns; false with the reason.
bool TakeHeader(std::vector<std::string> cells, std::vector<std::string>& header,
                std::string& strWhy) {
    // A spreadsheet saves empty cells after the last column it was given.
    while (!cells.empty() && cells.back().empty())
        cells.pop_back();
    std::set<std::string> columns;
    for (const auto& strColumn : cells) {
        if (strColumn != "target" && strColumn != "addr" && strColumn != "line-baud" &&
            strColumn != "line-parity" && !IsFieldName(strColumn)) {
            strWhy = "unknown column '" + outside::Printable(strColumn) + "'";
            return false;
        }
        if (!columns.insert(strColumn).second) {
            strWhy = "column '" + strColumn + "' named twice";
            return false;
        }
    }
    if (!columns.count("target")) {
        strWhy = "the header names no 'target' column";
        return false;
    }
    header = std::move(cells);
    return true;
}

} // namespace

bool ParseFleetText(const std::string& strPath, const std::string& strText,
                    std::vector<SFleetUnit>& units, std::string& strError) {
    units.clear();
    const std::string strName = outside::Printable(strPath);
    // "CSV UTF-8" from a spreadsheet starts with a byte-order mark.
    const bool bMark = strText.rfind("\xEF\xBB\xBF", 0) == 0;
    const auto lines = outside::SplitLines(bMark ? strText.substr(3) : strText);
    std::vector<std::string> header;
    std::map<std::string, size_t> seen; // unit key -> line
    for (size_t nLine = 1; nLine <= lines.size(); ++nLine) {
        const std::string& strLine = lines[nLine - 1];
        const std::string strWhere = strName + ":" + std::to_string(nLine) + ": ";
        if (units.size() >= MAX_UNITS) {
            strError = strWhere + "too many units for one run";
            return false;
        }
        const std::string strTrimmed = Trim(strLine);
        if (strTrimmed.empty() || strTrimmed[0] == '#') continue;
        std::vector<std::string> cells = SplitCells(strLine);
        std::string strWhy;
        if (header.empty()) {
            if (!TakeHeader(cells, header, strWhy)) {
                strError = strWhere + strWhy;
                return false;
            }
            continue;
        }
        while (cells.size() > header.size() && cells.back().empty())
            cells.pop_back();
        if (cells.size() > header.size()) {
            strError = strWhere + "more cells than the header names";
            return false;
        }
        SFleetUnit unit;
        unit.m_nLine = nLine;
        if (!TakeUnit(header, cells, unit, strWhy)) {
            strError = strWhere + outside::Printable(strWhy);
            return false;
        }
        if (auto [it, bNew] = seen.emplace(unit.m_strKey, nLine); !bNew) {
            strError = strWhere + outside::Printable(unit.m_strName) + " is already on line " +
                       std::to_string(it->second);
            return false;
        }
        units.push_back(std::move(unit));
    }
    if (units.empty()) {
        strError = strName + ": no units";
        return false;
    }
    return true;
}

namespace {

// The fleet's own notes and its switch notices: --yes answers them.
SCommand NoticeCommand(const SFleetCommand& fleet) {
    SCommand cmd;
    cmd.m_eMode = fleet.m_eMode;
    cmd.m_bYes = fleet.m_bYes;
    return cmd;
}

// One fleet run in its steps: everything checked before any unit, the units a report
// holds as done left out, the rest scheduled, the table, and the end.
class CFleetRun {
public:
    CFleetRun(const std::string& strPath, unsigned nParallel, SFleetCommand cmd)
        : m_strPath(strPath), m_nParallel(nParallel), m_cmd(std::move(cmd)),
          m_notes(NoticeCommand(m_cmd), SCommandOutput{}) {}

    int Run() {
        if (const int nExit = Check()) return nExit;
        SkipResumed();
        Schedule();
        Table();
        return Finish();
    }

private:
    int Check();
    bool CheckFields();
    bool ReadReports();
    void SkipResumed();
    void Schedule();
    void Reap();
    bool StartWaiting();
    void Progress();
    void WatchProgress();
    void Table();
    int Finish();
    void ReportStep(SSlot& slot, const std::string& strResult, const json& details);

    std::string m_strPath;
    unsigned m_nParallel;
    SFleetCommand m_cmd;
    CCliPrompts m_notes;
    std::vector<SFleetUnit> m_units;
    std::vector<SSlot> m_slots;
    CCampaignReport m_report;
    SReportContents m_resumed;
    std::string m_strSalt;
    uint64_t m_nImageBytes = 0; // all units together
    std::atomic<bool> m_bReportFailed{false};
    std::set<std::string> m_busyLinks;
    size_t m_nRunning = 0, m_nDone = 0, m_nFailed = 0;
    bool m_bInterrupted = false;
    int m_nLastTenth = 0;
    int m_nWorst = EXIT_OK;
    std::string m_strUntouched;
};

bool CFleetRun::CheckFields() {
    const bool bWrite = m_cmd.m_eMode == ECommandMode::Write;
    std::string strError;
    for (const auto& unit : m_units) {
        if (!bWrite && !unit.m_fields.empty()) {
            m_notes.Note(m_strPath +
                         ": the field columns are for write; this command ignores them");
            break;
        }
        if (!bWrite) continue;
        const auto merged =
            MergeAssignments({m_cmd.m_fileAssignments, m_cmd.m_assignments, unit.m_fields});
        CFieldEdits edits;
        if (merged.empty() || !edits.Parse(merged, strError)) {
            m_notes.Note(m_strPath + ":" + std::to_string(unit.m_nLine) + ": " +
                         (merged.empty() ? "nothing to write for " + unit.m_strName : strError));
            return false;
        }
    }
    return true;
}

// A report goes on where it stands only when it is of this campaign; the salt of
// its key hashes is the one it was begun with.
bool CFleetRun::ReadReports() {
    std::string strError;
    SReportContents other;
    for (const std::string* pPath : {&m_cmd.m_strResume, &m_cmd.m_strReport}) {
        if (pPath->empty() || (pPath == &m_cmd.m_strReport && *pPath == m_cmd.m_strResume))
            continue;
        SReportContents& contents = pPath == &m_cmd.m_strResume ? m_resumed : other;
        if (!CCampaignReport::Read(*pPath, pPath == &m_cmd.m_strReport, contents, strError)) {
            m_notes.Note(strError);
            return false;
        }
        if (contents.m_bTornTail && pPath == &m_cmd.m_strResume)
            m_notes.Note(outside::Printable(*pPath) +
                         ": its last line was cut short; that unit's step counts as not done");
        if (m_strSalt.empty()) m_strSalt = contents.m_strSalt;
    }
    if (m_strSalt.empty()) m_strSalt = NewCampaignSalt();
    std::map<std::string, const SFleetUnit*> byKey;
    for (const auto& unit : m_units)
        byKey[unit.m_strKey] = &unit;
    for (const SReportContents* pContents : {&m_resumed, &other}) {
        for (const auto& line : pContents->m_lines) {
            const auto it = byKey.find(line.m_strTarget);
            const json identity = CampaignIdentity(
                m_cmd, it == byKey.end() ? std::vector<std::string>{} : it->second->m_fields,
                m_strSalt);
            const std::string strDiff =
                CampaignDifference(line.m_json, identity, it != byKey.end());
            if (!strDiff.empty()) {
                m_notes.Note(outside::Printable(pContents == &m_resumed ? m_cmd.m_strResume
                                                                        : m_cmd.m_strReport) +
                             ":" + std::to_string(line.m_nLine) + ": " + strDiff);
                return false;
            }
        }
    }
    return true;
}

// Everything that can be checked is checked before the first unit is touched.
int CFleetRun::Check() {
    std::string strError;
    if (!ReadFleetFile(m_strPath, m_units, strError)) {
        m_notes.Note(strError);
        return EXIT_USAGE;
    }
    if (!CheckFields()) return EXIT_USAGE;
    if (m_cmd.m_eMode == ECommandMode::Flash) {
        m_cmd.m_pImage = ReadImage(m_cmd.m_strImagePath);
        const CImageCheck& check = m_cmd.m_pImage->m_check;
        m_nImageBytes = static_cast<uint64_t>(check.m_nBytes) * m_units.size();
        if (!check.Ok()) {
            m_notes.Note(ImageProblem(check));
            return EXIT_IMAGE;
        }
    }
    if (!ReadReports()) return EXIT_USAGE;
    // One "Check Switches" notice for each kind of link in the file.
    for (const ELink eLink : {ELink::Ethernet, ELink::Serial}) {
        const bool bUsed = std::any_of(m_units.begin(), m_units.end(), [&](const SFleetUnit& u) {
            return u.m_link.m_bUdp == (eLink == ELink::Ethernet);
        });
        if (bUsed && !m_notes.SwitchesNotice(eLink))
            return m_notes.UsageRefused() ? EXIT_USAGE : EXIT_REFUSED;
    }
    const size_t nLimit =
        m_nParallel ? std::min<size_t>(m_nParallel, FLEET_MAX_PARALLEL) : FLEET_MAX_PARALLEL;
    RaiseOpenFileLimit(std::min(nLimit, m_units.size())); // a socket or a port a unit
    std::string strNote;
    if (!m_cmd.m_strReport.empty() && !m_report.Open(m_cmd.m_strReport, strError, strNote)) {
        m_notes.Note(strError);
        return EXIT_USAGE;
    }
    if (!strNote.empty()) m_notes.Note(strNote);
    return EXIT_OK;
}

void CFleetRun::ReportStep(SSlot& slot, const std::string& strResult, const json& details) {
    if (m_cmd.m_strReport.empty()) return;
    std::string strError;
    if (!m_report.Append(slot.m_identity, slot.m_pUnit->m_strKey, slot.m_pUnit->m_strName,
                         strResult, strError, details)) {
        Line("velorctl: " + strError);
        m_bReportFailed = true;
    }
}

// A unit whose last line is a success is left out; one whose load had begun
// ("started") is flashed in full; one whose load ended ("loaded") gets the check,
// and the load again when it fails.
void CFleetRun::SkipResumed() {
    std::map<std::string, const SReportLine*> lastLines;
    for (const auto& line : m_resumed.m_lines)
        lastLines[line.m_strTarget] = &line;
    m_slots = std::vector<SSlot>(m_units.size());
    for (size_t i = 0; i < m_units.size(); ++i) {
        SSlot& slot = m_slots[i];
        slot.m_pUnit = &m_units[i];
        slot.m_identity = CampaignIdentity(m_cmd, m_units[i].m_fields, m_strSalt);
        slot.m_bIfNeeded = m_cmd.m_bIfNeeded;
        slot.m_fnLoadStep = [this, &slot](bool bEnded) {
            ReportStep(slot, bEnded ? "loaded" : "started", json::object());
        };
        const auto it = lastLines.find(m_units[i].m_strKey);
        if (it == lastLines.end()) continue;
        const SReportLine& line = *it->second;
        if (line.m_strResult == "started") slot.m_bIfNeeded = false;
        if (line.m_strResult == "loaded") slot.m_bIfNeeded = true;
        if (!IsCampaignSuccess(line.m_eResult)) continue;
        slot.m_eState = SSlot::EState::Done;
        slot.m_outcome.m_eUnit = EUnitResult::Skipped;
        slot.m_strBefore = line.m_strResult;
        ++m_nDone;
    }
}

void CFleetRun::Progress() {
    std::string str = "fleet: " + std::to_string(m_nDone) + "/" + std::to_string(m_units.size()) +
                      " units done, " + std::to_string(m_nFailed) + " failed";
    if (m_nImageBytes) {
        uint64_t nBytes = 0;
        for (const auto& slot : m_slots)
            nBytes += slot.m_nBytesDone;
        str +=
            ", " + std::to_string(nBytes) + "/" + std::to_string(m_nImageBytes) + " bytes flashed";
    }
    Line(str);
}

// The units that ended since the last look: their lines in the report.
void CFleetRun::Reap() {
    bool bChanged = false;
    for (auto& slot : m_slots) {
        if (slot.m_eState != SSlot::EState::Running || !slot.m_pEnded->IsSet()) continue;
        slot.m_eState = SSlot::EState::Done;
        --m_nRunning;
        ++m_nDone;
        m_nFailed += slot.m_outcome.m_eUnit == EUnitResult::Failed;
        m_busyLinks.erase(slot.m_pUnit->m_strLinkKey);
        bChanged = true;
        if (!slot.m_strCaught.empty())
            Line(outside::Printable(slot.m_pUnit->m_strName) +
                 ": velorctl: its output could not be written: " +
                 outside::Printable(slot.m_strCaught));
        ReportStep(slot, UnitResultName(slot.m_outcome),
                   ReportDetails(slot.m_outcome.m_nExit, slot.m_outcome.m_nCheckBefore,
                                 slot.m_outcome.m_nCheckAfter, slot.m_outcome.m_dSeconds));
    }
    if (bChanged) Progress();
}

// False when no thread could be had for a unit and none is running.
bool CFleetRun::StartWaiting() {
    const size_t nLimit =
        m_nParallel ? std::min<size_t>(m_nParallel, FLEET_MAX_PARALLEL) : FLEET_MAX_PARALLEL;
    for (auto& slot : m_slots) {
        if (m_bInterrupted || m_nRunning >= nLimit) break;
        if (slot.m_eState != SSlot::EState::Waiting ||
            m_busyLinks.count(slot.m_pUnit->m_strLinkKey))
            continue;
        auto* pWorker = new CFleetWorker(&slot, &m_cmd);
        slot.m_pEnded = pWorker->EndedEvent();
        if (!pWorker->CreateThread()) {
            delete pWorker;
            // No thread for this unit now: it waits for one of the others to end.
            if (m_nRunning == 0) {
                m_notes.Note("cannot start a thread for " + slot.m_pUnit->m_strName);
                return false;
            }
            break;
        }
        slot.m_eState = SSlot::EState::Running;
        m_busyLinks.insert(slot.m_pUnit->m_strLinkKey);
        ++m_nRunning;
    }
    return true;
}

void CFleetRun::WatchProgress() {
    if (!m_nImageBytes) return;
    uint64_t nBytes = 0;
    for (const auto& slot : m_slots)
        nBytes += slot.m_nBytesDone;
    const int nTenth = static_cast<int>(nBytes * 10 / m_nImageBytes);
    if (nTenth > m_nLastTenth) {
        m_nLastTenth = nTenth;
        Progress();
    }
}

void CFleetRun::Schedule() {
    CInterrupts interrupts({}, [] {
        Line("velorctl: interrupted again: ending now, units still running are left as they are");
    });
    for (;;) {
        Reap();
        if (!StartWaiting()) m_bInterrupted = true;
        if (m_nRunning == 0) break;
        WatchProgress();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (interrupts.Stopped() && !m_bInterrupted) {
            m_bInterrupted = true;
            Line("velorctl: interrupted: no more units are started; the " +
                 std::to_string(m_nRunning) +
                 " running finish their job (Ctrl-C again ends at once)");
        }
    }
}

// The table, in the file's order.
void CFleetRun::Table() {
    json jUnits = json::array();
    std::string strText;
    size_t nWidth = 4;
    for (const auto& slot : m_slots)
        nWidth = std::max(nWidth, outside::Printable(slot.m_pUnit->m_strName).size());
    for (const auto& slot : m_slots) {
        const std::string& strName = slot.m_pUnit->m_strName;
        json j;
        j["unit"] = strName;
        if (slot.m_eState != SSlot::EState::Done) {
            m_strUntouched += (m_strUntouched.empty() ? "" : ", ") + outside::Printable(strName);
            j["result"] = UnitResultName(slot.m_outcome);
            j["exit"] = nullptr;
            j["class"] = "not-started";
            j["seconds"] = 0;
        } else {
            const SCommandOutcome& outcome = slot.m_outcome;
            m_nWorst = std::max(m_nWorst, outcome.m_nExit);
            j["result"] = UnitResultName(outcome);
            if (outcome.m_eUnit == EUnitResult::Skipped) j["before"] = slot.m_strBefore;
            j["exit"] = outcome.m_nExit;
            j["class"] = ExitClassName(outcome.m_nExit);
            j["seconds"] =
                static_cast<double>(static_cast<int64_t>(outcome.m_dSeconds * 1000)) / 1000;
            if (!slot.m_strOutput.empty()) {
                j["output"] = json::parse(slot.m_strOutput, nullptr, false);
                // Settings and status are what the technician asked for: shown per unit.
                if (m_cmd.m_eMode == ECommandMode::Read || m_cmd.m_eMode == ECommandMode::Status)
                    strText += FormatLines(slot.m_strOutput, strName + ": ");
            }
        }
        jUnits.push_back(j);
    }
    if (m_cmd.m_bJson) {
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
        strText += CountsLine(m_cmd.m_eMode, m_slots);
        COutput::Std().Out(strText);
    }
}

int CFleetRun::Finish() {
    if (m_bReportFailed) {
        // The report is what a resumed run trusts: a gap in it is not a success.
        m_notes.Note("the report " + outside::Printable(m_cmd.m_strReport) +
                     " misses units; do not resume from it");
        m_nWorst = std::max(m_nWorst, static_cast<int>(EXIT_COMM));
    }
    if (!m_strUntouched.empty()) {
        m_notes.Note("interrupted: not touched: " + m_strUntouched);
        return EXIT_INTERRUPTED;
    }
    return m_nWorst;
}

} // namespace

int RunFleet(const std::string& strPath, unsigned nParallel, SFleetCommand cmd) {
    CFleetRun run(strPath, nParallel, std::move(cmd));
    return run.Run();
}
