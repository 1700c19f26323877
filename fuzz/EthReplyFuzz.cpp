// The Ethernet link's receive path against a unit that answers each request with
// whatever datagrams the input holds: none, one, or several (strays, resends, frames
// cut short, datagrams longer than the link asks for). The link runs one of its
// exchange forms or unit operations over loopback; whatever arrives, it must end,
// stay inside its frame buffer, and take as an answer only a datagram that came,
// never one set aside while an earlier datagram could have answered.
//
// Input: an operation byte, a byte that picks what a bare exchange waits for, then
// one group per request: a count byte (low 2 bits: datagrams), then each datagram as
// a length byte (255: a 16-bit length follows) and its bytes. The checksums of every
// datagram that starts a frame are filled in (FuzzFrames.h).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "FuzzCommon.h"
#include "FuzzFrames.h"
#include "ethernet/EthLink.h"
#include "firmware/ImageReader.h"
#include "firmware/SampleImage.h"
#include "params/NetParams.h"
#include "platform/TimeConstants.h"
#include "serial/FrameCodec.h"

namespace {

using Bytes = std::vector<uint8_t>;
using EAwait = CEthLink::EAwait;

constexpr size_t RECV_LEN = 512; // what the job asks the socket for
constexpr size_t MAX_DATAGRAM = 65507;

// The unit's side: one socket for the whole run, a thread per input that answers the
// i-th request with the i-th group.
class CPeer {
public:
    CPeer() {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        FUZZ_CHECK(m_fd >= 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        FUZZ_CHECK(::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
        socklen_t nAddr = sizeof addr;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &nAddr);
        m_nPort = ntohs(addr.sin_port);
        const int nBuf = 1 << 20;
        ::setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &nBuf, sizeof nBuf);
    }
    uint16_t Port() const { return m_nPort; }

    void Start(std::vector<std::vector<Bytes>> groups) {
        uint8_t ab[2048];
        while (::recv(m_fd, ab, sizeof ab, MSG_DONTWAIT) >= 0) {
        }
        m_groups = std::move(groups);
        m_nNext = 0;
        m_bStop = false;
        m_thread = std::thread([this] { Serve(); });
    }
    void Stop() {
        m_bStop = true;
        m_thread.join();
    }

private:
    void Serve() {
        uint8_t ab[2048];
        while (!m_bStop) {
            pollfd pfd{m_fd, POLLIN, 0};
            if (::poll(&pfd, 1, 2) <= 0) continue;
            sockaddr_in from{};
            socklen_t nFrom = sizeof from;
            const ssize_t n =
                ::recvfrom(m_fd, ab, sizeof ab, 0, reinterpret_cast<sockaddr*>(&from), &nFrom);
            if (n < 0) continue;
            FUZZ_CHECK(n >= static_cast<ssize_t>(frame::HEADER_LEN) &&
                       n <= static_cast<ssize_t>(frame::MAX_FRAME) && ab[0] == frame::START);
            if (m_nNext >= m_groups.size()) continue;
            for (const Bytes& d : m_groups[m_nNext])
                ::sendto(m_fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from), nFrom);
            ++m_nNext;
        }
    }

    int m_fd = -1;
    uint16_t m_nPort = 0;
    std::vector<std::vector<Bytes>> m_groups;
    size_t m_nNext = 0;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

class CFuzzHost : public CLinkHost {
public:
    explicit CFuzzHost(IPrompts* pPrompts) : CLinkHost(pPrompts) {}
};

std::vector<std::vector<Bytes>> Groups(const uint8_t* p, size_t n) {
    std::vector<std::vector<Bytes>> groups;
    size_t i = 0;
    while (i < n) {
        const int nCount = p[i++] & 0x03;
        auto& group = groups.emplace_back();
        for (int k = 0; k < nCount && i < n; ++k) {
            size_t nLen = p[i++];
            if (nLen == 255 && i + 2 <= n) {
                nLen = std::min<size_t>(MAX_DATAGRAM, (size_t{p[i]} << 8) | p[i + 1]);
                i += 2;
            }
            nLen = std::min(nLen, n - i);
            Bytes& d = group.emplace_back(p + i, p + i + nLen);
            SetFrameSums(d.data(), d.size());
            i += nLen;
        }
    }
    return groups;
}

// What the link holds after receiving datagram d: nothing of one longer than asked for,
// else at most the frame buffer.
bool Holds(const Bytes& d, const uint8_t* pFrame, size_t nReceived) {
    if (d.size() > RECV_LEN) return false;
    const size_t n = std::min(d.size(), CEthLink::FRAME_BUFFER);
    return n == nReceived && std::equal(d.begin(), d.begin() + static_cast<long>(n), pFrame);
}

bool CouldAnswer(const Bytes& d, EAwait eAwait) {
    if (d.size() > RECV_LEN) return false;
    uint8_t ab[CEthLink::FRAME_BUFFER] = {};
    const size_t n = std::min(d.size(), sizeof ab);
    std::copy(d.begin(), d.begin() + static_cast<long>(n), ab);
    return CEthLink::CanAnswer(ab, n, eAwait);
}

const CLoadImage& SmallImage() {
    static const std::shared_ptr<const CLoadImage> s_pImage = [] {
        static CMemFile s_file;
        SSampleImage layout;
        layout.m_nStart = 0xFF00;
        layout.m_nLength = 600;
        const std::string str = MakeSampleImage(layout);
        return ReadImage(s_file.Set(reinterpret_cast<const uint8_t*>(str.data()), str.size()));
    }();
    FUZZ_CHECK(s_pImage->m_check.m_nResult == CImageReader::OK);
    return *s_pImage;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every wait that finds no answer lasts the receive time-out: keep it short.
    TimeConstants().m_nRecvMs = 5;
    TimeConstants().m_nDrainLimitMs = 20;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize < 2) return 0;
    static CPeer s_peer;
    const CLoadImage& image = SmallImage();
    const auto groups = Groups(pData + 2, nSize - 2);

    CSilentPrompts prompts;
    CFuzzHost host(&prompts);
    NetParams rec = NetParams::Defaults();
    host.m_pNetParams = &rec;
    host.m_strTargetIp = "127.0.0.1";
    host.m_nTargetPort = s_peer.Port();
    host.m_nRecvLen = static_cast<int>(RECV_LEN);
    CEthLink link(&host);
    FUZZ_CHECK(link.OpenSocket(TimeConstants().m_nRecvMs, CEthLink::EOpen::Start) ==
               CEthLink::EOpenResult::Open);
    s_peer.Start(groups);

    switch (pData[0] % 6) {
    case 0: {
        // One bare exchange: the answer is a datagram of the first group, and none
        // before it could have answered.
        const auto eAwait = static_cast<EAwait>(pData[1] % 3);
        const uint8_t nCmd = eAwait == EAwait::Status   ? frame::CMD_STATUS
                             : eAwait == EAwait::Record ? frame::CMD_READ_PARAMS
                                                        : frame::CMD_LOAD;
        uint8_t* pFrame = link.Frame();
        pFrame[frame::OFS_ADDR] = rec[NetParams::OFS_COMM_ADDR];
        const size_t nLen = link.Framing().BuildFrame(nCmd, 2, nullptr, pFrame);
        FUZZ_CHECK(nLen != 0);
        if (link.Exchange(nLen, eAwait)) {
            const size_t nGot = link.Received();
            FUZZ_CHECK(!groups.empty() && nGot <= CEthLink::FRAME_BUFFER);
            const auto& sent = groups[0];
            size_t k = 0;
            while (k < sent.size() && !Holds(sent[k], pFrame, nGot))
                ++k;
            FUZZ_CHECK(k < sent.size());
            for (size_t j = 0; j < k; ++j)
                FUZZ_CHECK(!CouldAnswer(sent[j], eAwait));
            if (frame::ParseStatusReply(pFrame, nGot))
                FUZZ_CHECK(nGot >= frame::OFS_DATA + status::STATUS_COUNT);
            const int nPlain = CEthLink::DecryptReplyInFrame(pFrame, nGot);
            if (nPlain >= 0)
                FUZZ_CHECK(frame::OFS_DATA + IV_LEN + static_cast<size_t>(nPlain) <= nGot);
        } else {
            FUZZ_CHECK(link.Result() == EJobResult::NoAnswer ||
                       link.Result() == EJobResult::CommFailure);
        }
        break;
    }
    case 1:
    case 2:
        if (!link.StepPolls()) break;
        if (link.StatusCheck() != CEthLink::EStep::Next) break;
        FUZZ_CHECK(link.Result() == EJobResult::Success);
        if (pData[0] % 6 == 2 && link.ReadParams() == CEthLink::EStep::Next) {
            FUZZ_CHECK(link.Result() == EJobResult::Success);
            FUZZ_CHECK(host.m_nTargetPort == rec.Port());
        }
        break;
    case 3:
        if (link.StepPolls() && link.WriteParams() == CEthLink::EStep::Next)
            FUZZ_CHECK(link.Result() == EJobResult::Success ||
                       link.Result() == EJobResult::VerifyFailed);
        break;
    case 4: {
        if (!link.StepPolls()) break;
        const auto eFlash = link.LoadImage(image);
        if (eFlash == CEthLink::EFlash::Updated || eFlash == CEthLink::EFlash::CrcMismatch)
            FUZZ_CHECK(!link.ResultText().empty());
        break;
    }
    default:
        link.ResetUnit();
        break;
    }
    s_peer.Stop();
    link.CloseSocket(CEthLink::EClose::JobEnd);
    return 0;
}
