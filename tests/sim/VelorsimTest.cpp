// velorsim as a process: what it prints when ready, its state file, its exit.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "SimTestUtil.h"
#include "TestUtil.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// A velorsim child with its stdout on a pipe.
class CVelorsim {
public:
    explicit CVelorsim(std::vector<std::string> args) {
        args.insert(args.begin(), VELORSIM_PATH);
        int afd[2];
        EXPECT_EQ(::pipe(afd), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, afd[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, afd[0]);
        std::vector<char*> argv;
        for (auto& str : args)
            argv.push_back(str.data());
        argv.push_back(nullptr);
        m_tStart = Clock::now();
        EXPECT_EQ(::posix_spawn(&m_pid, VELORSIM_PATH, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(afd[1]);
        m_fdOut = afd[0];
    }
    ~CVelorsim() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        ::close(m_fdOut);
    }
    // Reads stdout until a line starts with strPrefix; returns the rest of it.
    std::string WaitLine(const std::string& strPrefix, int nMs = 5000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(nMs);
        for (;;) {
            const size_t nEnd = m_strOut.find('\n');
            if (nEnd != std::string::npos) {
                const std::string strLine = m_strOut.substr(0, nEnd);
                m_strOut.erase(0, nEnd + 1);
                if (strLine.rfind(strPrefix, 0) == 0) return strLine.substr(strPrefix.size());
                continue;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd pfd{m_fdOut, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0)
                return {};
            char ab[4096];
            const ssize_t n = ::read(m_fdOut, ab, sizeof ab);
            if (n <= 0) return {};
            m_strOut.append(ab, static_cast<size_t>(n));
        }
    }
    // What is left on stdout up to its end.
    std::string Rest() {
        char ab[4096];
        ssize_t n;
        while ((n = ::read(m_fdOut, ab, sizeof ab)) > 0)
            m_strOut.append(ab, static_cast<size_t>(n));
        return m_strOut;
    }
    int Signal(int nSignal) { return ::kill(m_pid, nSignal); }
    // Exit status after a signal, -1 when it did not end in time.
    int Wait(int nMs = 5000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(nMs);
        while (Clock::now() < deadline) {
            int nStatus = 0;
            if (::waitpid(m_pid, &nStatus, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }
    Clock::time_point Started() const { return m_tStart; }

private:
    pid_t m_pid = -1;
    int m_fdOut = -1;
    std::string m_strOut;
    Clock::time_point m_tStart;
};

std::vector<uint8_t> UdpExchange(uint16_t nPort, const std::vector<uint8_t>& req,
                                 int nWaitMs = 1000) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(nPort);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    ::sendto(fd, req.data(), req.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    pollfd pfd{fd, POLLIN, 0};
    std::vector<uint8_t> ab(1024);
    ssize_t n = 0;
    if (::poll(&pfd, 1, nWaitMs) == 1) n = ::recv(fd, ab.data(), ab.size(), 0);
    ::close(fd);
    ab.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return ab;
}

nlohmann::json ReadJson(const fs::path& path) {
    std::ifstream in(path);
    return nlohmann::json::parse(in, nullptr, false);
}

} // namespace

TEST(VelorsimTest, ServesBothLinksAndDumpsItsState) {
    const fs::path state =
        fs::temp_directory_path() / ("velorsim-state-" + std::to_string(getpid()) + ".json");
    fs::remove(state);
    CVelorsim sim({"--pty", "--udp", "127.0.0.1:0", "--serial-no", "0x0BAD", "--ip", "10.0.0.7",
                   "--switch-off", "--state-file", state.string()});
    const std::string strPty = sim.WaitLine("pty: ");
    const std::string strUdp = sim.WaitLine("udp: 127.0.0.1:");
    const auto startup = Clock::now() - sim.Started();
    ASSERT_EQ(strPty.rfind("/dev/pts/", 0), 0u) << strPty;
    ASSERT_FALSE(strUdp.empty());
    EXPECT_TRUE(fs::exists(strPty));
    RecordProperty(
        "startup_us",
        static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(startup).count()));
    const uint16_t nPort = static_cast<uint16_t>(std::stoi(strUdp));

    EXPECT_EQ(ToHex(UdpExchange(nPort, Request(0, 0, -1))), "FE 00 00 10 0E");
    EXPECT_EQ(ToHex(UdpExchange(nPort, Request(0, 0, -1))), "FE 00 00 00 FE");
    const std::vector<uint8_t> status = UdpExchange(nPort, Request(0, 8, frame::CMD_STATUS));
    ASSERT_EQ(status.size(), 54u);
    EXPECT_EQ(StatusOf(status).m_nSerialNo, 0x0BAD);
    EXPECT_FALSE(StatusOf(status).m_bConfigSwitch);

    ASSERT_EQ(sim.Signal(SIGUSR1), 0);
    for (int i = 0; i < 200 && !fs::exists(state); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const nlohmann::json first = ReadJson(state);
    ASSERT_FALSE(first.is_discarded());
    EXPECT_EQ(first["frames"]["0x70"], 1);

    EXPECT_TRUE(UdpExchange(nPort, Request(0, 16, frame::CMD_RESET), 100).empty());
    ASSERT_EQ(sim.Signal(SIGTERM), 0);
    EXPECT_EQ(sim.Wait(), 0);
    const nlohmann::json last = ReadJson(state);
    fs::remove(state);
    ASSERT_FALSE(last.is_discarded());
    EXPECT_EQ(last["params"]["ip"], "10.0.0.7");
    EXPECT_EQ(last["serial_no"], 0x0BAD);
    EXPECT_EQ(last["restarts"], 1);
    EXPECT_EQ(last["frames"]["empty"], 2);
    EXPECT_EQ(last["transport"]["udp_port"], nPort);
    EXPECT_EQ(last["transport"]["serial"], strPty);
    EXPECT_EQ(last["faults"]["switch_off"], true);
}

TEST(VelorsimTest, RefusesBadArguments) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--udp", "127.0.0.1:70000"},
          {"--ip", "1.2.3"},
          {"--des-key", "0011"},
          {"--parity", "mark"},
          {"--no-such-option"}}) {
        CVelorsim sim(args);
        EXPECT_NE(sim.Wait(), 0) << args[0];
    }
}

TEST(VelorsimTest, FaultOptionsReachTheUnit) {
    CVelorsim sim({"--udp",
                   "127.0.0.1:0",
                   "--print-state",
                   "--silent",
                   "--silent-after",
                   "3",
                   "--garble-every",
                   "4",
                   "--high-bits",
                   "--resync-replies",
                   "5",
                   "--reject-load",
                   "--wrong-check-word",
                   "--check-word-zero",
                   "--status-count",
                   "47",
                   "--switch-off",
                   "--properties-mode",
                   "--answer-reset",
                   "--store-mismatch",
                   "--stop-after-load-blocks",
                   "6",
                   "--polls-only",
                   "--reply-delay",
                   "7",
                   "--oversize-reply",
                   "300",
                   "--unsolicited",
                   "9",
                   "--stray-before-block",
                   "10",
                   "--stray-before-exchange",
                   "11",
                   "--stray",
                   "duplicate",
                   "--keys-disabled"});
    ASSERT_FALSE(sim.WaitLine("udp: ").empty());
    ASSERT_EQ(sim.Signal(SIGTERM), 0);
    EXPECT_EQ(sim.Wait(), 0);
    const std::string strOut = sim.Rest();
    const nlohmann::json state = nlohmann::json::parse(strOut, nullptr, false);
    ASSERT_FALSE(state.is_discarded()) << strOut;
    EXPECT_EQ(state["keys_enabled"], false);
    EXPECT_EQ(state["faults"], nlohmann::json::parse(R"({
        "silent": true, "silent_after_frames": 3, "garble_every": 4, "high_bits": true,
        "resync_replies": 5, "reject_load": true, "wrong_check_word": true,
        "check_word_zero": true, "status_count": 47, "switch_off": true,
        "properties_mode": true, "answer_reset": true, "store_mismatch": true,
        "stop_after_load_blocks": 6, "polls_only": true, "reply_delay_ms": 7,
        "oversize_reply": 300, "unsolicited_ms": 9, "stray_before_block": 10,
        "stray_before_exchange": 11, "stray": "duplicate"})"));
}

TEST(VelorsimTest, AnAddressOfItsOwnTakesItsCommandsAndAnyPoll) {
    CVelorsim sim({"--udp", "127.0.0.1:0", "--running", "--addr", "5"});
    const uint16_t nPort = static_cast<uint16_t>(std::stoi(sim.WaitLine("udp: 127.0.0.1:")));
    EXPECT_TRUE(UdpExchange(nPort, Request(0, 0, frame::CMD_STATUS), 100).empty());
    EXPECT_EQ(UdpExchange(nPort, Request(5, 0, frame::CMD_STATUS)).size(), 54u);
    EXPECT_EQ(ToHex(UdpExchange(nPort, Request(0, 8, -1))), "FE 00 00 00 FE");
}
