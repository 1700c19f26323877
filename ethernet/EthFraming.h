#pragma once
// Frame codec of the Ethernet link: one frame per datagram, the layout and checksums
// of the shared codec, plus the link's sequence counter.

#include <cstddef>
#include <cstdint>

#include "serial/FrameCodec.h"

class CEthFraming {
public:
    // The frame buffer every request is built in and every reply received into.
    static constexpr size_t FRAME_BUFFER = frame::REPLY_BUFFER;

    // CheckReply results.
    static constexpr int VALID = 0;
    static constexpr int INVALID = 8;
    static constexpr int RESYNC = 21; // the unit asked to start the sequence again

    virtual ~CEthFraming() = default;

    // Builds a request in pFrame (FRAME_BUFFER bytes), leaving byte 1, the address
    // byte the caller put there, as it is. nLen is 0 for a header-only frame,
    // otherwise 2 + the data count. Returns the bytes to send (5, or nLen + 6), or 0
    // when nLen cannot make a frame that fits the buffer (1, or above 251).
    size_t BuildFrame(uint8_t nCmd, uint32_t nLen, const uint8_t* pData, uint8_t* pFrame) const;

    // Checks a reply of nReceived bytes standing in pFrame. A valid reply advances the
    // sequence; a request to start again sets it to 0. Bytes beyond nReceived are never
    // taken as part of the frame: a frame shorter than its length byte announces is
    // invalid when its data checksum is to be checked.
    int CheckReply(const uint8_t* pFrame, size_t nReceived);

    // 0, 8, ..., 56, then 8 again.
    void AdvanceSequence();
    void ResetSequence() { m_nSequence = 0; }
    uint32_t Sequence() const { return m_nSequence; }

private:
    uint32_t m_nSequence = 0;
};
