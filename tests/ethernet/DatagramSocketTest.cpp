#include "platform/DatagramSocket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "UdpPeer.h"
#include "ethernet/SockUtil.h"

namespace {

using Bytes = CUdpPeer::Bytes;

// A port nobody listens on: bound once, then released.
uint16_t ClosedPort() {
    CUdpPeer peer([](const Bytes&) { return std::vector<Bytes>{}; });
    return peer.Port();
}

TEST(WsaErrorFromErrno, MapsTheErrorsOfAUdpSocketToWindowsSocketsNumbers) {
    EXPECT_EQ(WsaErrorFromErrno(EAGAIN, ESockCall::Receive), 10060);
    EXPECT_EQ(WsaErrorFromErrno(EWOULDBLOCK, ESockCall::Receive), 10060);
    EXPECT_EQ(WsaErrorFromErrno(EAGAIN), 10035);
    EXPECT_EQ(WsaErrorFromErrno(ECONNREFUSED), 10054);
    EXPECT_EQ(WsaErrorFromErrno(ECONNRESET), 10054);
    EXPECT_EQ(WsaErrorFromErrno(EMFILE), 10024);
    EXPECT_EQ(WsaErrorFromErrno(EDESTADDRREQ), 10057); // a send without a peer: "not connected"
    EXPECT_EQ(WsaErrorFromErrno(EMSGSIZE), 10040);
    EXPECT_EQ(WsaErrorFromErrno(ENETUNREACH), 10051);
    EXPECT_EQ(WsaErrorFromErrno(EHOSTUNREACH), 10065);
    EXPECT_EQ(WsaErrorFromErrno(EACCES), 10013);
    EXPECT_EQ(WsaErrorFromErrno(EPERM), 10013);
    EXPECT_EQ(WsaErrorFromErrno(ENOBUFS), 10055);
    EXPECT_EQ(WsaErrorFromErrno(EBADF), 10009);
}

TEST(WsaErrorFromErrno, EveryMappedNumberHasATextAndTheRestReadUnknown) {
    int nMapped = 0;
    for (int nErrno = 1; nErrno < 200; ++nErrno) {
        const int nWsa = WsaErrorFromErrno(nErrno);
        const std::string strText = CSockUtil::ErrorText(nWsa);
        if (nWsa > 0) {
            ++nMapped;
            EXPECT_NE(strText, "Unknown") << "errno " << nErrno << " -> " << nWsa;
        } else {
            EXPECT_EQ(nWsa, -nErrno);
            EXPECT_EQ(strText, "Unknown") << "errno " << nErrno;
        }
    }
    EXPECT_GT(nMapped, 40);
    EXPECT_EQ(std::string(CSockUtil::ErrorText(WsaErrorFromErrno(EIO))), "Unknown");
}

TEST(DatagramSocket, StartupAndCleanupStayBalanced) {
    const int nBase = CDatagramSocket::StartupCount();
    EXPECT_EQ(CDatagramSocket::Startup(), 0);
    EXPECT_EQ(CDatagramSocket::Startup(), 0);
    EXPECT_EQ(CDatagramSocket::StartupCount(), nBase + 2);
    EXPECT_EQ(CDatagramSocket::Cleanup(), 0);
    EXPECT_EQ(CDatagramSocket::Cleanup(), 0);
    EXPECT_EQ(CDatagramSocket::StartupCount(), nBase);
    if (nBase == 0) {
        EXPECT_EQ(CDatagramSocket::Cleanup(), WSANOTINITIALISED);
        EXPECT_EQ(CDatagramSocket::StartupCount(), 0);
    }
}

TEST(DatagramSocket, ExchangesDatagramsWithItsConnectedPeer) {
    CUdpPeer peer([](const Bytes& req) {
        Bytes reply = req;
        reply.push_back(0x55);
        return std::vector<Bytes>{reply, Bytes{}}; // an echo, then an empty datagram
    });
    CDatagramSocket sock;
    ASSERT_TRUE(sock.Open());
    ASSERT_TRUE(sock.SetRecvTimeout(2000));
    ASSERT_TRUE(sock.Connect("127.0.0.1", peer.Port()));
    const uint8_t abReq[] = {0xFE, 0x00, 0x00, 0x00, 0xFE};
    ASSERT_EQ(sock.Send(abReq, sizeof abReq), 5);
    uint8_t ab[16] = {};
    ASSERT_EQ(sock.Recv(ab, sizeof ab, 512), 6);
    EXPECT_EQ(0, std::memcmp(ab, "\xFE\x00\x00\x00\xFE\x55", 6));
    EXPECT_EQ(sock.Recv(ab, sizeof ab, 512), 0); // empty datagram: a successful receive
    EXPECT_TRUE(sock.Close());
    EXPECT_FALSE(sock.IsOpen());
    EXPECT_FALSE(sock.Close());
    EXPECT_EQ(sock.LastError(), WSAENOTSOCK);
}

TEST(DatagramSocket, OneUnconnectedSocketTalksToAPeerNamedEachTime) {
    CUdpPeer peer([](const Bytes& req) { return std::vector<Bytes>{req}; });
    CDatagramSocket sock;
    ASSERT_TRUE(sock.Open());
    ASSERT_TRUE(sock.SetNonBlocking());
    uint8_t ab[16] = {};
    uint32_t nIp = 0;
    uint16_t nPort = 0;
    // Nothing there: no wait, and a wait that runs out.
    EXPECT_EQ(sock.RecvFrom(ab, sizeof ab, 512, nIp, nPort), -1);
    EXPECT_EQ(sock.LastError(), WSAEWOULDBLOCK);
    const uint8_t abReq[] = {0xFE, 0x07, 0x00, 0x00, 0x05};
    ASSERT_EQ(sock.SendTo(0x7F000001, peer.Port(), abReq, sizeof abReq), 5);
    ASSERT_EQ(sock.Wait(2000, false), CDatagramSocket::WAIT_READABLE);
    ASSERT_EQ(sock.RecvFrom(ab, sizeof ab, 512, nIp, nPort), 5);
    EXPECT_EQ(nIp, 0x7F000001u);
    EXPECT_EQ(nPort, peer.Port());
    EXPECT_EQ(ab[1], 0x07);
    EXPECT_EQ(sock.Wait(20, false), 0);
    EXPECT_EQ(sock.Wait(20, true), CDatagramSocket::WAIT_WRITABLE);
}

TEST(DatagramSocket, ReceiveTimesOutWith10060AfterItsTimeOut) {
    CUdpPeer peer([](const Bytes&) { return std::vector<Bytes>{}; });
    CDatagramSocket sock;
    ASSERT_TRUE(sock.Open());
    ASSERT_TRUE(sock.SetRecvTimeout(150));
    ASSERT_TRUE(sock.Connect("127.0.0.1", peer.Port()));
    uint8_t ab[8];
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(sock.Recv(ab, sizeof ab, 512), -1);
    const auto nMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_EQ(sock.LastError(), 10060);
    EXPECT_GE(nMs, 140);
    EXPECT_LT(nMs, 1500);
}

TEST(DatagramSocket, PortUnreachableIsAResetByPeer) {
    CDatagramSocket sock;
    ASSERT_TRUE(sock.Open());
    ASSERT_TRUE(sock.SetRecvTimeout(2000));
    ASSERT_TRUE(sock.Connect("127.0.0.1", ClosedPort()));
    const uint8_t ab[] = {0xFE, 0x00, 0x00, 0x00, 0xFE};
    ASSERT_EQ(sock.Send(ab, sizeof ab), 5);
    uint8_t abIn[8];
    EXPECT_EQ(sock.Recv(abIn, sizeof abIn, 512), -1);
    EXPECT_EQ(sock.LastError(), 10054);
    EXPECT_STREQ(CSockUtil::ErrorText(sock.LastError()), "Connection reset by peer");
}

TEST(DatagramSocket, LongDatagramsNeverOverrunTheBuffer) {
    // 300 bytes fit the 512 asked for and are cut to the 257-byte buffer; 600 do not
    // fit what was asked for and fail as Windows Sockets fails them.
    CUdpPeer peer([](const Bytes& req) {
        Bytes reply(req[0] == 1 ? 300 : 600);
        for (size_t i = 0; i < reply.size(); ++i)
            reply[i] = static_cast<uint8_t>(i);
        return std::vector<Bytes>{reply, Bytes{0x42}};
    });
    CDatagramSocket sock;
    ASSERT_TRUE(sock.Open());
    ASSERT_TRUE(sock.SetRecvTimeout(2000));
    ASSERT_TRUE(sock.Connect("127.0.0.1", peer.Port()));

    std::vector<uint8_t> ab(700, 0xAA);
    const uint8_t nShort = 1;
    ASSERT_EQ(sock.Send(&nShort, 1), 1);
    ASSERT_EQ(sock.Recv(ab.data(), 257, 512), 257);
    EXPECT_EQ(ab[256], 0);    // byte 256 of the datagram
    EXPECT_EQ(ab[257], 0xAA); // nothing past the buffer
    ASSERT_EQ(sock.Recv(ab.data(), 257, 512), 1);
    EXPECT_EQ(ab[0], 0x42);

    std::fill(ab.begin(), ab.end(), 0xAA);
    const uint8_t nLong = 2;
    ASSERT_EQ(sock.Send(&nLong, 1), 1);
    EXPECT_EQ(sock.Recv(ab.data(), 257, 512), -1);
    EXPECT_EQ(sock.LastError(), 10040);
    EXPECT_EQ(ab[0], 0xAA);
    // The long datagram is gone; the next one arrives whole.
    ASSERT_EQ(sock.Recv(ab.data(), 257, 512), 1);
    EXPECT_EQ(ab[0], 0x42);
}

TEST(DatagramSocket, CallsOnAClosedSocketFailWithANumberThatHasAText) {
    CDatagramSocket sock;
    uint8_t ab[4] = {};
    EXPECT_FALSE(sock.SetRecvTimeout(100));
    EXPECT_EQ(sock.LastError(), WSAEBADF);
    EXPECT_FALSE(sock.Connect("127.0.0.1", 3001));
    EXPECT_EQ(sock.Send(ab, 4), -1);
    EXPECT_EQ(sock.Recv(ab, 4, 512), -1);
    EXPECT_STREQ(CSockUtil::ErrorText(sock.LastError()), "Bad file number");
    ASSERT_TRUE(sock.Open());
    EXPECT_FALSE(sock.SetRecvTimeout(-1));
    EXPECT_EQ(sock.LastError(), WSAEINVAL);
    // A socket that was never connected has no one to send to.
    EXPECT_EQ(sock.Send(ab, 4), -1);
    EXPECT_STREQ(CSockUtil::ErrorText(sock.LastError()), "Socket is not connected");
}

} // namespace
