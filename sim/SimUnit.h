#pragma once
// A simulated Velor unit. CSimUnit is the unit model (frames in, replies out);
// CSimServer serves one unit over a pseudo-terminal and/or a UDP socket on its own
// thread. Tests drive faults through SetFaults and look at the unit's state through
// WithUnit; velorsim exposes the same as command-line options.
//
// This header is the contract the link tests build on: extend it, don't break it.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "params/NetParams.h"

struct SSimFaults {
    bool m_bSilent = false;          // answer nothing
    int m_nSilentAfterFrames = -1;   // answer the first N frames, then nothing (-1: off)
    int m_nGarbleEvery = 0;          // garble every Nth reply (1: every one; 0: off)
    bool m_bHighBits = false;        // set control bits 0xE0 in every reply
    int m_nResyncReplies = 0;        // the next N replies ask for resynchronisation (0x10)
    bool m_bRejectLoad = false;      // answer the end-of-load block (load rejected)
    bool m_bWrongCheckWord = false;  // report a check word other than the loaded one
    bool m_bCheckWordZero = false;   // report check word 0
    int m_nStatusCount = 46;         // data count of the status reply
    bool m_bSwitchOff = false;       // configuration switch (status byte 36 bit 1) off
    bool m_bPropertiesMode = false;  // status byte 37 = 8
    bool m_bAnswerReset = false;     // answer the reset request instead of restarting
    bool m_bStoreMismatch = false;   // store something other than what was written
    int m_nStopAfterLoadBlocks = -1; // accept N load blocks, then fall silent (-1: off)
    bool m_bPollsOnly = false;       // answer empty frames, never a command
    int m_nReplyDelayMs = 0;         // wait before every reply
    int m_nOversizeReply = 0;        // UDP: pad every reply datagram to this size (300, 600)
    int m_nUnsolicitedMs = 0;        // UDP: send a valid frame to the last peer every N ms
    // UDP: a datagram that is not a valid reply (m_eStray), sent just before the reply
    // to the Nth accepted load block or to the Nth request answered (0: off).
    int m_nStrayBeforeBlock = 0;
    int m_nStrayBeforeExchange = 0;
    enum class EStray {
        BadSum,    // the reply with its last checksum spoiled
        HighBits,  // the reply with control bits 0xE0 set
        Short,     // its first 3 bytes
        Empty,     // no bytes at all
        Long,      // the reply padded to 600 bytes, more than a link asks for
        Duplicate, // the unit's previous reply again (a valid frame: a resend)
    };
    EStray m_eStray = EStray::BadSum;
    // The names velorsim and the state dump use for the kinds, in their order.
    static constexpr const char* STRAY_NAMES[] = {"bad-sum", "high-bits", "short",
                                                  "empty",   "long",      "duplicate"};
};

// Sequence rule of the unit: after a restart (power-on, unless m_bResyncAtStart is
// cleared to stand for a unit that has been running for a while; reset request;
// accepted load) its first reply asks for resynchronisation (control 0x10) and it then expects
// sequence 0. It executes a request whose sequence is 0, equal to the last one it
// executed (a retransmission, executed again) or the next one; anything else is
// refused with a resynchronisation reply, after which it expects 0 again. The same
// holds after a resynchronisation reply injected by m_nResyncReplies. Each link
// keeps its own sequence, as a unit's serial port and network interface do.

struct SSimOptions {
    bool m_bPty = false;     // create a pseudo-terminal pair
    std::string m_strDevice; // or open this serial device instead
    bool m_bUdp = false;
    std::string m_strUdpHost = "127.0.0.1";
    uint16_t m_nUdpPort = 3001; // 0: any free port (see CSimServer::UdpPort)
    int m_nBaud = 0;            // pace serial output at this line rate (0: no pacing)
    bool m_bParity = true;      // 11 bits a character with parity, 10 without
    bool m_bOddParity = false;  // a device given by path: odd rather than even parity
    bool m_bTrace = false;      // print every frame in hex with direction on stderr
    uint16_t m_nSerialNo = 0x1234;
    bool m_bKeysEnabled = true;
    bool m_bResyncOnRestart = true; // first reply after a restart asks for resynchronisation
    bool m_bResyncAtStart = true;   // and so does the first after the simulator starts
    bool m_bSerialKeepsScp = false; // a serial write leaves 24..28 (sent as zeros) unchanged
    // Answer only frames whose address byte is this (the unit address on a shared
    // serial line; over UDP the comm address of a command, polls being answered
    // whatever they carry); -1 answers every address.
    int m_nAddr = -1;
    // Pseudo-terminal: bytes the other end wrote while its line was not set to m_nBaud
    // and this parity are noise, as a UART at another rate hears them. A pseudo-terminal
    // keeps the rate and the odd flag but never the parity bit itself, so odd parity
    // stands apart from the others while none and even read alike.
    bool m_bStrictLine = false;
    NetParams m_params = DefaultParams();
    SSimFaults m_faults;

    // 192.168.0.132/24, gateway 192.168.0.1, port 3001, timeout 30, non-zero keys,
    // SCP bytes 0C 40 01 00 01 (115200, encryption, auto backup, comm address 1).
    static NetParams DefaultParams();
};

// The unit model. Not thread-safe on its own; CSimServer serialises access.
class CSimUnit {
public:
    static constexpr uint32_t MEMORY_SIZE = 0x80000;

    explicit CSimUnit(const SSimOptions& options = {});

    enum ELink { LINK_SERIAL = 0, LINK_UDP = 1, LINK_COUNT = 2 };

    // One complete request frame in, zero or more reply frames out.
    std::vector<std::vector<uint8_t>> Handle(const uint8_t* pFrame, size_t nLen) {
        return Handle(pFrame, nLen, LINK_SERIAL);
    }
    std::vector<std::vector<uint8_t>> Handle(const uint8_t* pFrame, size_t nLen, ELink eLink);

    SSimFaults& Faults() { return m_faults; }
    // Replaces the faults and restarts their counters (frames, replies, load blocks).
    void SetFaults(const SSimFaults& faults);
    // A power cycle: the next reply asks for resynchronisation, the next load erases.
    void Restart();

    const NetParams& Params() const { return m_params; }
    void SetParams(const NetParams& rec) { m_params = rec; }
    uint16_t SerialNo() const { return m_nSerialNo; }
    uint16_t CheckWord() const; // what the status reply reports
    // The whole memory, erased bytes included (built on demand: a unit holds only the
    // pages written since its last erase, so that a site of many units stays small).
    const std::vector<uint8_t>& Memory() const;
    uint32_t MemoryCrc32() const;
    // The check word of the program the unit came with, until a load erases it.
    void PresetCheckWord(uint16_t nWord) { m_nPresetCheckWord = nWord; }
    uint32_t Restarts() const { return m_nRestarts; }
    uint32_t FrameCount(int nCommand) const;              // -1: empty frames
    uint32_t InvalidFrames() const { return m_nInvalid; } // handed in but not a valid request
    std::vector<uint8_t> StatusData() const; // the status record as the unit reports it
    uint32_t LoadBlocks() const { return m_nLoadBlocks; }
    // Address ranges written since start: [first, last] inclusive.
    std::vector<std::pair<uint32_t, uint32_t>> WrittenRanges() const;
    std::string StateJson() const;

private:
    std::vector<uint8_t> Reply(const uint8_t* pRequest, uint8_t nControl, const uint8_t* pData,
                               size_t nCount) const;
    // The stray datagram m_faults asks for, made from the reply about to go out.
    std::vector<uint8_t> Stray(const std::vector<uint8_t>& abReply) const;
    std::optional<std::vector<uint8_t>> Execute(const uint8_t* pFrame, ELink eLink);
    std::optional<std::vector<uint8_t>> Load(const uint8_t* pFrame);
    void StoreWrite(const uint8_t* pPlain, ELink eLink);
    uint16_t LoadedCheckWord() const;
    // The vector of the next read reply, false when none could be drawn.
    bool NextIv(uint8_t* pIv);

    SSimFaults m_faults;
    NetParams m_params;
    uint16_t m_nSerialNo = 0;
    bool m_bKeysEnabled = true;
    bool m_bResyncOnRestart = true;
    bool m_bSerialKeepsScp = false;
    int m_nAddr = -1;
    static constexpr uint32_t PAGE_SIZE = 0x1000;
    using Page = std::array<uint8_t, PAGE_SIZE>;
    std::array<std::unique_ptr<Page>, MEMORY_SIZE / PAGE_SIZE> m_pages; // null: erased
    mutable std::vector<uint8_t> m_memoryView;
    mutable bool m_bViewStale = true;
    std::optional<uint16_t> m_nPresetCheckWord;
    uint8_t ByteAt(uint32_t nAddr) const;
    void Erase();
    uint32_t m_nRestarts = 0;
    uint32_t m_nLoadBlocks = 0;
    uint32_t m_nInvalid = 0;
    uint32_t m_anFrames[257] = {}; // by command byte; [256] empty frames
    // Random vectors drawn 32 at a time: one draw costs a unit's read reply about as
    // much as its encryption does.
    uint8_t m_abIvPool[256] = {};
    size_t m_nIvPoolUsed = sizeof m_abIvPool;

    // Sequence state, per link.
    bool m_abResyncPending[LINK_COUNT] = {};
    bool m_abHaveLast[LINK_COUNT] = {};
    uint32_t m_anLastSeq[LINK_COUNT] = {};

    // Load state: erased at the first block after a restart; the check-word points
    // written since then.
    bool m_bLoadStarted = false;
    bool m_abPointWritten[4][2] = {};
    std::vector<std::pair<uint32_t, uint32_t>> m_ranges; // sorted, merged

    // Fault counters, restarted by SetFaults.
    uint32_t m_nFaultFrames = 0;
    uint32_t m_nFaultReplies = 0;
    uint32_t m_nFaultLoadBlocks = 0;
    std::vector<uint8_t> m_abLastUdpReply; // for a duplicate stray
};

// How the bytes at the head of the serial stream read: not the start of a frame
// (drop one byte and look again), the start of a frame not yet complete, or a whole
// frame of nFrame bytes whose layout and sums hold.
enum class EStreamScan { Garbage, Incomplete, Frame };
EStreamScan ScanSerialStream(const uint8_t* p, size_t nAvail, size_t& nFrame);

// Serves one unit over the chosen transports on a thread of its own.
class CSimServer {
public:
    CSimServer();
    ~CSimServer(); // stops
    bool Start(const SSimOptions& options, std::string* pError = nullptr);
    void Stop();

    std::string PtyPath() const; // the side the utility opens
    uint16_t UdpPort() const;    // the bound port

    void SetFaults(const SSimFaults& faults);
    SSimFaults Faults() const;

    // The unit's state (StateJson) plus the transports: pty path, UDP port, bytes of
    // the serial stream dropped as not belonging to a valid frame.
    std::string StateJson();
    uint64_t DroppedBytes() const; // serial bytes that were not part of a valid frame

    // Runs fn on the unit with the server's lock held.
    template <class F> auto WithUnit(F fn) {
        std::lock_guard lock(m_mutex);
        return fn(*m_pUnit);
    }

private:
    struct SImpl;
    std::unique_ptr<SImpl> m_pImpl;
    mutable std::mutex m_mutex;
    std::unique_ptr<CSimUnit> m_pUnit;
};
