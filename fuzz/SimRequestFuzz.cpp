// The simulated unit's request parser: any bytes handed in as frames, on either
// link, under the faults that change what it answers. Whatever comes in, a reply is
// a whole frame with its sums right, and the unit's memory stays its own size with
// every write inside it. The same bytes read as a serial stream: every frame the
// stream scanner finds is one the unit takes as a request.

#include <algorithm>
#include <vector>

#include "FuzzCommon.h"
#include "FuzzFrames.h"
#include "serial/FrameCodec.h"
#include "sim/SimUnit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize < 2) return 0;
    SSimOptions options;
    options.m_bResyncAtStart = (pData[0] & 0x01) != 0;
    SSimFaults& f = options.m_faults;
    f.m_bRejectLoad = (pData[0] & 0x02) != 0;
    f.m_bAnswerReset = (pData[0] & 0x04) != 0;
    f.m_bStoreMismatch = (pData[0] & 0x08) != 0;
    f.m_bPropertiesMode = (pData[0] & 0x10) != 0;
    f.m_nResyncReplies = (pData[0] >> 5) & 0x03;
    f.m_nStatusCount = pData[1] < 0x80 ? 46 : pData[1] - 0x80;
    CSimUnit unit(options);

    // Frames: a byte with the link in bit 7 and the length's high bit in bit 0, a
    // length byte, then that many bytes (cut short at the end of the input), its sums
    // filled in (FuzzFrames.h).
    size_t i = 2;
    while (i + 2 <= nSize) {
        const auto eLink = (pData[i] & 0x80) ? CSimUnit::LINK_UDP : CSimUnit::LINK_SERIAL;
        const size_t nLen =
            std::min<size_t>(((pData[i] & 0x01) << 8) | pData[i + 1], nSize - i - 2);
        i += 2;
        std::vector<uint8_t> abFrame(pData + i, pData + i + nLen);
        SetFrameSums(abFrame.data(), abFrame.size());
        i += nLen;
        const auto replies = unit.Handle(abFrame.data(), abFrame.size(), eLink);
        FUZZ_CHECK(replies.size() <= 1);
        for (const auto& ab : replies) {
            FUZZ_CHECK(ab.size() >= frame::HEADER_LEN && ab.size() <= frame::MAX_FRAME);
            const int nCheck = frame::CheckReply(ab.data(), ab.size());
            FUZZ_CHECK(nCheck == frame::OK || nCheck == frame::ERR_RESYNC);
            FUZZ_CHECK(ab.size() == frame::HEADER_LEN + ab[frame::OFS_LEN]);
        }
    }
    FUZZ_CHECK(unit.Memory().size() == CSimUnit::MEMORY_SIZE);

    CSimUnit streamUnit(options);
    for (size_t j = 2; j < nSize;) {
        size_t nFrame = 0;
        const EStreamScan eScan = ScanSerialStream(pData + j, nSize - j, nFrame);
        if (eScan == EStreamScan::Incomplete) break;
        if (eScan == EStreamScan::Garbage) {
            ++j;
            continue;
        }
        FUZZ_CHECK(nFrame >= frame::HEADER_LEN && j + nFrame <= nSize);
        const std::vector<uint8_t> abFrame(pData + j, pData + j + nFrame);
        streamUnit.Handle(abFrame.data(), abFrame.size(), CSimUnit::LINK_SERIAL);
        FUZZ_CHECK(streamUnit.InvalidFrames() == 0);
        j += nFrame;
    }
    for (const auto& [nFirst, nLast] : unit.WrittenRanges())
        FUZZ_CHECK(nFirst <= nLast && nLast < CSimUnit::MEMORY_SIZE);
    return 0;
}
