#pragma once
// The far end of a pseudo-terminal pair for link tests that need byte-exact control
// over a reply (lengths, checksums, partial frames). Every request frame is recorded
// and answered with whatever bytes the responder returns.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

class CPtyPeer {
public:
    using Bytes = std::vector<uint8_t>;
    using Responder = std::function<Bytes(const Bytes& request, size_t nIndex)>;

    CPtyPeer() {
        char szName[128] = {};
        if (::openpty(&m_fdMaster, &m_fdSlave, szName, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        m_strSlave = szName;
        termios tio{};
        ::tcgetattr(m_fdSlave, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(m_fdSlave, TCSANOW, &tio);
        ::fcntl(m_fdMaster, F_SETFL, ::fcntl(m_fdMaster, F_GETFL) | O_NONBLOCK);
    }
    ~CPtyPeer() {
        Stop();
        CloseMaster();
        if (m_fdSlave >= 0) ::close(m_fdSlave);
    }

    const std::string& SlavePath() const { return m_strSlave; }
    int MasterFd() const { return m_fdMaster; }

    // Answers every request frame until Stop.
    void Start(Responder fnRespond) {
        m_fnRespond = std::move(fnRespond);
        m_bStop = false;
        m_thread = std::thread([this] { Run(); });
    }
    void Stop() {
        m_bStop = true;
        if (m_thread.joinable()) m_thread.join();
    }
    void CloseMaster() {
        Stop();
        if (m_fdMaster >= 0) ::close(m_fdMaster);
        m_fdMaster = -1;
    }

    std::vector<Bytes> Requests() const {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }

    // Writes raw bytes to the link's side.
    void Send(const Bytes& ab) {
        size_t nDone = 0;
        while (nDone < ab.size()) {
            const ssize_t r = ::write(m_fdMaster, ab.data() + nDone, ab.size() - nDone);
            if (r > 0)
                nDone += static_cast<size_t>(r);
            else {
                pollfd pfd{m_fdMaster, POLLOUT, 0};
                ::poll(&pfd, 1, 10);
            }
        }
    }

private:
    void Run() {
        Bytes pending;
        while (!m_bStop) {
            pollfd pfd{m_fdMaster, POLLIN, 0};
            if (::poll(&pfd, 1, 5) <= 0) continue;
            uint8_t ab[512];
            const ssize_t r = ::read(m_fdMaster, ab, sizeof ab);
            if (r <= 0) continue;
            pending.insert(pending.end(), ab, ab + r);
            for (;;) {
                while (!pending.empty() && pending[0] != 0xFE)
                    pending.erase(pending.begin());
                if (pending.size() < 5) break;
                const size_t nLen = 5u + pending[2];
                if (pending.size() < nLen) break;
                Bytes request(pending.begin(), pending.begin() + static_cast<long>(nLen));
                pending.erase(pending.begin(), pending.begin() + static_cast<long>(nLen));
                size_t nIndex;
                {
                    std::lock_guard lock(m_mutex);
                    nIndex = m_requests.size();
                    m_requests.push_back(request);
                }
                const Bytes reply = m_fnRespond(request, nIndex);
                if (!reply.empty()) Send(reply);
            }
        }
    }

    int m_fdMaster = -1;
    int m_fdSlave = -1;
    std::string m_strSlave;
    Responder m_fnRespond;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<Bytes> m_requests;
};

// Reply frames as a unit would send them.
inline std::vector<uint8_t> ReplyFrame(uint8_t nControl, uint8_t nCmd,
                                       const std::vector<uint8_t>& data) {
    std::vector<uint8_t> ab = {0xFE, 0x00, static_cast<uint8_t>(data.size() + 3), nControl, 0};
    ab[4] = static_cast<uint8_t>(ab[0] + ab[1] + ab[2] + ab[3]);
    ab.push_back(nCmd);
    ab.push_back(static_cast<uint8_t>(data.size()));
    ab.insert(ab.end(), data.begin(), data.end());
    unsigned nSum = 0;
    for (uint8_t b : ab)
        nSum += b;
    ab.push_back(static_cast<uint8_t>(nSum));
    return ab;
}

inline std::vector<uint8_t> EmptyReply(uint8_t nControl = 0) {
    std::vector<uint8_t> ab = {0xFE, 0x00, 0x00, nControl, 0};
    ab[4] = static_cast<uint8_t>(0xFE + nControl);
    return ab;
}
