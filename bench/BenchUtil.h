#pragma once
// What the benchmarks share: a prompts double, a clock, one CPU to run on, a raw UDP
// echo to set the Ethernet rows against, and the sizes a traced run exchanged.

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/DatagramSocket.h"
#include "platform/Prompts.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Answers every dialog with m_bOk; the configuration dialog changes the timeout so
// that a configure job writes something.
class CPrompts : public IPrompts {
public:
    void Message(const std::string& strText) override {
        std::lock_guard lock(m_mutex);
        m_messages.push_back(strText);
    }
    bool SwitchesNotice(ELink) override { return true; }
    bool SerialPortDialog(ScpParams&) override { return false; }
    bool IpAddressDialog(NetParams&) override { return false; }
    bool ConfigDialog(NetParams& rec, bool, bool, uint32_t) override;
    void PropertiesDialog(uint8_t*, size_t, uint32_t) override {}
    bool UpdateDoneDialog() override { return false; }
    bool ChooseImageFile(std::string& strPath) override {
        strPath = m_strImage;
        return !strPath.empty();
    }
    std::string Messages() {
        std::lock_guard lock(m_mutex);
        std::string str;
        for (const auto& s : m_messages)
            str += "[" + s + "]";
        return str;
    }
    std::string m_strImage;

private:
    std::mutex m_mutex;
    std::vector<std::string> m_messages;
};

// Request and reply sizes of the exchanges a run made, in order.
using Exchanges = std::vector<std::pair<size_t, size_t>>;

// Pins the process, and every thread it starts from then on, to the one CPU it is
// running on. The machine is shared: with the program's threads and the simulator's
// spread over two CPUs that other work takes turns on, a wake-up now and then waits
// for a busy CPU; on one CPU the program and its floor meet the same wake-ups.
// Returns the CPU, or -1 when the process could not be pinned.
int PinToOneCpu();

// A plain UDP echo on loopback, running for as long as the object lives: each
// request carries the size of the reply it wants in its first two bytes. The floor
// of an Ethernet row: the exchanges of a run, nothing of the program or the unit.
class CUdpEcho {
public:
    CUdpEcho();
    ~CUdpEcho();
    CUdpEcho(const CUdpEcho&) = delete;
    CUdpEcho& operator=(const CUdpEcho&) = delete;
    // One pass of the exchanges from a client socket; the seconds it took.
    double Pass(const Exchanges& exchanges);

private:
    int m_fdServer = -1;
    uint16_t m_nPort = 0;
    std::atomic<bool> m_bStop{false};
    std::thread m_server;
    CDatagramSocket m_client;
    std::vector<uint8_t> m_abRequest, m_abReply;
};

} // namespace bench
