#include "platform/SerialDevice.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace serialdev {

namespace {

using Clock = std::chrono::steady_clock;

struct SBaud {
    int nRate;
    speed_t nSpeed;
};

constexpr SBaud BAUD_RATES[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedOf(int nRate, speed_t& nSpeed) {
    for (const auto& b : BAUD_RATES)
        if (b.nRate == nRate) {
            nSpeed = b.nSpeed;
            return true;
        }
    return false;
}

int RateOf(speed_t nSpeed) {
    for (const auto& b : BAUD_RATES)
        if (b.nSpeed == nSpeed) return b.nRate;
    return 0;
}

std::string Lower(std::string str) {
    for (char& c : str)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return str;
}

bool ParseInt(const std::string& str, int& n) {
    const char* pEnd = str.data() + str.size();
    auto [p, ec] = std::from_chars(str.data(), pEnd, n);
    return ec == std::errc() && p == pEnd;
}

bool ParseOnOff(const std::string& str, bool& b) {
    if (str == "on")
        b = true;
    else if (str == "off")
        b = false;
    else
        return false;
    return true;
}

// Unix 98 pseudo-terminal slaves have majors 136..143.
bool IsPseudoTerminal(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const unsigned nMajor = major(st.st_rdev);
    return nMajor >= 136 && nMajor <= 143;
}

// Milliseconds from now until t, never negative.
int MsUntil(Clock::time_point t) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(t - Clock::now()).count();
    return ms < 0 ? 0 : static_cast<int>(ms);
}

} // namespace

namespace {
std::mutex g_portMapMutex;
std::map<int, std::string> g_portMap; // guarded by g_portMapMutex
} // namespace

std::string ResolvePort(int nPort) {
    const std::string strVar = "VELOR_COM" + std::to_string(nPort);
    if (const char* psz = std::getenv(strVar.c_str()); psz && *psz) return psz;
    {
        std::lock_guard lock(g_portMapMutex);
        if (auto it = g_portMap.find(nPort); it != g_portMap.end()) return it->second;
    }
    return "/dev/ttyS" + std::to_string(nPort - 1);
}

void MapPort(int nPort, const std::string& strDevice) {
    std::lock_guard lock(g_portMapMutex);
    if (strDevice.empty())
        g_portMap.erase(nPort);
    else
        g_portMap[nPort] = strDevice;
}

int BuildLineMode(const std::string& strMode, SLineMode& rMode) {
    SLineMode mode = rMode;
    size_t nPos = 0;
    while (nPos < strMode.size()) {
        if (strMode[nPos] == ' ') {
            ++nPos;
            continue;
        }
        size_t nEnd = strMode.find(' ', nPos);
        if (nEnd == std::string::npos) nEnd = strMode.size();
        const std::string strToken = Lower(strMode.substr(nPos, nEnd - nPos));
        nPos = nEnd;
        const size_t nEq = strToken.find('=');
        if (nEq == std::string::npos) return EINVAL;
        const std::string strKey = strToken.substr(0, nEq);
        const std::string strValue = strToken.substr(nEq + 1);
        int n = 0;
        if (strKey == "baud") {
            speed_t nSpeed;
            if (!ParseInt(strValue, n) || !SpeedOf(n, nSpeed)) return EINVAL;
            mode.m_nBaud = n;
        } else if (strKey == "parity") {
            if (strValue != "n" && strValue != "o" && strValue != "e") return EINVAL;
            mode.m_cParity = strValue[0];
        } else if (strKey == "data") {
            if (!ParseInt(strValue, n) || n < 5 || n > 8) return EINVAL;
            mode.m_nDataBits = n;
        } else if (strKey == "stop") {
            if (strValue != "1" && strValue != "2") return EINVAL;
            mode.m_nStopBits = strValue[0] - '0';
        } else if (strKey == "to") {
            if (!ParseOnOff(strValue, mode.m_bTimeoutOn)) return EINVAL;
        } else if (strKey == "odsr") {
            if (!ParseOnOff(strValue, mode.m_bDsrFlow)) return EINVAL;
        } else if (strKey == "octs") {
            if (!ParseOnOff(strValue, mode.m_bCtsFlow)) return EINVAL;
        } else {
            return EINVAL;
        }
    }
    rMode = mode;
    return OK;
}

CSerialDevice::~CSerialDevice() {
    Close();
}

std::string OpenFailureText(const std::string& strPath, int nError, EReader eReader) {
    const bool bDesktop = eReader == EReader::Desktop;
    std::string str = strPath + ": ";
    switch (nError) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return str + (bDesktop ? "no such device (is the adapter plugged in? The Serial Port "
                                 "list offers the ports found on this computer.)"
                               : "no such device (is the adapter plugged in? velorctl ports "
                                 "lists them)");
    case EACCES:
    case EPERM: {
        str += "permission denied";
        struct stat st {};
        if (::stat(strPath.c_str(), &st) == 0) {
            // The reentrant form: units on several ports may fail to open at once.
            group grp{};
            group* pGroup = nullptr;
            char abBuf[4096];
            if (::getgrgid_r(st.st_gid, &grp, abBuf, sizeof abBuf, &pGroup) != 0) pGroup = nullptr;
            if (pGroup && pGroup->gr_name && bDesktop)
                str += std::string(" (the device belongs to group ") + pGroup->gr_name +
                       ": your user must be a member of it; log in again once it is)";
            else if (pGroup && pGroup->gr_name)
                str += std::string(" (the device belongs to group ") + pGroup->gr_name +
                       ": join it with 'sudo usermod -aG " + pGroup->gr_name +
                       " $USER', then log in again)";
        }
        return str;
    }
    case EWOULDBLOCK:
    case EBUSY:
        return str + "busy: another program has the port open";
    default: {
        char abBuf[256];
        return str + ::strerror_r(nError, abBuf, sizeof abBuf); // GNU form: returns the text
    }
    }
}

int CSerialDevice::Open(const std::string& strPath) {
    Close();
    const int fd = ::open(strPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    // TIOCEXCL does not keep root out; an advisory lock keeps every other opener of
    // the utility (and anything else that honours locks) off the port.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int nError = errno;
        ::close(fd);
        return nError;
    }
    m_fd = fd;
    m_strPath = strPath;
    return OK;
}

void CSerialDevice::Close() {
    if (m_fd >= 0) ::close(m_fd); // releases the lock as well
    m_fd = -1;
    m_strPath.clear();
    m_pSavedLine.reset();
}

void CSerialDevice::SetTimeouts(int nReadIntervalMs, int nReadTotalMs, int nWriteTotalMs) {
    m_nReadIntervalMs = nReadIntervalMs;
    m_nReadTotalMs = nReadTotalMs;
    m_nWriteTotalMs = nWriteTotalMs;
}

int CSerialDevice::GetLineMode(SLineMode& rMode) const {
    termios tio{};
    if (::tcgetattr(m_fd, &tio) != 0) return errno;
    rMode.m_nBaud = RateOf(cfgetospeed(&tio));
    rMode.m_cParity = !(tio.c_cflag & PARENB) ? 'n' : (tio.c_cflag & PARODD) ? 'o' : 'e';
    switch (tio.c_cflag & CSIZE) {
    case CS5:
        rMode.m_nDataBits = 5;
        break;
    case CS6:
        rMode.m_nDataBits = 6;
        break;
    case CS7:
        rMode.m_nDataBits = 7;
        break;
    default:
        rMode.m_nDataBits = 8;
        break;
    }
    rMode.m_nStopBits = (tio.c_cflag & CSTOPB) ? 2 : 1;
    rMode.m_bCtsFlow = (tio.c_cflag & CRTSCTS) != 0;
    return OK;
}

int CSerialDevice::SetLineMode(const SLineMode& mode) {
    speed_t nSpeed;
    if (!SpeedOf(mode.m_nBaud, nSpeed)) return EINVAL;
    // There is no DSR output flow control to switch on here.
    if (mode.m_bDsrFlow) return EINVAL;
    termios tio{};
    if (::tcgetattr(m_fd, &tio) != 0) return errno;
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    static constexpr tcflag_t SIZES[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= SIZES[mode.m_nDataBits - 5] | CLOCAL | CREAD;
    if (mode.m_cParity != 'n') tio.c_cflag |= PARENB;
    if (mode.m_cParity == 'o') tio.c_cflag |= PARODD;
    if (mode.m_nStopBits == 2) tio.c_cflag |= CSTOPB;
    if (mode.m_bCtsFlow) tio.c_cflag |= CRTSCTS;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, nSpeed);
    ::cfsetospeed(&tio, nSpeed);
    if (::tcsetattr(m_fd, TCSANOW, &tio) != 0) {
        // The C library reports a parity the terminal did not keep as EINVAL. A
        // pseudo-terminal never keeps it, and has no line for it to matter on.
        const int nError = errno;
        termios now{};
        if (nError != EINVAL || !(tio.c_cflag & PARENB) || !IsPseudoTerminal(m_fd) ||
            ::tcgetattr(m_fd, &now) != 0)
            return nError;
        constexpr tcflag_t PARITY = PARENB | PARODD;
        if ((now.c_cflag & ~PARITY) != (tio.c_cflag & ~PARITY) || cfgetospeed(&now) != nSpeed)
            return nError;
    }
    return OK;
}

int CSerialDevice::SaveLine() {
    auto p = std::make_shared<termios>();
    if (::tcgetattr(m_fd, p.get()) != 0) return errno;
    m_pSavedLine = std::move(p);
    return OK;
}

int CSerialDevice::RestoreLine() {
    if (!m_pSavedLine) return OK;
    // Bytes still queued at a tried rate are dropped, not sent at the restored one.
    ::tcflush(m_fd, TCIOFLUSH);
    if (::tcsetattr(m_fd, TCSANOW, m_pSavedLine.get()) != 0) return errno;
    return OK;
}

void CSerialDevice::PurgeInput() {
    if (m_fd >= 0) ::tcflush(m_fd, TCIFLUSH);
}

int CSerialDevice::Write(const uint8_t* p, size_t n, size_t& nWritten) {
    nWritten = 0;
    const bool bLimit = m_nWriteTotalMs > 0;
    const auto tEnd = Clock::now() + std::chrono::milliseconds(m_nWriteTotalMs);
    while (nWritten < n) {
        const ssize_t r = ::write(m_fd, p + nWritten, n - nWritten);
        if (r > 0) {
            nWritten += static_cast<size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN) return errno;
        pollfd pfd{m_fd, POLLOUT, 0};
        const int nWait = bLimit ? MsUntil(tEnd) : -1;
        if (nWait == 0) return OK;
        const int nReady = ::poll(&pfd, 1, nWait);
        if (nReady < 0 && errno != EINTR) return errno;
        if (nReady == 0) return OK; // timed out: the caller sees the short count
    }
    return OK;
}

int CSerialDevice::Read(uint8_t* p, size_t n, size_t& nRead) {
    nRead = 0;
    if (n == 0) return OK;
    const auto tStart = Clock::now();
    const auto tTotalEnd = tStart + std::chrono::milliseconds(m_nReadTotalMs);
    auto tLastByte = tStart;
    for (;;) {
        // With both limits 0 a read waits for all n bytes, as on Windows.
        int nWait = -1;
        if (m_nReadTotalMs > 0) nWait = MsUntil(tTotalEnd);
        if (m_nReadIntervalMs > 0 && nRead > 0) {
            const int nGap = MsUntil(tLastByte + std::chrono::milliseconds(m_nReadIntervalMs));
            nWait = nWait < 0 ? nGap : std::min(nWait, nGap);
        }
        if (nWait == 0) return OK;
        pollfd pfd{m_fd, POLLIN, 0};
        const int nReady = ::poll(&pfd, 1, nWait);
        if (nReady < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (nReady == 0) return OK;
        const ssize_t r = ::read(m_fd, p + nRead, n - nRead);
        if (r < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return errno;
        }
        if (r == 0) {
            // A raw line reads 0 only when nothing is there: the far end hung up.
            if (pfd.revents & POLLHUP) return EIO;
            continue;
        }
        nRead += static_cast<size_t>(r);
        tLastByte = Clock::now();
        if (nRead == n) return OK;
    }
}

} // namespace serialdev
