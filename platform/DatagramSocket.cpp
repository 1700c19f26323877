#include "platform/DatagramSocket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

std::atomic<int> CDatagramSocket::s_nStartups{0};

int WsaErrorFromErrno(int nErrno, ESockCall eCall) {
    switch (nErrno) {
    case EINTR:
        return WSAEINTR;
    case EBADF:
        return WSAEBADF;
    case EPERM: // a firewall rule refusing the datagram
    case EACCES:
        return WSAEACCES;
    case EFAULT:
        return WSAEFAULT;
    case EINVAL:
        return WSAEINVAL;
    case EMFILE:
    case ENFILE:
        return WSAEMFILE;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EAGAIN:
        return eCall == ESockCall::Receive ? WSAETIMEDOUT : WSAEWOULDBLOCK;
    case EINPROGRESS:
        return WSAEINPROGRESS;
    case EALREADY:
        return WSAEALREADY;
    case ENOTSOCK:
        return WSAENOTSOCK;
    case EDESTADDRREQ:
        // Linux says this of a send on an unconnected datagram socket, where Windows
        // Sockets says "not connected".
        return WSAENOTCONN;
    case EMSGSIZE:
        return WSAEMSGSIZE;
    case EPROTOTYPE:
        return WSAEPROTOTYPE;
    case ENOPROTOOPT:
        return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
        return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
        return WSAESOCKTNOSUPPORT;
#if EOPNOTSUPP != ENOTSUP
    case ENOTSUP:
#endif
    case EOPNOTSUPP:
        return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
        return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
        return WSAEAFNOSUPPORT;
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return WSAENETDOWN;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ENETRESET:
        return WSAENETRESET;
    case ECONNABORTED:
        return WSAECONNABORTED;
    // A connected UDP socket hears of an ICMP port unreachable as ECONNREFUSED;
    // Windows Sockets reports the same event as a reset.
    case ECONNREFUSED:
    case ECONNRESET:
        return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
        return WSAENOBUFS;
    case EISCONN:
        return WSAEISCONN;
    case ENOTCONN:
        return WSAENOTCONN;
    case EPIPE:
    case ESHUTDOWN:
        return WSAESHUTDOWN;
    case ETOOMANYREFS:
        return WSAETOOMANYREFS;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ELOOP:
        return WSAELOOP;
    case ENAMETOOLONG:
        return WSAENAMETOOLONG;
    case EHOSTDOWN:
        return WSAEHOSTDOWN;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    case ENOTEMPTY:
        return WSAENOTEMPTY;
    case EUSERS:
        return WSAEUSERS;
    case EDQUOT:
        return WSAEDQUOT;
    case ESTALE:
        return WSAESTALE;
    case EREMOTE:
        return WSAEREMOTE;
    default:
        return -nErrno;
    }
}

CDatagramSocket::~CDatagramSocket() {
    if (m_fd >= 0) ::close(m_fd);
}

int CDatagramSocket::Startup() {
    ++s_nStartups;
    return 0;
}

int CDatagramSocket::Cleanup() {
    int n = s_nStartups.load();
    while (n > 0 && !s_nStartups.compare_exchange_weak(n, n - 1)) {
    }
    return n > 0 ? 0 : WSANOTINITIALISED;
}

int CDatagramSocket::StartupCount() {
    return s_nStartups.load();
}

bool CDatagramSocket::Fail(ESockCall eCall) {
    m_nLastError = WsaErrorFromErrno(errno, eCall);
    return false;
}

bool CDatagramSocket::Open() {
    if (m_fd >= 0) {
        m_nLastError = WSAEISCONN;
        return false;
    }
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return Fail();
    return true;
}

bool CDatagramSocket::SetRecvTimeout(int nMs) {
    if (nMs < 0) {
        m_nLastError = WSAEINVAL;
        return false;
    }
    timeval tv{};
    tv.tv_sec = nMs / 1000;
    tv.tv_usec = static_cast<suseconds_t>(nMs % 1000) * 1000;
    if (::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return Fail();
    m_nRecvTimeoutMs = nMs;
    return true;
}

bool CDatagramSocket::Connect(const std::string& strIp, uint16_t nPort) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(nPort);
    addr.sin_addr.s_addr = ::inet_addr(strIp.c_str());
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return Fail();
    return true;
}

int CDatagramSocket::Send(const uint8_t* p, size_t n) {
    for (;;) {
        const ssize_t nSent = ::send(m_fd, p, n, MSG_NOSIGNAL);
        if (nSent >= 0) return static_cast<int>(nSent);
        if (errno != EINTR) break;
    }
    Fail();
    return -1;
}

int CDatagramSocket::Recv(uint8_t* pBuf, size_t nCap, size_t nLen) {
    return Receive(pBuf, nCap, nLen, nullptr, ESockCall::Receive);
}

int CDatagramSocket::Receive(uint8_t* pBuf, size_t nCap, size_t nLen, void* pFrom,
                             ESockCall eCall) {
    // The scratch holds what was asked for and no more: MSG_TRUNC still reports a
    // longer datagram's real length, and a link's socket asks for 512 bytes, not the
    // 64 KiB it would otherwise clear for every job.
    const size_t nWant = std::clamp<size_t>(nLen, 1, SCRATCH_SIZE);
    if (m_abScratch.size() < nWant) m_abScratch.resize(nWant);
    ssize_t nGot;
    do {
        socklen_t nFrom = sizeof(sockaddr_in);
        nGot = ::recvfrom(m_fd, m_abScratch.data(), nWant, MSG_TRUNC,
                          static_cast<sockaddr*>(pFrom), pFrom ? &nFrom : nullptr);
    } while (nGot < 0 && errno == EINTR);
    if (nGot < 0) {
        Fail(eCall);
        return -1;
    }
    const auto nDatagram = static_cast<size_t>(nGot);
    if (nDatagram > nLen || nDatagram > nWant) {
        m_nLastError = WSAEMSGSIZE;
        return -1;
    }
    const size_t nKeep = nDatagram < nCap ? nDatagram : nCap;
    if (nKeep) std::memcpy(pBuf, m_abScratch.data(), nKeep);
    return static_cast<int>(nKeep);
}

bool CDatagramSocket::SetNonBlocking() {
    const int nFlags = ::fcntl(m_fd, F_GETFL);
    if (nFlags < 0 || ::fcntl(m_fd, F_SETFL, nFlags | O_NONBLOCK) != 0) return Fail();
    return true;
}

bool CDatagramSocket::SetBroadcast(bool bOn) {
    const int nOn = bOn ? 1 : 0;
    if (::setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &nOn, sizeof nOn) != 0) return Fail();
    return true;
}

bool CDatagramSocket::SetRecvBuffer(int nBytes) {
    if (::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &nBytes, sizeof nBytes) != 0) return Fail();
    return true;
}

int CDatagramSocket::SendTo(uint32_t nIp, uint16_t nPort, const uint8_t* p, size_t n) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(nPort);
    addr.sin_addr.s_addr = htonl(nIp);
    for (;;) {
        const ssize_t nSent = ::sendto(m_fd, p, n, MSG_NOSIGNAL,
                                       reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        if (nSent >= 0) return static_cast<int>(nSent);
        if (errno != EINTR) break;
    }
    Fail();
    return -1;
}

int CDatagramSocket::RecvFrom(uint8_t* pBuf, size_t nCap, size_t nLen, uint32_t& nIp,
                              uint16_t& nPort) {
    sockaddr_in from{};
    const int n = Receive(pBuf, nCap, nLen, &from, ESockCall::Other);
    nIp = ntohl(from.sin_addr.s_addr);
    nPort = ntohs(from.sin_port);
    return n;
}

int CDatagramSocket::Wait(int nMs, bool bWrite) {
    pollfd pfd{m_fd, static_cast<short>(POLLIN | (bWrite ? POLLOUT : 0)), 0};
    const int nReady = ::poll(&pfd, 1, nMs);
    if (nReady < 0) {
        Fail();
        return -1;
    }
    if (nReady == 0) return 0;
    // An error queued on the socket reads as readable: the receive reports it.
    return ((pfd.revents & (POLLIN | POLLERR)) ? WAIT_READABLE : 0) |
           ((pfd.revents & POLLOUT) ? WAIT_WRITABLE : 0);
}

bool CDatagramSocket::Close() {
    if (m_fd < 0) {
        m_nLastError = WSAENOTSOCK;
        return false;
    }
    const int fd = m_fd;
    m_fd = -1;
    // After close, even a failed one, the descriptor is gone; never close it twice.
    if (::close(fd) != 0) return Fail();
    return true;
}

uint16_t CDatagramSocket::LocalPort() const {
    sockaddr_in addr{};
    socklen_t nLen = sizeof addr;
    if (m_fd < 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &nLen) != 0) return 0;
    return ntohs(addr.sin_port);
}
