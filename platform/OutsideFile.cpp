#include "platform/OutsideFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace outside {

namespace {

SFileText Failed(EReadError eError, const std::string& strName, const std::string& strWhy) {
    SFileText out;
    out.m_eError = eError;
    out.m_strError = Printable(strName) + ": " + strWhy;
    return out;
}

// Length of the UTF-8 sequence at p (1..4), or 0 when it is not a valid one.
size_t Utf8Length(const unsigned char* p, size_t nLeft) {
    const unsigned char c = p[0];
    size_t n = 0;
    uint32_t nMin = 0;
    if (c < 0x80) return 1;
    if ((c & 0xE0) == 0xC0)
        n = 2, nMin = 0x80;
    else if ((c & 0xF0) == 0xE0)
        n = 3, nMin = 0x800;
    else if ((c & 0xF8) == 0xF0)
        n = 4, nMin = 0x10000;
    else
        return 0;
    if (n > nLeft) return 0;
    uint32_t nCode = c & (0x7F >> n);
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        nCode = nCode << 6 | (p[i] & 0x3F);
    }
    if (nCode < nMin || nCode > 0x10FFFF || (nCode >= 0xD800 && nCode <= 0xDFFF)) return 0;
    // C1 controls are terminal controls too.
    if (nCode >= 0x80 && nCode < 0xA0) return 0;
    return n;
}

} // namespace

std::string Printable(const std::string& str) {
    std::string strOut;
    strOut.reserve(str.size());
    const auto* p = reinterpret_cast<const unsigned char*>(str.data());
    for (size_t i = 0; i < str.size();) {
        const size_t n = Utf8Length(p + i, str.size() - i);
        if (n == 0 || (n == 1 && (p[i] < 0x20 || p[i] == 0x7F))) {
            strOut += '?';
            ++i;
            continue;
        }
        strOut.append(str, i, n);
        i += n;
    }
    return strOut;
}

std::vector<std::string> SplitLines(const std::string& strText, bool* pbTornTail) {
    std::vector<std::string> lines;
    size_t nStart = 0;
    while (nStart < strText.size()) {
        const size_t nEnd = strText.find('\n', nStart);
        if (nEnd == std::string::npos) break;
        size_t nLen = nEnd - nStart;
        if (nLen > 0 && strText[nEnd - 1] == '\r') --nLen;
        lines.push_back(strText.substr(nStart, nLen));
        nStart = nEnd + 1;
    }
    const bool bTorn = nStart < strText.size();
    if (bTorn) {
        std::string strLast = strText.substr(nStart);
        if (!strLast.empty() && strLast.back() == '\r') strLast.pop_back();
        lines.push_back(std::move(strLast));
    }
    if (pbTornTail) *pbTornTail = bTorn;
    return lines;
}

SFileText ReadFile(const std::string& strPath, size_t nMaxBytes, size_t nMaxLine,
                   bool bAllowStdin) {
    const bool bStdin = bAllowStdin && strPath == "-";
    const std::string strName = bStdin ? "stdin" : strPath;
    int fd = STDIN_FILENO;
    if (!bStdin) {
        // O_NONBLOCK: opening a FIFO with no writer would otherwise wait for one.
        fd = ::open(strPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0)
            return Failed(EReadError::Open, strName,
                          "cannot open (" + std::string(std::strerror(errno)) + ")");
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            const bool bDir = S_ISDIR(st.st_mode);
            ::close(fd);
            return Failed(EReadError::NotRegular, strName,
                          bDir ? "is a folder, not a file"
                               : "not a regular file (a pipe, a device or a socket)");
        }
        // A regular file never blocks; reads go on as usual.
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    SFileText out;
    char ab[16384];
    size_t nLineLen = 0, nLine = 1;
    for (;;) {
        const ssize_t n = ::read(fd, ab, sizeof ab);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int nErr = errno;
            if (!bStdin) ::close(fd);
            return Failed(EReadError::Read, strName,
                          "read error (" + std::string(std::strerror(nErr)) + ")");
        }
        if (n == 0) break;
        if (out.m_strText.size() + static_cast<size_t>(n) > nMaxBytes) {
            if (!bStdin) ::close(fd);
            return Failed(EReadError::TooLarge, strName,
                          "larger than " + std::to_string(nMaxBytes) + " bytes");
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (ab[i] == '\n') {
                nLineLen = 0;
                ++nLine;
            } else if (++nLineLen > nMaxLine) {
                if (!bStdin) ::close(fd);
                SFileText bad = Failed(EReadError::LineTooLong, strName,
                                       "line " + std::to_string(nLine) + " is longer than " +
                                           std::to_string(nMaxLine) + " bytes");
                bad.m_nErrorLine = nLine;
                return bad;
            }
        }
        out.m_strText.append(ab, static_cast<size_t>(n));
    }
    if (!bStdin) ::close(fd);
    return out;
}

} // namespace outside
