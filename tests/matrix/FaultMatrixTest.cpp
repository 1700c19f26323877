// The fault matrix: every job velorctl runs, over both links, against every fault
// the simulated unit can play. Each row states what must happen: the messages in
// order, the typed result velorctl reports, its exit status, and what the unit holds
// afterwards. Rows run as separate velorctl processes (time-outs divided by 10), up
// to four at a time, each against a simulated unit of its own. The table goes to the
// test output and to fault-matrix.md in the build folder.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "SimServerUtil.h"
#include "firmware/ImageReader.h"
#include "firmware/LoadBlock.h"
#include "firmware/SampleImage.h"
#include "sim/SimUnit.h"

namespace fs = std::filesystem;

namespace {

enum class EJob { Status, Read, Write, Reset, Flash };
const char* const JOB_NAMES[] = {"status", "read", "write", "reset", "flash"};
const char* const JOB_ARGS[] = {"status", "read", "write timeout=45", "reset", "flash "};

// What the unit holds after the row, as far as the row can change it.
enum class EParams { Same, Written, Mismatch };
enum class EMemory { Erased, Image, FirstTwoBlocks };
struct SUnitAfter {
    uint32_t m_nRestarts = 0;
    EParams m_eParams = EParams::Same;
    EMemory m_eMemory = EMemory::Erased;
    bool operator==(const SUnitAfter&) const = default;
};

struct SOutcome {
    std::vector<std::string> m_messages; // stderr lines, progress lines left out
    std::string m_strResult;
    int m_nExit = -1;
    SUnitAfter m_unit;
    bool operator==(const SOutcome&) const = default;
};

struct SFault {
    const char* m_pName;
    std::function<void(SSimFaults&)> m_fnSet;
    bool m_bUdpOnly = false;
};

const std::vector<SFault>& Faults() {
    static const std::vector<SFault> s_faults = {
        {"none", [](SSimFaults&) {}},
        {"silent", [](SSimFaults& f) { f.m_bSilent = true; }},
        {"silent after 3 frames", [](SSimFaults& f) { f.m_nSilentAfterFrames = 3; }},
        {"garble every reply", [](SSimFaults& f) { f.m_nGarbleEvery = 1; }},
        {"garble every 2nd reply", [](SSimFaults& f) { f.m_nGarbleEvery = 2; }},
        {"control bits E0", [](SSimFaults& f) { f.m_bHighBits = true; }},
        {"resync 1 reply", [](SSimFaults& f) { f.m_nResyncReplies = 1; }},
        {"resync 3 replies", [](SSimFaults& f) { f.m_nResyncReplies = 3; }},
        {"reject load", [](SSimFaults& f) { f.m_bRejectLoad = true; }},
        {"wrong check word", [](SSimFaults& f) { f.m_bWrongCheckWord = true; }},
        {"check word 0", [](SSimFaults& f) { f.m_bCheckWordZero = true; }},
        {"status count 40", [](SSimFaults& f) { f.m_nStatusCount = 40; }},
        {"switch off", [](SSimFaults& f) { f.m_bSwitchOff = true; }},
        {"properties mode, switch off",
         [](SSimFaults& f) {
             f.m_bPropertiesMode = true;
             f.m_bSwitchOff = true;
         }},
        {"answer reset", [](SSimFaults& f) { f.m_bAnswerReset = true; }},
        {"store mismatch", [](SSimFaults& f) { f.m_bStoreMismatch = true; }},
        {"stop after 2 load blocks", [](SSimFaults& f) { f.m_nStopAfterLoadBlocks = 2; }},
        {"polls only", [](SSimFaults& f) { f.m_bPollsOnly = true; }},
        {"reply delay 5 ms", [](SSimFaults& f) { f.m_nReplyDelayMs = 5; }},
        {"datagrams padded to 300", [](SSimFaults& f) { f.m_nOversizeReply = 300; }, true},
        {"datagrams padded to 600", [](SSimFaults& f) { f.m_nOversizeReply = 600; }, true},
    };
    return s_faults;
}

// The texts as the user reads them.
const std::string SER_NOT_RESPONDING = "Orvik not responding";
const std::string SER_CHECK_CONNECT =
    "Communication Error, Orvik not responding.  If problem persists, clear the NVRAM by setting "
    "SW2, switches 2,4,6,8 on and the rotary switch to F, power Velor off and on, wait for LEDS "
    "1-4 to flash, then restart procedure.";
const std::string SER_COMM_NOT_RESPONDING = "Communication Error, Orvik not responding";
const std::string SER_SWITCH_OFF = "SW 3 dipswitch 2 must be ON to configure the Orvik.";
const std::string SER_UPDATE_DONE = " Parameters are updated successfully";
const std::string SER_UPDATE_FAILED = " The parameter update failed";
const std::string SER_MISMATCH = "Error, Data read from Orvik does not match. Orvik not updated";
const std::string SER_RESET_DONE = " The Orvik has reset successfully";
const std::string SER_NOT_RESET = "Orvik did not reset";
const std::string SER_FLASH_NOTICE =
    "Click 'OK' to start flashing, please wait up to two minutes at 115,200 baud and up to 12 "
    "minutes at 9600 baud.  Do not power Velor off during the update.";
const std::string SER_FLASH_COMM_ERROR = "Flash not updated, comm error ";
const std::string SER_FLASH_REJECTED =
    "Flash not updated, rejected by Velor after load (checksum error) ";
const std::string ETH_RECEIVE_PREFIX = "Unable to connect to Velor - ";
const std::string ETH_RECEIVE_SUFFIX =
    ".  If problem persists, clear the NVRAM by setting SW2, switches 2,4,6,8 on and the rotary "
    "switch to F, power Velor off and on, wait for LEDS 1-4 to flash, then restart procedure.";
const std::string ETH_TIMED_OUT = ETH_RECEIVE_PREFIX + "Connection timed out" + ETH_RECEIVE_SUFFIX;
const std::string ETH_TOO_LONG = ETH_RECEIVE_PREFIX + "Message too long" + ETH_RECEIVE_SUFFIX;
const std::string ETH_POLL_ERROR = "Error";
const std::string ETH_SWITCH_OFF = "SW 3, dipswitch 2 must be ON to configure the Orvik.";
const std::string ETH_COMPARE_OK = " The Velor updated successfully";
const std::string ETH_COMPARE_FAILED = "!!!!!The Velor update did not compare successfully!!!!";
const std::string ETH_RESET_DONE = " The Velor has reset successfully";
const std::string ETH_FLASH_START = "Click 'OK' to start flashing, please wait up to two "
                                    "minutes.  Do not power Velor off during the update.";
const std::string ETH_REFUSED =
    "Velor answers but keeps refusing the request; the job has been ended.";
const std::string FLASH_OK = "Flash successfully updated";
const std::string FLASH_CRC = "Flash failed - CRC mismatch";
const std::string FLASH_GONE = "Unable to connect to Velor";
const std::string NOTE_NOT_CHECKED =
    "velorctl: loaded; the unit reports check word 0, so nothing was compared";
const std::string NOTE_SHORT_STATUS =
    "velorctl: the unit's status reply is not a whole status record";

using Messages = std::vector<std::string>;

SOutcome Ends(Messages messages, const char* pResult, int nExit, SUnitAfter unit = {}) {
    return {std::move(messages), pResult, nExit, unit};
}

// What a job does when the unit plays no fault.
SOutcome Normal(bool bUdp, EJob eJob) {
    switch (eJob) {
    case EJob::Status:
    case EJob::Read:
        return Ends({}, "success", 0);
    case EJob::Write:
        return Ends({bUdp ? ETH_COMPARE_OK : SER_UPDATE_DONE}, "success", 0,
                    {0, EParams::Written, EMemory::Erased});
    case EJob::Reset:
        return Ends({bUdp ? ETH_RESET_DONE : SER_RESET_DONE}, "success", 0, {1});
    case EJob::Flash:
        return Ends({bUdp ? ETH_FLASH_START : SER_FLASH_NOTICE, FLASH_OK}, "success", 0,
                    {1, EParams::Same, EMemory::Image});
    }
    return {};
}

// The serial link: every operation opens with two empty frames, and each request is
// tried three times before it fails.
SOutcome SerialExpected(EJob eJob, const std::string& strFault) {
    const SOutcome normal = Normal(false, eJob);
    const bool bConfigure = eJob == EJob::Read || eJob == EJob::Write || eJob == EJob::Flash;
    // No usable answer to the opening empty frames.
    const auto unreachable = [&](const char* pResult) {
        if (eJob == EJob::Status) return Ends({SER_NOT_RESPONDING}, pResult, 3);
        if (eJob == EJob::Reset)
            return Ends({SER_NOT_RESPONDING, SER_COMM_NOT_RESPONDING}, pResult, 3);
        return Ends({SER_NOT_RESPONDING, SER_CHECK_CONNECT}, pResult, 3);
    };
    if (strFault == "silent") return unreachable("no-answer");
    if (strFault == "garble every reply" || strFault == "control bits E0")
        return unreachable("comm-failure");
    if (strFault == "silent after 3 frames") {
        // Two empty frames and one request are answered.
        if (eJob == EJob::Read || eJob == EJob::Write)
            return Ends({SER_NOT_RESPONDING, SER_COMM_NOT_RESPONDING, SER_NOT_RESPONDING},
                        "no-answer", 3);
        if (eJob == EJob::Flash)
            return Ends({SER_FLASH_NOTICE, SER_FLASH_COMM_ERROR}, "no-answer", 3);
        return normal;
    }
    if (strFault == "reject load" && eJob == EJob::Flash)
        return Ends({SER_FLASH_NOTICE, SER_FLASH_REJECTED}, "refused", 1,
                    {0, EParams::Same, EMemory::Image});
    if (strFault == "wrong check word" && eJob == EJob::Flash)
        return Ends({SER_FLASH_NOTICE, FLASH_CRC}, "verify-failed", 1, normal.m_unit);
    if (strFault == "check word 0" && eJob == EJob::Flash)
        return Ends({SER_FLASH_NOTICE, NOTE_NOT_CHECKED}, "unverified", 0, normal.m_unit);
    if (strFault == "status count 40") {
        if (eJob == EJob::Status) return Ends({NOTE_SHORT_STATUS}, "comm-failure", 3);
        if (bConfigure) return Ends({SER_NOT_RESPONDING}, "comm-failure", 3);
        return normal;
    }
    // The serial link does not read the properties mode byte.
    if ((strFault == "switch off" || strFault == "properties mode, switch off") && bConfigure)
        return Ends({SER_SWITCH_OFF}, "refused", 1);
    if (strFault == "answer reset" && eJob == EJob::Reset)
        return Ends({SER_NOT_RESET}, "refused", 1);
    if (strFault == "store mismatch" && eJob == EJob::Write)
        return Ends({SER_MISMATCH, SER_UPDATE_FAILED}, "verify-failed", 1,
                    {0, EParams::Mismatch, EMemory::Erased});
    if (strFault == "stop after 2 load blocks" && eJob == EJob::Flash)
        return Ends({SER_FLASH_NOTICE, SER_FLASH_COMM_ERROR}, "no-answer", 3,
                    {0, EParams::Same, EMemory::FirstTwoBlocks});
    if (strFault == "polls only") {
        if (eJob == EJob::Status || bConfigure) return Ends({SER_NOT_RESPONDING}, "no-answer", 3);
        // A unit that ignores the reset request cannot be told from one that restarts.
        return Ends(normal.m_messages, "success", 0, {0});
    }
    // Garbled replies and resynchronisation requests are retried away; a short delay
    // is within the time-outs.
    return normal;
}

// The Ethernet link: every job step opens with two polls of which the second decides,
// an invalid reply to a poll says "Error", and nothing is retried inside an exchange.
SOutcome UdpExpected(EJob eJob, const std::string& strFault) {
    const SOutcome normal = Normal(true, eJob);
    const bool bConfigure = eJob == EJob::Read || eJob == EJob::Write;
    if (strFault == "silent") return Ends({ETH_TIMED_OUT, ETH_TIMED_OUT}, "no-answer", 3);
    if (strFault == "garble every reply" || strFault == "control bits E0" ||
        strFault == "resync 3 replies")
        return Ends({ETH_POLL_ERROR, ETH_POLL_ERROR}, "comm-failure", 3);
    if (strFault == "garble every 2nd reply") return Ends({ETH_POLL_ERROR}, "comm-failure", 3);
    if (strFault == "datagrams padded to 600")
        return Ends({ETH_TOO_LONG, ETH_TOO_LONG}, "comm-failure", 3);
    if (strFault == "resync 1 reply") {
        // The first poll is refused and says so; the second starts the sequence again.
        SOutcome outcome = normal;
        outcome.m_messages.insert(outcome.m_messages.begin(), ETH_POLL_ERROR);
        return outcome;
    }
    if (strFault == "silent after 3 frames" || strFault == "polls only") {
        // The polls are answered, the first command is not.
        if (eJob == EJob::Flash) return Ends({ETH_FLASH_START, ETH_TIMED_OUT}, "no-answer", 3);
        // The reset request is never answered: the link cannot tell it was ignored.
        if (eJob == EJob::Reset) return Ends(normal.m_messages, "success", 0, {0});
        return Ends({ETH_TIMED_OUT}, "no-answer", 3);
    }
    if (strFault == "reject load" && eJob == EJob::Flash)
        // The end of the load is sent without waiting for an answer; the unit still
        // holds and reports the image.
        return Ends(normal.m_messages, "success", 0, {0, EParams::Same, EMemory::Image});
    if (strFault == "wrong check word" && eJob == EJob::Flash)
        return Ends({ETH_FLASH_START, FLASH_CRC}, "verify-failed", 1, normal.m_unit);
    if (strFault == "check word 0" && eJob == EJob::Flash)
        return Ends({ETH_FLASH_START, NOTE_NOT_CHECKED}, "unverified", 0, normal.m_unit);
    if (strFault == "status count 40") {
        if (eJob == EJob::Status) return Ends({NOTE_SHORT_STATUS}, "comm-failure", 3);
        if (bConfigure) return Ends({ETH_REFUSED}, "refused", 1);
        if (eJob == EJob::Flash)
            return Ends({ETH_FLASH_START, FLASH_GONE}, "no-answer", 3, normal.m_unit);
        return normal;
    }
    // The Ethernet flash reads no status before the load; a unit in properties mode
    // may be configured with its switch off.
    if (strFault == "switch off" && bConfigure) return Ends({ETH_SWITCH_OFF}, "refused", 1);
    if (strFault == "answer reset" && eJob == EJob::Reset)
        return Ends(normal.m_messages, "success", 0, {0});
    if (strFault == "store mismatch" && eJob == EJob::Write)
        return Ends({ETH_COMPARE_FAILED}, "verify-failed", 1,
                    {0, EParams::Mismatch, EMemory::Erased});
    if (strFault == "stop after 2 load blocks" && eJob == EJob::Flash)
        return Ends({ETH_FLASH_START, ETH_TIMED_OUT}, "no-answer", 3,
                    {0, EParams::Same, EMemory::FirstTwoBlocks});
    return normal;
}

struct SRow {
    bool m_bUdp = false;
    EJob m_eJob = EJob::Status;
    const SFault* m_pFault = nullptr;
    SOutcome m_expected;
    SOutcome m_actual;
    std::string m_strProblem; // why the row could not be judged (start, time-out, output)
    double m_dSeconds = 0;
};

std::string Describe(const SUnitAfter& u) {
    static const char* const PARAMS[] = {"as before", "written", "not what was written"};
    static const char* const MEMORY[] = {"erased", "the image", "the first 2 blocks"};
    return "params " + std::string(PARAMS[static_cast<int>(u.m_eParams)]) + ", memory " +
           MEMORY[static_cast<int>(u.m_eMemory)] + ", " + std::to_string(u.m_nRestarts) +
           " restart(s)";
}

std::string Join(const Messages& v) {
    std::string str;
    for (const auto& s : v)
        str += (str.empty() ? "" : " / ") + ("\"" + s + "\"");
    return str.empty() ? "(none)" : str;
}

// velorctl may end right after a datagram the unit has not handled yet (a reset
// request, say). The unit handles datagrams in order, so once it answers one sent
// after them, they have been handled. A unit that answers nothing is given 300 ms.
void AwaitUdpHandled(uint16_t nPort) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(nPort);
    const uint8_t abEmpty[] = {0xFE, 0x00, 0x00, 0x00, 0xFE};
    ::sendto(fd, abEmpty, sizeof abEmpty, 0, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    pollfd pfd{fd, POLLIN, 0};
    ::poll(&pfd, 1, 300);
    ::close(fd);
}

class FaultMatrix : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::path(::testing::TempDir()) / ("velor-matrix-" + std::to_string(::getpid()));
        fs::create_directories(m_dir);
        m_strImage = (m_dir / "image.s19").string();
        SSampleImage layout;
        layout.m_nStart = 0xF800;
        layout.m_nLength = 4096;
        ASSERT_TRUE(WriteSampleImage(m_strImage, layout));
        CImageReader reader;
        ASSERT_EQ(reader.Run(m_strImage,
                             [&](const uint8_t* p, size_t n) {
                                 m_blocks.emplace_back(p, p + n);
                                 return 0;
                             }),
                  0);
        ASSERT_GT(m_blocks.size(), 3u);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    // The unit's memory compared with the image's first nBlocks blocks (all when 0),
    // and erased everywhere else.
    bool MemoryHolds(const std::vector<uint8_t>& memory, size_t nBlocks) const {
        std::vector<uint8_t> expected(CSimUnit::MEMORY_SIZE, 0xFF);
        for (size_t i = 0; i < (nBlocks ? nBlocks : m_blocks.size()); ++i) {
            const auto& b = m_blocks[i];
            std::copy(b.begin() + loadblock::LOAD_HEADER, b.end(),
                      expected.begin() + loadblock::LoadAddress(b.data()));
        }
        return memory == expected;
    }

    void RunRow(SRow& row, size_t nIndex) {
        const auto tStart = std::chrono::steady_clock::now();
        CSimServer sim;
        SSimOptions options;
        options.m_bPty = true;
        options.m_bUdp = true;
        options.m_nUdpPort = 0;
        options.m_bResyncAtStart = false;
        options.m_bSerialKeepsScp = true;
        row.m_pFault->m_fnSet(options.m_faults);
        std::string strError;
        if (!sim.Start(options, &strError)) {
            row.m_strProblem = "simulated unit: " + strError;
            return;
        }
        PointRecordAtServer(sim);
        const NetParams before = sim.WithUnit([](CSimUnit& u) { return u.Params(); });

        const std::string strLink = row.m_bUdp ? "--udp 127.0.0.1:" + std::to_string(sim.UdpPort())
                                               : "--serial " + sim.PtyPath();
        std::string strArgs = JOB_ARGS[static_cast<int>(row.m_eJob)];
        if (row.m_eJob == EJob::Flash) strArgs += m_strImage;
        const std::string strErrFile = (m_dir / ("row" + std::to_string(nIndex) + ".err")).string();
        // A row that hangs is ended by timeout(1) and fails; it never holds up the rest.
        const std::string strCmd = "VELOR_TIME_DIVISOR=10 timeout 60 " +
                                   std::string(VELOR_BIN_DIR) + "/cli/velorctl " + strLink +
                                   " --yes --json " + strArgs + " 2>" + strErrFile + " </dev/null";
        std::string strOut;
        FILE* pPipe = ::popen(strCmd.c_str(), "r");
        if (!pPipe) {
            row.m_strProblem = "popen failed";
            return;
        }
        char ab[4096];
        size_t n;
        while ((n = std::fread(ab, 1, sizeof ab, pPipe)) > 0)
            strOut.append(ab, n);
        const int nStatus = ::pclose(pPipe);
        row.m_actual.m_nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
        if (row.m_actual.m_nExit == 124) row.m_strProblem = "velorctl timed out after 60 s";

        std::ifstream err(strErrFile);
        std::string strLine;
        while (std::getline(err, strLine))
            if (strLine.rfind("progress: ", 0) != 0) row.m_actual.m_messages.push_back(strLine);
        const auto j = nlohmann::json::parse(strOut, nullptr, false);
        // status and read print their record, and only that, when they succeed.
        if (j.is_object() && j.contains("result"))
            row.m_actual.m_strResult = j["result"].get<std::string>();
        else if (j.is_object() && row.m_actual.m_nExit == 0 &&
                 (j.contains("serial-number") || j.contains("ip")))
            row.m_actual.m_strResult = "success";
        else if (row.m_strProblem.empty())
            row.m_strProblem = "no JSON result on stdout: " + strOut;

        if (row.m_bUdp) AwaitUdpHandled(sim.UdpPort());
        sim.WithUnit([&](CSimUnit& u) {
            SUnitAfter& after = row.m_actual.m_unit;
            after.m_nRestarts = u.Restarts();
            NetParams written = before;
            written.SetTimeout(45);
            after.m_eParams = u.Params() == before    ? EParams::Same
                              : u.Params() == written ? EParams::Written
                                                      : EParams::Mismatch;
            const bool bErased = std::all_of(u.Memory().begin(), u.Memory().end(),
                                             [](uint8_t b) { return b == 0xFF; });
            after.m_eMemory = MemoryHolds(u.Memory(), 0)   ? EMemory::Image
                              : MemoryHolds(u.Memory(), 2) ? EMemory::FirstTwoBlocks
                                                           : EMemory::Erased;
            if (after.m_eMemory == EMemory::Erased && !bErased)
                row.m_strProblem += "memory holds something other than the image or its start";
            return 0;
        });
        sim.Stop();
        row.m_dSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
    }

    fs::path m_dir;
    std::string m_strImage;
    std::vector<std::vector<uint8_t>> m_blocks;
};

} // namespace

TEST_F(FaultMatrix, EveryJobOnEveryLinkAgainstEveryFault) {
    std::vector<SRow> rows;
    for (const bool bUdp : {false, true})
        for (const SFault& fault : Faults()) {
            if (fault.m_bUdpOnly && !bUdp) continue;
            for (int nJob = 0; nJob < 5; ++nJob) {
                SRow row;
                row.m_bUdp = bUdp;
                row.m_eJob = static_cast<EJob>(nJob);
                row.m_pFault = &fault;
                row.m_expected = bUdp ? UdpExpected(row.m_eJob, fault.m_pName)
                                      : SerialExpected(row.m_eJob, fault.m_pName);
                rows.push_back(std::move(row));
            }
        }

    std::atomic<size_t> nNext{0};
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i)
        workers.emplace_back([&] {
            for (size_t k; (k = nNext++) < rows.size();)
                RunRow(rows[k], k);
        });
    for (auto& t : workers)
        t.join();

    std::ostringstream table;
    table << "| link | job | fault | messages | result | exit | unit afterwards | s | ok |\n"
          << "|---|---|---|---|---|---|---|---|---|\n";
    size_t nFailed = 0;
    for (const SRow& row : rows) {
        const bool bOk = row.m_strProblem.empty() && row.m_actual == row.m_expected;
        nFailed += !bOk;
        char szSeconds[16];
        std::snprintf(szSeconds, sizeof szSeconds, "%.2f", row.m_dSeconds);
        table << "| " << (row.m_bUdp ? "udp" : "serial") << " | "
              << JOB_NAMES[static_cast<int>(row.m_eJob)] << " | " << row.m_pFault->m_pName << " | "
              << Join(row.m_expected.m_messages) << " | " << row.m_expected.m_strResult << " | "
              << row.m_expected.m_nExit << " | " << Describe(row.m_expected.m_unit) << " | "
              << szSeconds << " | " << (bOk ? "yes" : "NO") << " |\n";
        if (!bOk)
            ADD_FAILURE() << (row.m_bUdp ? "udp " : "serial ")
                          << JOB_NAMES[static_cast<int>(row.m_eJob)] << " / "
                          << row.m_pFault->m_pName << ": " << row.m_strProblem
                          << "\n  expected: " << Join(row.m_expected.m_messages) << " | "
                          << row.m_expected.m_strResult << " | exit " << row.m_expected.m_nExit
                          << " | " << Describe(row.m_expected.m_unit)
                          << "\n  actual:   " << Join(row.m_actual.m_messages) << " | "
                          << row.m_actual.m_strResult << " | exit " << row.m_actual.m_nExit << " | "
                          << Describe(row.m_actual.m_unit);
    }
    const std::string strFile = std::string(VELOR_BIN_DIR) + "/fault-matrix.md";
    std::ofstream(strFile) << "# Fault matrix: " << rows.size() << " rows, " << nFailed
                           << " not as expected\n\n"
                           << table.str();
    std::printf("%s\n%zu rows, %zu not as expected; written to %s\n", table.str().c_str(),
                rows.size(), nFailed, strFile.c_str());
}
