// The Ethernet link's reply path fed datagrams of any size: the datagram goes over
// loopback into the link's socket and is received as the link receives it (asking
// for up to 512 bytes into the 257-byte frame buffer), then goes through the reply
// check, the status parser and both parameter decrypts.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "FuzzCommon.h"
#include "ethernet/EthFraming.h"
#include "ethernet/EthLink.h"
#include "params/NetParams.h"
#include "platform/DatagramSocket.h"
#include "serial/FrameCodec.h"

namespace {

constexpr size_t RECV_LEN = 512; // what the job asks the socket for
constexpr size_t MAX_DATAGRAM = 65507;

struct SLoopback {
    int m_fdPeer = -1;
    CDatagramSocket m_link;
    SLoopback() {
        m_fdPeer = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        FUZZ_CHECK(::bind(m_fdPeer, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
        socklen_t nAddr = sizeof addr;
        ::getsockname(m_fdPeer, reinterpret_cast<sockaddr*>(&addr), &nAddr);
        const int nBuf = 1 << 20;
        ::setsockopt(m_fdPeer, SOL_SOCKET, SO_SNDBUF, &nBuf, sizeof nBuf);
        FUZZ_CHECK(m_link.Open() && m_link.SetRecvTimeout(2000));
        FUZZ_CHECK(m_link.Connect("127.0.0.1", ntohs(addr.sin_port)));
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(m_link.LocalPort());
        FUZZ_CHECK(::connect(m_fdPeer, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    static SLoopback s_loop;
    const size_t nDatagram = std::min(nSize, MAX_DATAGRAM);
    FUZZ_CHECK(::send(s_loop.m_fdPeer, pData, nDatagram, 0) == static_cast<ssize_t>(nDatagram));

    // The frame buffer exactly as large as the link's, so that a write past it is seen.
    auto pFrame = std::make_unique<uint8_t[]>(CEthFraming::FRAME_BUFFER);
    std::memset(pFrame.get(), 0, CEthFraming::FRAME_BUFFER);
    const int nGot = s_loop.m_link.Recv(pFrame.get(), CEthFraming::FRAME_BUFFER, RECV_LEN);
    if (nDatagram > RECV_LEN) {
        FUZZ_CHECK(nGot < 0 && s_loop.m_link.LastError() == WSAEMSGSIZE);
        return 0;
    }
    FUZZ_CHECK(nGot == static_cast<int>(std::min(nDatagram, CEthFraming::FRAME_BUFFER)));
    FUZZ_CHECK(std::memcmp(pFrame.get(), pData, static_cast<size_t>(nGot)) == 0);
    const auto nReceived = static_cast<size_t>(nGot);

    CEthFraming framing;
    for (int i = 0; i < 7; ++i)
        framing.AdvanceSequence();
    const int nCheck = framing.CheckReply(pFrame.get(), nReceived);
    FUZZ_CHECK(nCheck == CEthFraming::VALID || nCheck == CEthFraming::INVALID ||
               nCheck == CEthFraming::RESYNC);
    FUZZ_CHECK(framing.Sequence() % 8 == 0 && framing.Sequence() <= 56);
    if (nCheck == CEthFraming::RESYNC) FUZZ_CHECK(framing.Sequence() == 0);
    if (nCheck == CEthFraming::VALID) {
        FUZZ_CHECK(nReceived >= frame::HEADER_LEN && pFrame[0] == frame::START);
        FUZZ_CHECK((pFrame[frame::OFS_CONTROL] & (frame::CTL_INVALID | frame::CTL_RESYNC)) == 0);
    }
    if (const auto st = frame::ParseStatusReply(pFrame.get(), nReceived))
        FUZZ_CHECK(nReceived >= frame::OFS_DATA + status::STATUS_COUNT);

    // The serial link's decrypt into the record, then the Ethernet link's in place.
    NetParams rec = NetParams::Defaults();
    const NetParams before = rec;
    if (!DecryptReadReply(pFrame.get(), nReceived, rec)) FUZZ_CHECK(rec == before);
    const int nPlain = CEthLink::DecryptReplyInFrame(pFrame.get(), nReceived);
    if (nPlain >= 0)
        FUZZ_CHECK(frame::OFS_DATA + IV_LEN + static_cast<size_t>(nPlain) <= nReceived);
    return 0;
}
