#pragma once
// A UDP peer on 127.0.0.1 for socket tests: answers every datagram it receives with
// whatever the handler returns (nothing, one or several datagrams), on its own thread.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class CUdpPeer {
public:
    using Bytes = std::vector<uint8_t>;
    using Handler = std::function<std::vector<Bytes>(const Bytes& request)>;

    explicit CUdpPeer(Handler fnHandler) : m_fnHandler(std::move(fnHandler)) {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t nLen = sizeof addr;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &nLen);
        m_nPort = ntohs(addr.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~CUdpPeer() {
        m_bStop = true;
        m_thread.join();
        ::close(m_fd);
    }

    uint16_t Port() const { return m_nPort; }
    std::vector<Bytes> Received() const {
        std::lock_guard lock(m_mutex);
        return m_received;
    }

private:
    void Serve() {
        std::vector<uint8_t> ab(65536);
        while (!m_bStop) {
            pollfd pfd{m_fd, POLLIN, 0};
            if (::poll(&pfd, 1, 20) <= 0) continue;
            sockaddr_in from{};
            socklen_t nFrom = sizeof from;
            const ssize_t n = ::recvfrom(m_fd, ab.data(), ab.size(), 0,
                                         reinterpret_cast<sockaddr*>(&from), &nFrom);
            if (n < 0) continue;
            Bytes request(ab.begin(), ab.begin() + n);
            {
                std::lock_guard lock(m_mutex);
                m_received.push_back(request);
            }
            for (const Bytes& reply : m_fnHandler(request))
                ::sendto(m_fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from),
                         nFrom);
        }
    }

    Handler m_fnHandler;
    int m_fd = -1;
    uint16_t m_nPort = 0;
    std::atomic<bool> m_bStop{false};
    mutable std::mutex m_mutex;
    std::vector<Bytes> m_received;
    std::thread m_thread;
};
