#include "cli/Commands.h"
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

bool IsComName(const std::string& str) {
    return str.rfind("COM", 0) == 0;
}

std::string ParityName(const std::string& str) {
    return str == "none" ? "None" : str == "odd" ? "Odd" : "Even";
}

// The serial settings as the serial port dialog would store them, and the device
// path when one was named instead of a COM port.
// False, with a note, when the record refuses them.
bool SetUpSerial(const SLinkOptions& link, CCliHost& host, std::string& strDevice,
                 CCliPrompts& prompts) {
    const std::string strPort = IsComName(link.m_strSerialPort) ? link.m_strSerialPort : "COM1";
    if (!IsComName(link.m_strSerialPort)) strDevice = link.m_strSerialPort;
    const std::string strParity = ParityName(link.m_strParity);
    const std::string strBaud = std::to_string(link.m_nBaud);
    const auto scp = ScpParams::Make(strPort, link.m_nUnitAddr, strParity, strBaud);
    if (!scp) {
        prompts.Note(ScpParams::TextProblem(strPort, strParity, strBaud));
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
bool SerialNameOk(const SLinkOptions& link, CCliPrompts& prompts) {
    if (!IsComName(link.m_strSerialPort)) return true;
    const std::string strProblem = CSerlComm::PortNameProblem(link.m_strSerialPort);
    if (strProblem.empty()) return true;
    prompts.Note(strProblem);
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

void Print(const SLinkOptions& link, const json& j) {
    if (link.m_pCapture) {
        *link.m_pCapture = out::JsonText(j);
        return;
    }
    COutput::Std().Result(j, link.m_bJson);
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
int Ended(CCliPrompts& prompts, EJobResult eResult) {
    prompts.m_eResult = eResult;
    return ExitCode(eResult);
}

// A command that ends without its record: with --json, the result alone, so that a
// script reads how it ended from stdout. A fleet run keeps each unit's result itself.
int Failed(const SLinkOptions& link, CCliPrompts& prompts, EJobResult eResult) {
    if (link.m_bJson && !link.m_pCapture) Print(link, json{{"result", JobResultName(eResult)}});
    return Ended(prompts, eResult);
}

// The whole image is checked before anything is sent, by a download and a dry run
// alike; false with the note a flash shows.
bool CheckImage(CCliPrompts& prompts, CImageCheck& check) {
    check = ValidateImage(prompts.m_strImagePath);
    if (check.Ok()) return true;
    prompts.Note(check.m_nResult == CImageReader::ERR_OPEN ? "cannot open " + prompts.m_strImagePath
                                                           : check.FormatErrorMessage());
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

bool ConfirmSwitches(const SLinkOptions& link, CCliPrompts& prompts) {
    return prompts.SwitchesNotice(link.m_bUdp ? ELink::Ethernet : ELink::Serial);
}

int NoticeRefused(CCliPrompts& prompts) {
    return prompts.UsageRefused() ? EXIT_USAGE : EXIT_REFUSED;
}

// The switch notice, the port name and the link settings before a job; 0 when the
// job may run, else the exit status.
int PrepareJob(const SLinkOptions& link, CCliPrompts& prompts, CCliHost& host,
               std::string& strDevice) {
    if (!ConfirmSwitches(link, prompts)) return NoticeRefused(prompts);
    if (link.m_bUdp) {
        SetUpUdp(link, host);
        return EXIT_OK;
    }
    if (!SerialNameOk(link, prompts) || !SetUpSerial(link, host, strDevice, prompts))
        return EXIT_USAGE;
    return EXIT_OK;
}

} // namespace

std::optional<status::CUnitStatus> QueryStatus(const SLinkOptions& link, CCliPrompts& prompts,
                                               int& nExit) {
    CCliHost host(&prompts);
    std::optional<status::CUnitStatus> st;
    nExit = EXIT_OK;
    if (link.m_bUdp) {
        SetUpUdp(link, host);
        CEthLink eth(&host);
        EJobResult eResult = EJobResult::CommFailure;
        if (eth.OpenSocket(TimeConstants().m_nRecvMs, CEthLink::EOpen::Start) ==
                CEthLink::EOpenResult::Open &&
            eth.StepPolls()) {
            eth.Frame()[frame::OFS_ADDR] = host.m_rec[NetParams::OFS_COMM_ADDR];
            if (eth.CommandExchange(frame::CMD_STATUS, 2, nullptr)) {
                st = frame::CheckReply(eth.Frame(), eth.Received()) == frame::OK
                         ? frame::ParseStatusReply(eth.Frame(), eth.Received())
                         : std::nullopt;
                if (!st) prompts.Note(NOTE_STATUS_NOT_WHOLE);
            } else {
                eResult = eth.Result();
            }
        } else {
            eResult = eth.Result();
        }
        eth.CloseSocket(CEthLink::EClose::JobEnd);
        if (!st) nExit = Failed(link, prompts, eResult);
        return st;
    }
    std::string strDevice;
    if (!SerialNameOk(link, prompts) || !SetUpSerial(link, host, strDevice, prompts)) {
        nExit = EXIT_USAGE;
        return st;
    }
    CSerlComm comm(&host.m_scp, &prompts, strDevice);
    if (comm.Connect() != 0) {
        nExit = Failed(link, prompts, comm.Result());
        return st;
    }
    uint8_t abReply[CSerlComm::REPLY_SIZE] = {};
    if (const int nCode = comm.Transact(frame::CMD_STATUS, 2, nullptr, abReply)) {
        prompts.Message(txt::SER_NOT_RESPONDING);
        // Silence, or replies that were there but unusable.
        nExit =
            Failed(link, prompts,
                   nCode == frame::ERR_NO_REPLY ? EJobResult::NoAnswer : EJobResult::CommFailure);
        return st;
    }
    st = frame::ParseStatusReply(abReply, comm.ReplyLen());
    if (!st) {
        prompts.Note(NOTE_STATUS_NOT_WHOLE);
        nExit = Failed(link, prompts, EJobResult::CommFailure);
    }
    return st;
}

int RunStatus(const SLinkOptions& link, CCliPrompts& prompts) {
    if (!ConfirmSwitches(link, prompts)) return NoticeRefused(prompts);
    int nExit = EXIT_OK;
    const auto st = QueryStatus(link, prompts, nExit);
    if (!st) return nExit;
    prompts.m_nCheckBefore = prompts.m_nCheckAfter = st->m_nCheckWord;
    Print(link, StatusJson(*st));
    return Ended(prompts, EJobResult::Success);
}

int RunRead(const SLinkOptions& link, CCliPrompts& prompts) {
    CCliHost host(&prompts);
    std::string strDevice;
    if (const int nExit = PrepareJob(link, prompts, host, strDevice)) return nExit;
    RunJob(link, host, JOB_CONFIGURE, strDevice);
    // velorctl read answers the configuration dialog with Cancel: having reached it
    // is the success.
    if (!prompts.m_readRecord) return Failed(link, prompts, host.m_eResult);
    json j = RecordJson(*prompts.m_readRecord, prompts.m_bPropertiesMode, false);
    j["serial-number"] = prompts.m_nSerialNo;
    j["keys-enabled"] = prompts.m_bKeysEnabled;
    j["properties-mode"] = prompts.m_bPropertiesMode;
    Print(link, j);
    return Ended(prompts, EJobResult::Success);
}

int RunWrite(const SLinkOptions& link, CCliPrompts& prompts) {
    CCliHost host(&prompts);
    std::string strDevice;
    if (const int nExit = PrepareJob(link, prompts, host, strDevice)) return nExit;
    RunJob(link, host, JOB_CONFIGURE, strDevice);
    if (prompts.EditRefused()) return Failed(link, prompts, EJobResult::Refused);
    const EJobResult eResult = host.m_eResult;
    if (!prompts.m_strOutcome.empty() && prompts.m_readRecord) {
        // Already as asked: nothing was written and nothing reset.
        json j = RecordJson(*prompts.m_readRecord, prompts.m_bPropertiesMode, true);
        j["verified"] = false;
        j["reset"] = false;
        j["result"] = prompts.m_strOutcome;
        Print(link, j);
        return Ended(prompts, EJobResult::Success);
    }
    if (prompts.m_bWriteConfirmed) {
        json j = RecordJson(host.m_rec, prompts.m_bPropertiesMode, true);
        // The reset is offered only after the write; a reset that failed later does not
        // undo the verification.
        j["verified"] = prompts.m_bResetAsked && eResult != EJobResult::VerifyFailed;
        j["reset"] = prompts.m_bReset && prompts.m_bResetAsked && eResult == EJobResult::Success;
        j["result"] = JobResultName(eResult);
        Print(link, j);
        return Ended(prompts, eResult);
    }
    return Failed(link, prompts, eResult);
}

int RunReset(const SLinkOptions& link, CCliPrompts& prompts) {
    if (!ConfirmSwitches(link, prompts)) return NoticeRefused(prompts);
    CCliHost host(&prompts);
    EJobResult eResult = EJobResult::None;
    if (link.m_bUdp) {
        SetUpUdp(link, host);
        prompts.m_bReset = true;
        RunJob(link, host, JOB_RESET, {});
        eResult = host.m_eResult;
    } else {
        std::string strDevice;
        if (!SerialNameOk(link, prompts) || !SetUpSerial(link, host, strDevice, prompts))
            return EXIT_USAGE;
        CSerlComm comm(&host.m_scp, &prompts, strDevice);
        comm.ResetUnit();
        eResult = comm.Result();
    }
    const int nExit = Ended(prompts, eResult);
    if (link.m_bJson)
        Print(link, json{{"reset", nExit == EXIT_OK}, {"result", JobResultName(eResult)}});
    return nExit;
}

int RunFlash(const SLinkOptions& link, CCliPrompts& prompts) {
    CImageCheck check;
    if (prompts.m_imageChecked)
        check = *prompts.m_imageChecked;
    else if (!CheckImage(prompts, check))
        return Ended(prompts, EJobResult::ImageError);
    prompts.m_nTotalBlocks = check.m_nBlocks;
    prompts.m_nTotalBytes = check.m_nBytes;
    const auto start = std::chrono::steady_clock::now();
    json j;
    j["image"] = prompts.m_strImagePath;
    j["blocks"] = check.m_nBlocks;
    j["bytes"] = check.m_nBytes;
    j["check-word"] = Hex4(check.m_nCheckWord);
    if (prompts.m_bIfNeeded) {
        if (!ConfirmSwitches(link, prompts)) return NoticeRefused(prompts);
        prompts.m_bYes = true; // confirmed once for the status and the download
        int nExit = EXIT_OK;
        const auto st = QueryStatus(link, prompts, nExit);
        if (!st) return nExit;
        prompts.m_nCheckBefore = st->m_nCheckWord;
        j["unit-check-word"] = Hex4(st->m_nCheckWord);
        // 0 is a unit that checks nothing, and an image without a check word has none
        // to compare: both are flashed.
        if (check.m_bCheckWordFound && st->m_nCheckWord != 0 &&
            st->m_nCheckWord == check.m_nCheckWord) {
            prompts.m_nCheckAfter = st->m_nCheckWord;
            prompts.m_strOutcome = "current";
            j["updated"] = false;
            j["result"] = prompts.m_strOutcome;
            j["seconds"] = Millis(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            Print(link, j);
            return Ended(prompts, EJobResult::Success);
        }
    }
    CCliHost host(&prompts);
    std::string strDevice;
    if (const int nExit = PrepareJob(link, prompts, host, strDevice)) return nExit;
    prompts.StartClock();
    RunJob(link, host, JOB_FLASH, strDevice);
    const double dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const EJobResult eResult = host.m_eResult;
    if (eResult == EJobResult::Unverified)
        prompts.Note("loaded; the unit reports check word 0, so nothing was compared");
    const int nExit = Ended(prompts, eResult);
    // A verified load leaves the unit reporting the image's check word.
    if (eResult == EJobResult::Success) prompts.m_nCheckAfter = check.m_nCheckWord;
    j["updated"] = nExit == EXIT_OK;
    j["result"] = JobResultName(eResult);
    j["seconds"] = Millis(dSeconds);
    Print(link, j);
    return nExit;
}

int RunFlashDryRun(const SLinkOptions& link, CCliPrompts& prompts) {
    CImageCheck check;
    if (!CheckImage(prompts, check)) return EXIT_IMAGE;
    // The blocks once more, for their addresses: the same reader a download uses.
    std::vector<std::pair<uint32_t, uint32_t>> ranges; // [first, last]
    uint64_t nLineBytes = 0;
    CImageReader reader;
    const int nRead = reader.Run(prompts.m_strImagePath, [&](const uint8_t* pBlock, size_t nLen) {
        // A load request (frame around the block) and its empty reply.
        nLineBytes += nLen + 2 + 6 + frame::HEADER_LEN;
        const size_t k = nLen - loadblock::LOAD_HEADER;
        if (k == 0) return 0;
        const uint32_t nFirst = loadblock::LoadAddress(pBlock);
        ranges.emplace_back(nFirst, static_cast<uint32_t>(nFirst + k - 1));
        return 0;
    });
    if (nRead != CImageReader::OK) { // changed since the check
        prompts.Note("the image changed while it was read; run the dry run again");
        return EXIT_IMAGE;
    }
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
    json j;
    j["image"] = prompts.m_strImagePath;
    j["blocks"] = check.m_nBlocks;
    j["bytes"] = check.m_nBytes;
    j["ranges"] = jRanges;
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
    Print(link, j);
    return EXIT_OK;
}

int RunCommand(const SLinkOptions& link, CCliPrompts& prompts) {
    switch (prompts.Mode()) {
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

std::string FormatLines(const std::string& strJsonObject, const std::string& strPrefix) {
    const json j = json::parse(strJsonObject, nullptr, false);
    return j.is_object() ? out::Lines(j, strPrefix) : std::string();
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
