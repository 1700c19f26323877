#include "ethernet/EthFraming.h"

#include "serial/FrameCodec.h"

size_t CEthFraming::BuildFrame(uint8_t nCmd, uint32_t nLen, const uint8_t* pData,
                               uint8_t* pFrame) const {
    return frame::Build(pFrame, FRAME_BUFFER, pFrame[frame::OFS_ADDR], m_nSequence, nCmd, nLen,
                        pData);
}

int CEthFraming::CheckReply(const uint8_t* pFrame, size_t nReceived) {
    const int nResult = frame::CheckReply(pFrame, nReceived);
    if (nResult == RESYNC)
        ResetSequence();
    else if (nResult == VALID)
        AdvanceSequence();
    return nResult;
}

void CEthFraming::AdvanceSequence() {
    m_nSequence = frame::NextSequence(m_nSequence);
}
