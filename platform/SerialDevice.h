#pragma once
// The serial port as the utility uses it: a COMn name resolved to a device, opened
// for exclusive synchronous use, the line set from a mode string, reads and writes
// bounded by Windows-like time-outs. Results are 0 or an error number: errno values
// from the system, plus the two numbers the link itself reports.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct termios;

namespace serialdev {

constexpr int OK = 0;
constexpr int ERR_WRITE_SHORT = 1025; // the write moved fewer bytes than asked
constexpr int ERR_NOT_OPEN = 1259;    // read or write without an open port

// The device a port number stands for: $VELOR_COMn when set and not empty, then
// the device mapped to it in this process (MapPort), otherwise /dev/ttyS<n-1>.
std::string ResolvePort(int nPort);

// Makes COMn open strDevice in this process (the desktop program's demo unit, a
// machine port chosen in the port list); an empty path removes the mapping. Safe to
// call while a worker resolves ports.
void MapPort(int nPort, const std::string& strDevice);

// Why a device could not be opened, for a person: "/dev/ttyUSB0: permission denied
// (the device belongs to group dialout: join it with ..., then log in again)". The
// desktop's form names no command; it points at the port list of its dialog instead.
enum class EReader { CommandLine, Desktop };
std::string OpenFailureText(const std::string& strPath, int nError,
                            EReader eReader = EReader::CommandLine);

// The line settings a mode string names, as BuildCommDCB fills a device control
// block: "Baud=9600 parity=e data=8 stop=1 to=off odsr=off octs=off".
struct SLineMode {
    int m_nBaud = 0;
    char m_cParity = 'n'; // n, o or e
    int m_nDataBits = 8;  // 5..8
    int m_nStopBits = 1;  // 1 or 2
    bool m_bTimeoutOn = false;
    bool m_bDsrFlow = false;
    bool m_bCtsFlow = false;
};

// Parses a mode string. Keys are case-insensitive and may come in any order; a key
// that is not named keeps the value already in rMode. Returns 0, or EINVAL for an
// unknown key, a malformed value or a baud rate the system cannot set.
int BuildLineMode(const std::string& strMode, SLineMode& rMode);

// The primitives are virtual so that a test or a fuzz target can stand in for the
// device with a byte stream of its own.
class CSerialDevice {
public:
    CSerialDevice() = default;
    virtual ~CSerialDevice();
    CSerialDevice(const CSerialDevice&) = delete;
    CSerialDevice& operator=(const CSerialDevice&) = delete;

    // Opens the device for reading and writing, as the only user: a device another
    // opener holds gives EWOULDBLOCK. Returns 0 or errno.
    int Open(const std::string& strPath);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    const std::string& Path() const { return m_strPath; }

    // Read: the whole read ends nReadTotalMs after it began, or nReadIntervalMs after
    // the last byte. Write: gives up nWriteTotalMs after it began. 0 means no limit.
    virtual void SetTimeouts(int nReadIntervalMs, int nReadTotalMs, int nWriteTotalMs);

    // The current line settings (what a mode string does not name keeps them).
    virtual int GetLineMode(SLineMode& rMode) const;
    // Applies baud rate, parity, data and stop bits and flow control, raw mode, in one
    // step. A pseudo-terminal does not keep parity; that is not a failure.
    virtual int SetLineMode(const SLineMode& mode);

    // Keeps the whole line setting as it is now; RestoreLine puts it back, so that a
    // program that tried many settings leaves the port as it found it.
    int SaveLine();
    int RestoreLine();

    // Discards what was received and not yet read.
    virtual void PurgeInput();

    // Writes n bytes; nWritten tells how many went out before an error or the
    // time-out. Returns 0 or errno (a time-out alone is not an error here).
    virtual int Write(const uint8_t* p, size_t n, size_t& nWritten);
    // Reads up to n bytes within the read time-outs. A read that times out with fewer
    // bytes is not an error. Returns 0 or errno.
    virtual int Read(uint8_t* p, size_t n, size_t& nRead);

private:
    int m_fd = -1;
    std::string m_strPath;
    int m_nReadIntervalMs = 0;
    int m_nReadTotalMs = 0;
    int m_nWriteTotalMs = 0;
    std::shared_ptr<termios> m_pSavedLine; // shared: its deleter lives with the definition
};

} // namespace serialdev
