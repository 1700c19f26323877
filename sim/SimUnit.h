#pragma once
// A simulated Velor unit. CSimUnit is the unit model (frames in, replies out);
// CSimServer serves one unit over a pseudo-terminal and/or a UDP socket on its own
// thread. Tests drive faults through SetFaults and look at the unit's state through
// WithUnit; velorsim exposes the same as command-line options.
//
// This header is the contract the link tests build on: extend it, don't break it.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "params/NetParams.h"

struct SSimFaults {
    bool m_bSilent = false;           // answer nothing
    int m_nSilentAfterFrames = -1;    // answer the first N frames, then nothing (-1: off)
    int m_nGarbleEvery = 0;           // garble every Nth reply (1: every one; 0: off)
    bool m_bHighBits = false;         // set control bits 0xE0 in every reply
    int m_nResyncReplies = 0;         // the next N replies ask for resynchronisation (0x10)
    bool m_bRejectLoad = false;       // answer the end-of-load block (load rejected)
    bool m_bWrongCheckWord = false;   // report a check word other than the loaded one
    bool m_bCheckWordZero = false;    // report check word 0
    int m_nStatusCount = 46;          // data count of the status reply
    bool m_bSwitchOff = false;        // configuration switch (status byte 36 bit 1) off
    bool m_bPropertiesMode = false;   // status byte 37 = 8
    bool m_bAnswerReset = false;      // answer the reset request instead of restarting
    bool m_bStoreMismatch = false;    // store something other than what was written
    int m_nStopAfterLoadBlocks = -1;  // accept N load blocks, then fall silent (-1: off)
    bool m_bPollsOnly = false;        // answer empty frames, never a command
    int m_nReplyDelayMs = 0;          // wait before every reply
    int m_nOversizeReply = 0;         // UDP: pad every reply datagram to this size (300, 600)
    int m_nUnsolicitedMs = 0;         // UDP: send a valid frame to the last peer every N ms
};

struct SSimOptions {
    bool m_bPty = false;              // create a pseudo-terminal pair
    std::string m_strDevice;          // or open this serial device instead
    bool m_bUdp = false;
    std::string m_strUdpHost = "127.0.0.1";
    uint16_t m_nUdpPort = 3001;       // 0: any free port (see CSimServer::UdpPort)
    int m_nBaud = 0;                  // pace serial output at this line rate (0: no pacing)
    bool m_bParity = true;            // 11 bits a character with parity, 10 without
    bool m_bTrace = false;            // print every frame in hex with direction on stderr
    uint16_t m_nSerialNo = 0x1234;
    bool m_bKeysEnabled = true;
    NetParams m_params = DefaultParams();
    SSimFaults m_faults;

    static NetParams DefaultParams(); // 192.168.0.132/24, port 3001, non-zero keys
};

// The unit model. Not thread-safe on its own; CSimServer serialises access.
class CSimUnit {
public:
    static constexpr uint32_t MEMORY_SIZE = 0x80000;

    explicit CSimUnit(const SSimOptions& options = {});

    // One complete request frame in, zero or more reply frames out.
    std::vector<std::vector<uint8_t>> Handle(const uint8_t* pFrame, size_t nLen);

    SSimFaults& Faults() { return m_faults; }

    const NetParams& Params() const { return m_params; }
    void SetParams(const NetParams& rec) { m_params = rec; }
    uint16_t SerialNo() const { return m_nSerialNo; }
    uint16_t CheckWord() const;               // what the status reply reports
    const std::vector<uint8_t>& Memory() const { return m_memory; }
    uint32_t MemoryCrc32() const;
    uint32_t Restarts() const { return m_nRestarts; }
    uint32_t FrameCount(int nCommand) const;  // -1: empty frames
    uint32_t LoadBlocks() const { return m_nLoadBlocks; }
    // Address ranges written since start: [first, last] inclusive.
    std::vector<std::pair<uint32_t, uint32_t>> WrittenRanges() const;
    std::string StateJson() const;

private:
    struct SImpl;
    std::shared_ptr<SImpl> m_pImpl;
    SSimFaults m_faults;
    NetParams m_params;
    uint16_t m_nSerialNo = 0;
    std::vector<uint8_t> m_memory;
    uint32_t m_nRestarts = 0;
    uint32_t m_nLoadBlocks = 0;
};

// Serves one unit over the chosen transports on a thread of its own.
class CSimServer {
public:
    CSimServer();
    ~CSimServer(); // stops
    bool Start(const SSimOptions& options, std::string* pError = nullptr);
    void Stop();

    std::string PtyPath() const;   // the side the utility opens
    uint16_t UdpPort() const;      // the bound port

    void SetFaults(const SSimFaults& faults);
    SSimFaults Faults() const;

    // Runs fn on the unit with the server's lock held.
    template <class F> auto WithUnit(F fn) {
        std::lock_guard lock(m_mutex);
        return fn(*m_pUnit);
    }

private:
    struct SImpl;
    std::unique_ptr<SImpl> m_pImpl;
    std::mutex m_mutex;
    std::unique_ptr<CSimUnit> m_pUnit;
};
