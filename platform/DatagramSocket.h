#pragma once
// A UDP socket with the calls and error numbers of Windows Sockets 1.1, on POSIX
// sockets. Every failure leaves a Windows Sockets error number in LastError(), so the
// texts of CSockUtil::ErrorText read as the utility's messages expect.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Windows Sockets error numbers this stand-in reports.
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSANOTINITIALISED = 10093;

// Which call failed decides how EAGAIN reads: on a receive it is the receive
// time-out expiring (10060), anywhere else "would block" (10035).
enum class ESockCall { Other, Receive };

// The Windows Sockets number for an errno. One that Windows Sockets has no number
// for comes back as -errno: ErrorText shows "Unknown" for it and the errno is kept.
int WsaErrorFromErrno(int nErrno, ESockCall eCall = ESockCall::Other);

class CDatagramSocket {
public:
    // Largest datagram IPv4 can carry, rounded up: the most a receive asks for. Every
    // receive lands in a scratch of the size asked for first, so nothing longer than
    // the caller's buffer is ever written into it.
    static constexpr size_t SCRATCH_SIZE = 64 * 1024;

    CDatagramSocket() = default;
    ~CDatagramSocket(); // closes a socket still open, silently
    CDatagramSocket(const CDatagramSocket&) = delete;
    CDatagramSocket& operator=(const CDatagramSocket&) = delete;

    // WSAStartup / WSACleanup. Nothing needs starting on POSIX; the count is kept so
    // that the two stay balanced and tests can see it. Cleanup without a startup
    // fails with 10093, as Windows Sockets does.
    static int Startup();
    static int Cleanup();
    static int StartupCount();

    // socket(AF_INET, SOCK_DGRAM, 0). False on failure (LastError set).
    bool Open();
    bool IsOpen() const { return m_fd >= 0; }
    // SO_RCVTIMEO in milliseconds; 0 waits for ever.
    bool SetRecvTimeout(int nMs);
    // The receive time-out last set (0 until then).
    int RecvTimeout() const { return m_nRecvTimeoutMs; }
    // Connects to the dotted text as inet_addr reads it (a text it cannot read becomes
    // 255.255.255.255) and the port in host order.
    bool Connect(const std::string& strIp, uint16_t nPort);
    // One datagram of n bytes. Returns the count sent or -1.
    int Send(const uint8_t* p, size_t n);
    // One datagram, asking for up to nLen bytes as recv does. A datagram longer than
    // nLen fails with 10040, as Windows Sockets reports it. Of a datagram that fits,
    // at most nCap bytes are copied to pBuf and the rest is cut off. Returns the count
    // copied (0 for an empty datagram) or -1; 10060 when the time-out expired.
    int Recv(uint8_t* pBuf, size_t nCap, size_t nLen);
    // For one socket that talks to many peers (a scan): no connect, no blocking, the
    // peer named with every send and reported with every receive. Addresses and ports
    // in host order.
    bool SetNonBlocking();
    bool SetBroadcast(bool bOn);
    // SO_RCVBUF: room for many replies arriving at once.
    bool SetRecvBuffer(int nBytes);
    // One datagram to nIp:nPort. Returns the count sent or -1 (10035 when the send
    // buffer is full on a non-blocking socket).
    int SendTo(uint32_t nIp, uint16_t nPort, const uint8_t* p, size_t n);
    // As Recv, and tells where the datagram came from. Nothing waiting on a
    // non-blocking socket fails with 10035.
    int RecvFrom(uint8_t* pBuf, size_t nCap, size_t nLen, uint32_t& nIp, uint16_t& nPort);
    // Waits up to nMs (-1: for ever) until a datagram can be read or, with bWrite, one
    // can be sent. Returns WAIT_READABLE | WAIT_WRITABLE bits, 0 when the time ran out,
    // -1 on failure (10004 when a signal cut the wait short).
    static constexpr int WAIT_READABLE = 1;
    static constexpr int WAIT_WRITABLE = 2;
    int Wait(int nMs, bool bWrite);

    // closesocket. False on failure; the handle is given up either way.
    bool Close();

    int LastError() const { return m_nLastError; }
    // The port this socket is bound to locally (0 when not bound); for tests.
    uint16_t LocalPort() const;

private:
    bool Fail(ESockCall eCall = ESockCall::Other);
    int Receive(uint8_t* pBuf, size_t nCap, size_t nLen, void* pFrom, ESockCall eCall);

    int m_fd = -1;
    int m_nLastError = 0;
    int m_nRecvTimeoutMs = 0;
    std::vector<uint8_t> m_abScratch;

    static std::atomic<int> s_nStartups;
};
