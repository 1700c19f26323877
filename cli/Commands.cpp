#include "cli/Commands.h"
#include "cli/CliPrompts.h"
#include "cli/Output.h"
#include "cli/TextForms.h"

#include <libserialport.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "ethernet/EthLink.h"
#include "firmware/ImageReader.h"
#include "firmware/LoadBlock.h"
#include "jobs/EthernetThread.h"
#include "jobs/JobHost.h"
#include "jobs/SerlThread.h"
#include "params/Texts.h"
#include "platform/HexText.h"
#include "platform/SerialDevice.h"
#include "platform/TimeConstants.h"
#include "serial/FrameCodec.h"
#include "serial/SerlComm.h"

using json = nlohmann::ordered_json;

namespace {

// The main window's part, without a window: it waits for the job to end.
class CCliHost : public CJobHost {
public:
    explicit CCliHost(IPrompts* pPrompts) : CJobHost(pPrompts) {
        m_pNetParams = &m_rec;
        m_pScpParams = &m_scp;
    }
    void OnJobFinished() override { m_done.Set(); }
    void WaitForJob() {
        m_done.Wait(-1);
        // The worker still posts its quit message, may touch this host and holds the
        // port until it has deleted itself. Only this job's worker counts: with
        // --fleet other units' jobs run on.
        if (m_pWorkerEnded) m_pWorkerEnded->Wait(-1);
        m_pWorkerEnded.reset();
    }
    NetParams m_rec = NetParams::Defaults();
    ScpParams m_scp;
    CManualResetEvent m_done;
    std::shared_ptr<CManualResetEvent> m_pWorkerEnded;
};

// One command's run: its dialogs' answers, and the outcome as it is learnt.
struct SRun {
    SRun(const SLinkOptions& link, SCommand cmd, const SCommandOutput& output)
        : m_link(link), m_cmd(WithImage(std::move(cmd))), m_output(output),
          m_prompts(m_cmd, output) {}
    // A flash whose image was not read before reads it here.
    static SCommand WithImage(SCommand cmd) {
        if (cmd.m_eMode == ECommandMode::Flash && !cmd.m_pImage)
            cmd.m_pImage = ReadImage(cmd.m_strImagePath);
        return cmd;
    }
    const SLinkOptions& m_link;
    const SCommand m_cmd;
    const SCommandOutput& m_output;
    CCliPrompts m_prompts;
    SCommandOutcome m_outcome;
    bool m_bKept = false;        // a success that sent the unit nothing to change
    bool m_bFailureLine = false; // ended without its record: with --json, the result alone
    bool m_bJsonOnly = false;    // the result object is printed with --json only
};

bool IsComName(const std::string& str) {
    return str.rfind("COM", 0) == 0;
}

std::string ParityName(const std::string& str) {
    return str == "none" ? "None" : str == "odd" ? "Odd" : "Even";
}

// The serial settings as the serial port dialog would store them, and the device
// path when one was named instead of a COM port.
// False, with a note, when the record refuses them.
bool SetUpSerial(SRun& r, CCliHost& host, std::string& strDevice) {
    const SLinkOptions& link = r.m_link;
    const std::string strPort = IsComName(link.m_strSerialPort) ? link.m_strSerialPort : "COM1";
    if (!IsComName(link.m_strSerialPort)) strDevice = link.m_strSerialPort;
    const std::string strParity = ParityName(link.m_strParity);
    const std::string strBaud = std::to_string(link.m_nBaud);
    const auto scp = ScpParams::Make(strPort, link.m_nUnitAddr, strParity, strBaud);
    if (!scp) {
        r.m_prompts.Note(ScpParams::TextProblem(strPort, strParity, strBaud));
        return false;
    }
    host.m_scp = *scp;
    return true;
}

void SetUpUdp(const SLinkOptions& link, CCliHost& host) {
    host.m_rec.SetDottedAt(NetParams::OFS_IP, link.m_strHost);
    host.m_rec.SetPort(link.m_nUdpPort);
    host.m_rec.SetU32(NetParams::OFS_COMM_ADDR, link.m_nCommAddr);
    host.m_strTargetIp = link.m_strHost;
    host.m_nTargetPort = link.m_nUdpPort;
    host.m_nRecvLen = 512;
}

// The port name is checked before anything is opened: "COM10" must not open COM1.
bool SerialNameOk(SRun& r) {
    std::string strProblem;
    PortDevice(r.m_link.m_strSerialPort, strProblem);
    if (strProblem.empty()) return true;
    r.m_prompts.Note(strProblem);
    return false;
}

// Runs one job on its worker thread and waits for its end.
void RunJob(const SLinkOptions& link, CCliHost& host, uint32_t nJob, const std::string& strDevice) {
    host.m_nJob = nJob;
    if (link.m_bUdp) {
        host.m_nRecvLen = 512;
        host.m_bEthernetBusy = true;
        auto* pThread = new CEthernetThread(&host);
        host.m_pWorkerEnded = pThread->EndedEvent();
        if (!pThread->CreateThread()) {
            delete pThread;
            host.m_pWorkerEnded.reset();
            host.m_done.Set();
        }
    } else {
        host.m_bSerialBusy = true;
        auto* pThread = new CSerlThread(&host, strDevice);
        host.m_pWorkerEnded = pThread->EndedEvent();
        if (!pThread->CreateThread()) {
            delete pThread;
            host.m_pWorkerEnded.reset();
            host.m_done.Set();
        }
    }
    host.WaitForJob();
}

std::string Hex6(uint32_t n) {
    char sz[12];
    std::snprintf(sz, sizeof sz, "%06X", n & 0xFFFFFF);
    return sz;
}

double Millis(double dSeconds) {
    return static_cast<double>(static_cast<int64_t>(dSeconds * 1000)) / 1000.0;
}

constexpr const char* NOTE_STATUS_NOT_WHOLE =
    "the unit's status reply is not a whole status record";

// Records how the command ended and gives its exit status.
int Ended(SRun& r, EJobResult eResult) {
    r.m_outcome.m_eJob = eResult;
    return ExitCode(eResult);
}

// A command that ends without its record.
int Failed(SRun& r, EJobResult eResult) {
    r.m_bFailureLine = true;
    return Ended(r, eResult);
}

// The whole image is checked before anything is sent, by a download and a dry run
// alike; false with the note a flash shows.
bool CheckImage(SRun& r, CImageCheck& check) {
    check = r.m_cmd.m_pImage->m_check;
    if (check.Ok()) return true;
    r.m_prompts.Note(ImageProblem(check));
    return false;
}

json StatusJson(const status::CUnitStatus& st) {
    json j;
    j["serial-number"] = st.m_nSerialNo;
    j["keys-enabled"] = st.m_bKeysEnabled;
    j["configuration-switch"] = st.m_bConfigSwitch;
    j["properties-mode"] = st.m_bPropertiesMode;
    j["check-word"] = Hex4(st.m_nCheckWord);
    return j;
}

bool ConfirmSwitches(SRun& r) {
    return r.m_prompts.SwitchesNotice(r.m_link.m_bUdp ? ELink::Ethernet : ELink::Serial);
}

int NoticeRefused(const SRun& r) {
    return r.m_prompts.UsageRefused() ? EXIT_USAGE : EXIT_REFUSED;
}

// The switch notice, the port name and the link settings before a job; 0 when the
// job may run, else the exit status.
int PrepareJob(SRun& r, CCliHost& host, std::string& strDevice) {
    if (!ConfirmSwitches(r)) return NoticeRefused(r);
    if (r.m_link.m_bUdp) {
        SetUpUdp(r.m_link, host);
        return EXIT_OK;
    }
    if (!SerialNameOk(r) || !SetUpSerial(r, host, strDevice)) return EXIT_USAGE;
    return EXIT_OK;
}

std::optional<status::CUnitStatus> QueryUdpStatus(SRun& r, CCliHost& host, int& nExit) {
    SetUpUdp(r.m_link, host);
    CEthLink eth(&host);
    std::optional<status::CUnitStatus> st;
    EJobResult eResult = EJobResult::CommFailure;
    if (eth.OpenSocket(TimeConstants().m_nRecvMs, CEthLink::EOpen::Start) ==
            CEthLink::EOpenResult::Open &&
        eth.StepPolls()) {
        eth.Frame()[frame::OFS_ADDR] = host.m_rec[NetParams::OFS_COMM_ADDR];
        if (eth.CommandExchange(frame::CMD_STATUS, 2, nullptr)) {
            st = frame::CheckReply(eth.Frame(), eth.Received()) == frame::OK
                     ? frame::ParseStatusReply(eth.Frame(), eth.Received())
                     : std::nullopt;
            if (!st) r.m_prompts.Note(NOTE_STATUS_NOT_WHOLE);
        } else {
            eResult = eth.Result();
        }
    } else {
        eResult = eth.Result();
    }
    eth.CloseSocket(CEthLink::EClose::JobEnd);
    if (!st) nExit = Failed(r, eResult);
    return st;
}

// The unit's status record; nullopt, with nExit set and the failure shown, when the
// unit gave none. No switch notice.
std::optional<status::CUnitStatus> QueryStatus(SRun& r, int& nExit) {
    CCliHost host(&r.m_prompts);
    nExit = EXIT_OK;
    if (r.m_link.m_bUdp) return QueryUdpStatus(r, host, nExit);
    std::string strDevice;
    if (!SerialNameOk(r) || !SetUpSerial(r, host, strDevice)) {
        nExit = EXIT_USAGE;
        return std::nullopt;
    }
    CSerlComm comm(&host.m_scp, &r.m_prompts, strDevice);
    if (comm.Connect() != 0) {
        nExit = Failed(r, comm.Result());
        return std::nullopt;
    }
    uint8_t abReply[CSerlComm::REPLY_SIZE] = {};
    if (const int nCode = comm.Transact(frame::CMD_STATUS, 2, nullptr, abReply)) {
        r.m_prompts.Message(txt::SER_NOT_RESPONDING);
        // Silence, or replies that were there but unusable.
        nExit = Failed(r, nCode == frame::ERR_NO_REPLY ? EJobResult::NoAnswer
                                                       : EJobResult::CommFailure);
        return std::nullopt;
    }
    auto st = frame::ParseStatusReply(abReply, comm.ReplyLen());
    if (!st) {
        r.m_prompts.Note(NOTE_STATUS_NOT_WHOLE);
        nExit = Failed(r, EJobResult::CommFailure);
    }
    return st;
}

int RunStatus(SRun& r) {
    if (!ConfirmSwitches(r)) return NoticeRefused(r);
    int nExit = EXIT_OK;
    const auto st = QueryStatus(r, nExit);
    if (!st) return nExit;
    r.m_outcome.m_nCheckBefore = r.m_outcome.m_nCheckAfter = st->m_nCheckWord;
    r.m_outcome.m_json = StatusJson(*st);
    return Ended(r, EJobResult::Success);
}

int RunRead(SRun& r) {
    CCliHost host(&r.m_prompts);
    std::string strDevice;
    if (const int nExit = PrepareJob(r, host, strDevice)) return nExit;
    RunJob(r.m_link, host, JOB_CONFIGURE, strDevice);
    // velorctl read answers the configuration dialog with Cancel: having reached it
    // is the success.
    const CCliPrompts& prompts = r.m_prompts;
    if (!prompts.ReadRecord()) return Failed(r, host.m_eResult);
    json j = RecordJson(*prompts.ReadRecord(), prompts.PropertiesMode(), false);
    j["serial-number"] = prompts.SerialNo();
    j["keys-enabled"] = prompts.KeysEnabled();
    j["properties-mode"] = prompts.PropertiesMode();
    r.m_outcome.m_json = j;
    return Ended(r, EJobResult::Success);
}

int RunWrite(SRun& r) {
    CCliHost host(&r.m_prompts);
    std::string strDevice;
    if (const int nExit = PrepareJob(r, host, strDevice)) return nExit;
    RunJob(r.m_link, host, JOB_CONFIGURE, strDevice);
    const CCliPrompts& prompts = r.m_prompts;
    if (prompts.EditRefused()) return Failed(r, EJobResult::Refused);
    const EJobResult eResult = host.m_eResult;
    if (prompts.Unchanged() && prompts.ReadRecord()) {
        // Already as asked: nothing was written and nothing reset.
        json j = RecordJson(*prompts.ReadRecord(), prompts.PropertiesMode(), true);
        j["verified"] = false;
        j["reset"] = false;
        j["result"] = "unchanged";
        r.m_outcome.m_json = j;
        r.m_bKept = true;
        return Ended(r, EJobResult::Success);
    }
    if (prompts.WriteConfirmed()) {
        json j = RecordJson(host.m_rec, prompts.PropertiesMode(), true);
        // The reset is offered only after the write; a reset that failed later does not
        // undo the verification.
        j["verified"] = prompts.ResetOffered() && eResult != EJobResult::VerifyFailed;
        j["reset"] =
            prompts.ResetAnswer() && prompts.ResetOffered() && eResult == EJobResult::Success;
        j["result"] = JobResultName(eResult);
        r.m_outcome.m_json = j;
        return Ended(r, eResult);
    }
    return Failed(r, eResult);
}

int RunReset(SRun& r) {
    if (!ConfirmSwitches(r)) return NoticeRefused(r);
    CCliHost host(&r.m_prompts);
    EJobResult eResult = EJobResult::None;
    if (r.m_link.m_bUdp) {
        SetUpUdp(r.m_link, host);
        r.m_prompts.ResetAsked();
        RunJob(r.m_link, host, JOB_RESET, {});
        eResult = host.m_eResult;
    } else {
        std::string strDevice;
        if (!SerialNameOk(r) || !SetUpSerial(r, host, strDevice)) return EXIT_USAGE;
        CSerlComm comm(&host.m_scp, &r.m_prompts, strDevice);
        comm.ResetUnit();
        eResult = comm.Result();
    }
    const int nExit = Ended(r, eResult);
    r.m_outcome.m_json = json{{"reset", nExit == EXIT_OK}, {"result", JobResultName(eResult)}};
    r.m_bJsonOnly = true;
    return nExit;
}

// flash --if-needed: whether the unit already holds the image (then with the result
// object in j); nullopt, with nExit set, when it gave no status.
std::optional<bool> UnitHoldsImage(SRun& r, const CImageCheck& check, json& j, int& nExit) {
    const auto st = QueryStatus(r, nExit);
    if (!st) return std::nullopt;
    r.m_outcome.m_nCheckBefore = st->m_nCheckWord;
    j["unit-check-word"] = Hex4(st->m_nCheckWord);
    // 0 is a unit that checks nothing, and an image without a check word has none
    // to compare: both are flashed.
    if (!check.m_bCheckWordFound || st->m_nCheckWord == 0 || st->m_nCheckWord != check.m_nCheckWord)
        return false;
    r.m_outcome.m_nCheckAfter = st->m_nCheckWord;
    r.m_bKept = true;
    j["updated"] = false;
    j["result"] = "current";
    return true;
}

int RunFlash(SRun& r) {
    CImageCheck check;
    if (!CheckImage(r, check)) return Ended(r, EJobResult::ImageError);
    const auto start = std::chrono::steady_clock::now();
    const auto secondsSince = [&start] {
        return Millis(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    };
    json j;
    j["image"] = r.m_cmd.m_strImagePath;
    j["blocks"] = check.m_nBlocks;
    j["bytes"] = check.m_nBytes;
    j["check-word"] = Hex4(check.m_nCheckWord);
    if (r.m_cmd.m_bIfNeeded) {
        if (!ConfirmSwitches(r)) return NoticeRefused(r);
        r.m_prompts.Confirmed(); // once for the status and the download
        int nExit = EXIT_OK;
        const auto bHolds = UnitHoldsImage(r, check, j, nExit);
        if (!bHolds) return nExit;
        if (*bHolds) {
            j["seconds"] = secondsSince();
            r.m_outcome.m_json = j;
            return Ended(r, EJobResult::Success);
        }
    }
    CCliHost host(&r.m_prompts);
    std::string strDevice;
    if (const int nExit = PrepareJob(r, host, strDevice)) return nExit;
    r.m_prompts.StartDownload(check.m_nBlocks, check.m_nBytes);
    RunJob(r.m_link, host, JOB_FLASH, strDevice);
    const EJobResult eResult = host.m_eResult;
    if (eResult == EJobResult::Unverified)
        r.m_prompts.Note("loaded; the unit reports check word 0, so nothing was compared");
    const int nExit = Ended(r, eResult);
    // A verified load leaves the unit reporting the image's check word.
    if (eResult == EJobResult::Success) r.m_outcome.m_nCheckAfter = check.m_nCheckWord;
    j["updated"] = nExit == EXIT_OK;
    j["result"] = JobResultName(eResult);
    j["seconds"] = secondsSince();
    r.m_outcome.m_json = j;
    return nExit;
}

// The image's load ranges as "AAAAAA-BBBBBB", merged where they touch, and the bytes
// a download puts on the line.
json LoadRanges(const CLoadImage& image, uint64_t& nLineBytes) {
    std::vector<std::pair<uint32_t, uint32_t>> ranges; // [first, last]
    nLineBytes = 0;
    image.Send([&](const uint8_t* pBlock, size_t nLen) {
        // A load request (frame around the block) and its empty reply.
        nLineBytes += nLen + 2 + 6 + frame::HEADER_LEN;
        const size_t k = nLen - loadblock::LOAD_HEADER;
        if (k == 0) return 0;
        const uint32_t nFirst = loadblock::LoadAddress(pBlock);
        ranges.emplace_back(nFirst, static_cast<uint32_t>(nFirst + k - 1));
        return 0;
    });
    // The end-of-load block; the unit restarts without answering it.
    nLineBytes += loadblock::LOAD_HEADER + 2 + 6;
    std::sort(ranges.begin(), ranges.end());
    json jRanges = json::array();
    for (size_t i = 0; i < ranges.size();) {
        uint32_t nFirst = ranges[i].first, nLast = ranges[i].second;
        for (++i; i < ranges.size() && ranges[i].first <= nLast + 1; ++i)
            nLast = std::max(nLast, ranges[i].second);
        jRanges.push_back(Hex6(nFirst) + "-" + Hex6(nLast));
    }
    return jRanges;
}

// flash --dry-run: checks the image and tells what a flash would send and how long it
// would take on the link's line; nothing is opened.
int RunFlashDryRun(SRun& r) {
    CImageCheck check;
    if (!CheckImage(r, check)) return EXIT_IMAGE;
    const SLinkOptions& link = r.m_link;
    uint64_t nLineBytes = 0;
    json j;
    j["image"] = r.m_cmd.m_strImagePath;
    j["blocks"] = check.m_nBlocks;
    j["bytes"] = check.m_nBytes;
    j["ranges"] = LoadRanges(*r.m_cmd.m_pImage, nLineBytes);
    j["check-word"] = Hex4(check.m_nCheckWord);
    j["check-word-found"] = check.m_bCheckWordFound;
    if (link.m_bUdp) {
        j["link"] = "udp";
        j["time"] = "bounded by the unit: each block waits for its answer, not for a line rate";
    } else {
        const bool bParity = link.m_strParity != "none";
        const int nBits = 1 + 8 + (bParity ? 1 : 0) + 1;
        const double dSeconds =
            static_cast<double>(nLineBytes) * nBits / static_cast<double>(link.m_nBaud);
        j["link"] = "serial";
        j["baud"] = link.m_nBaud;
        j["parity"] = link.m_strParity;
        j["line-bytes"] = nLineBytes;
        j["seconds"] = Millis(dSeconds);
        j["time"] = std::to_string(nBits) + " bits a character" +
                    (link.m_strSerialPort.empty() ? " (no link named: the serial defaults)" : "");
    }
    r.m_outcome.m_json = j;
    return EXIT_OK;
}

int RunMode(SRun& r) {
    switch (r.m_cmd.m_eMode) {
    case ECommandMode::Status:
        return RunStatus(r);
    case ECommandMode::Read:
        return RunRead(r);
    case ECommandMode::Write:
        return RunWrite(r);
    case ECommandMode::Reset:
        return RunReset(r);
    case ECommandMode::Flash:
        return r.m_cmd.m_bDryRun ? RunFlashDryRun(r) : RunFlash(r);
    }
    return EXIT_USAGE;
}

// The result on stdout: the result object, or with --json how a command that ended
// without its record ended, so that a script reads it from stdout.
void PrintResult(const SRun& r) {
    const SCommandOutput& output = r.m_output;
    const SCommandOutcome& outcome = r.m_outcome;
    if (!outcome.m_json.is_null()) {
        if (output.m_bJson || !r.m_bJsonOnly)
            output.m_pOutput->Result(outcome.m_json, output.m_bJson);
    } else if (r.m_bFailureLine && output.m_bJson) {
        output.m_pOutput->Result(json{{"result", JobResultName(outcome.m_eJob)}}, true);
    }
}

} // namespace

SCommandOutcome RunCommand(const SLinkOptions& link, const SCommand& cmd,
                           const SCommandOutput& output) {
    const auto start = std::chrono::steady_clock::now();
    SRun r(link, cmd, output);
    SCommandOutcome& outcome = r.m_outcome;
    outcome.m_nExit = RunMode(r);
    outcome.m_dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const bool bCurrent = cmd.m_eMode == ECommandMode::Flash;
    outcome.m_eUnit = outcome.m_nExit != EXIT_OK ? EUnitResult::Failed
                      : !r.m_bKept               ? EUnitResult::Success
                      : bCurrent                 ? EUnitResult::Current
                                                 : EUnitResult::Unchanged;
    if (output.m_bPrint) PrintResult(r);
    return outcome;
}

std::string UnitResultName(const SCommandOutcome& outcome) {
    switch (outcome.m_eUnit) {
    case EUnitResult::Current:
        return "current";
    case EUnitResult::Unchanged:
        return "unchanged";
    case EUnitResult::Skipped:
        return "skipped";
    case EUnitResult::NotStarted:
        return "not-started";
    case EUnitResult::Success:
    case EUnitResult::Failed:
        break;
    }
    return outcome.m_eJob == EJobResult::None ? ExitClassName(outcome.m_nExit)
                                              : JobResultName(outcome.m_eJob);
}

std::string ImageProblem(const CImageCheck& check) {
    return check.m_nResult == CImageReader::ERR_OPEN ? "cannot read the image " + check.m_strReason
                                                     : check.FormatErrorMessage();
}

std::string FormatLines(const std::string& strJsonObject, const std::string& strPrefix) {
    const json j = json::parse(strJsonObject, nullptr, false);
    return j.is_object() ? out::Lines(j, strPrefix) : std::string();
}

std::string PortDevice(const std::string& strPort, std::string& strProblem) {
    if (!IsComName(strPort)) return strPort;
    strProblem = CSerlComm::PortNameProblem(strPort);
    return strProblem.empty() ? serialdev::ResolvePort(strPort[3] - '0') : std::string();
}

bool ParseHostPort(const std::string& str, std::string& strHost, uint16_t& nPort) {
    const auto nColon = str.find(':');
    strHost = str.substr(0, nColon);
    NetParams probe;
    if (!probe.SetDottedAt(0, strHost)) return false;
    if (nColon == std::string::npos) return true;
    const std::string strPort = str.substr(nColon + 1);
    unsigned long n = 0;
    if (!ParseDecimal(strPort, 1, 65535, n)) return false;
    nPort = static_cast<uint16_t>(n);
    return true;
}

int RunPorts(bool bJson) {
    json ports = json::array();
    sp_port** ppList = nullptr;
    if (sp_list_ports(&ppList) == SP_OK) {
        for (sp_port** pp = ppList; *pp; ++pp) {
            json p;
            p["device"] = sp_get_port_name(*pp);
            const char* pszDesc = sp_get_port_description(*pp);
            p["description"] = pszDesc ? pszDesc : "";
            int nVid = 0, nPid = 0;
            if (sp_get_port_transport(*pp) == SP_TRANSPORT_USB &&
                sp_get_port_usb_vid_pid(*pp, &nVid, &nPid) == SP_OK) {
                p["usb-vendor"] = Hex4(static_cast<unsigned>(nVid));
                p["usb-product"] = Hex4(static_cast<unsigned>(nPid));
                const char* pszMaker = sp_get_port_usb_manufacturer(*pp);
                const char* pszProduct = sp_get_port_usb_product(*pp);
                const char* pszSerial = sp_get_port_usb_serial(*pp);
                p["manufacturer"] = pszMaker ? pszMaker : "";
                p["product"] = pszProduct ? pszProduct : "";
                p["usb-serial"] = pszSerial ? pszSerial : "";
            }
            ports.push_back(p);
        }
        sp_free_port_list(ppList);
    }
    json com = json::object();
    for (int n = 1; n <= 9; ++n)
        com["COM" + std::to_string(n)] = serialdev::ResolvePort(n);
    COutput& output = COutput::Std();
    if (bJson) {
        output.Result(json{{"ports", ports}, {"com", com}}, true);
        return EXIT_OK;
    }
    std::string strText = ports.empty() ? "no serial ports found\n" : "";
    for (const auto& p : ports) {
        const std::string strDevice = out::ValueText(p["device"]);
        strText += strDevice + std::string(strDevice.size() < 16 ? 16 - strDevice.size() : 0, ' ') +
                   " " + out::ValueText(p["description"]);
        if (p.contains("usb-vendor"))
            strText += "  [USB " + out::ValueText(p["usb-vendor"]) + ":" +
                       out::ValueText(p["usb-product"]) + " " + out::ValueText(p["manufacturer"]) +
                       " " + out::ValueText(p["product"]) + " serial " +
                       out::ValueText(p["usb-serial"]) + "]";
        strText += "\n";
    }
    for (auto it = com.begin(); it != com.end(); ++it)
        strText += it.key() + " -> " + out::ValueText(*it) + "\n";
    output.Out(strText);
    return EXIT_OK;
}
