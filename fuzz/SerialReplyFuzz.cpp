// The serial link's reply reader fed whatever a device may send. The device is a
// byte stream that answers each request written with the next chunk of the input
// (its frame sums filled in, FuzzFrames.h) and goes silent when the input runs out; a purge drops
// what was not read, as on a line. The first byte picks the operation: one transaction into a reply
// buffer of the size the second byte gives, or a unit operation, or a download.

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzCommon.h"
#include "FuzzFrames.h"
#include "firmware/SampleImage.h"
#include "params/ScpParams.h"
#include "platform/SerialDevice.h"
#include "platform/TimeConstants.h"
#include "serial/FrameCodec.h"
#include "serial/SerialDownload.h"
#include "serial/SerlComm.h"

namespace {

struct SStream {
    const uint8_t* m_p = nullptr;
    size_t m_nLeft = 0;
    std::vector<uint8_t> m_abPending; // released by a write, not yet read
    size_t m_nRead = 0;
};

class CStreamDevice : public serialdev::CSerialDevice {
public:
    explicit CStreamDevice(SStream& s) : m_s(s) {}
    void SetTimeouts(int, int, int) override {}
    int GetLineMode(serialdev::SLineMode&) const override { return 0; }
    int SetLineMode(const serialdev::SLineMode&) override { return 0; }
    void PurgeInput() override {
        m_s.m_abPending.clear();
        m_s.m_nRead = 0;
    }
    int Write(const uint8_t* p, size_t n, size_t& nWritten) override {
        FUZZ_CHECK(p && n >= frame::HEADER_LEN && n <= frame::MAX_FRAME);
        FUZZ_CHECK(p[0] == frame::START && frame::Sum8(p, 4) == p[frame::OFS_HSUM]);
        nWritten = n;
        // The reply to this request: a length byte, then that many bytes.
        if (m_s.m_nLeft) {
            const size_t nChunk = std::min<size_t>(m_s.m_p[0], m_s.m_nLeft - 1);
            const size_t nAt = m_s.m_abPending.size();
            m_s.m_abPending.insert(m_s.m_abPending.end(), m_s.m_p + 1, m_s.m_p + 1 + nChunk);
            SetFrameSums(m_s.m_abPending.data() + nAt, nChunk);
            m_s.m_p += 1 + nChunk;
            m_s.m_nLeft -= 1 + nChunk;
        }
        return 0;
    }
    int Read(uint8_t* p, size_t n, size_t& nRead) override {
        const size_t nAvail = m_s.m_abPending.size() - m_s.m_nRead;
        nRead = std::min(n, nAvail);
        if (nRead) std::memcpy(p, m_s.m_abPending.data() + m_s.m_nRead, nRead);
        m_s.m_nRead += nRead;
        return 0;
    }

private:
    SStream& m_s;
};

class CStreamLink : public CSerlComm {
public:
    CStreamLink(ScpParams* pScp, IPrompts* pPrompts, SStream& s)
        : CSerlComm(pScp, pPrompts, "/dev/null"), m_s(s) {}
    int OpenPort(int, std::unique_ptr<serialdev::CSerialDevice>& pHandle) override {
        pHandle = std::make_unique<CStreamDevice>(m_s);
        return 0;
    }

private:
    SStream& m_s;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    TimeConstants().m_nSerialRetryPauseMs = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize < 2) return 0;
    static CMemFile s_image;
    static const std::string s_strImage = [] {
        SSampleImage layout;
        layout.m_nStart = 0xFF00;
        layout.m_nLength = 600;
        const std::string str = MakeSampleImage(layout);
        return s_image.Set(reinterpret_cast<const uint8_t*>(str.data()), str.size());
    }();

    const uint8_t nOp = pData[0];
    const size_t nCap = frame::HEADER_LEN + pData[1] % (CSerlComm::REPLY_SIZE - 4);
    SStream s;
    s.m_p = pData + 2;
    s.m_nLeft = nSize - 2;
    CSilentPrompts prompts;
    ScpParams scp = ScpParams::Defaults();
    CStreamLink link(&scp, &prompts, s);

    switch (nOp % 7) {
    case 0: {
        // One transaction into a buffer of exactly nCap bytes: nothing may land past it.
        link.Connect();
        std::vector<uint8_t> abReply(nCap);
        const int nResult = link.Transact(frame::CMD_STATUS, 2, nullptr, abReply.data(), nCap);
        FUZZ_CHECK(link.ReplyLen() <= nCap);
        if (nResult == 0) {
            FUZZ_CHECK(link.ReplyLen() >= frame::HEADER_LEN);
            FUZZ_CHECK(frame::CheckHeader(abReply.data()) == frame::OK);
            FUZZ_CHECK(link.ReplyLen() == frame::HEADER_LEN + abReply[frame::OFS_LEN]);
            if (const auto st = frame::ParseStatusReply(abReply.data(), link.ReplyLen()))
                FUZZ_CHECK(link.ReplyLen() >= frame::OFS_DATA + status::STATUS_COUNT);
        }
        break;
    }
    case 1:
        link.CheckUnit();
        break;
    case 2: {
        if (link.ReadParams() == 0) FUZZ_CHECK(link.Result() == EJobResult::Success);
        break;
    }
    case 3: {
        NetParams rec = NetParams::Defaults();
        link.SetParams(&rec);
        const int nResult = link.WriteParams();
        // Success is claimed only for a read-back equal to what was written.
        if (nResult == 0) {
            NetParams back;
            link.GetParams(&back);
            FUZZ_CHECK(back == rec);
        }
        break;
    }
    case 4:
        link.ResetUnit();
        FUZZ_CHECK(link.Result() != EJobResult::None);
        break;
    case 5:
        if (link.CheckUnit() == 0) {
            FUZZ_CHECK(LoadImage(link, prompts, s_strImage) == link.Result());
        }
        break;
    default: {
        // Replies to empty frames only, as after a download.
        uint8_t abReply[CSerlComm::REPLY_SIZE];
        link.Connect();
        for (int i = 0; i < 4; ++i)
            if (link.Transact(0, 0, nullptr, abReply) == 0)
                FUZZ_CHECK(frame::CheckHeader(abReply) == frame::OK);
        break;
    }
    }
    return 0;
}
