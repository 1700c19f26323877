#pragma once
// Reading a file a user named: an image, a fleet file, a saved settings file, a
// campaign report. Such a file may be anything the name points at, so it is opened
// without blocking, refused unless it is a regular file (a FIFO would block forever,
// /dev/zero never ends, a directory reads as an error), bounded in size and in the
// length of its lines, and a read error is an error, never the end of the file.
// "-" is the standard input, which may be a pipe; it is bounded the same way.

#include <cstddef>
#include <string>
#include <vector>

namespace outside {

// No line of a real image, fleet file or report comes near this.
constexpr size_t MAX_LINE_BYTES = 64 * 1024;

enum class EReadError { None, Open, NotRegular, TooLarge, LineTooLong, Read };

struct SFileText {
    std::string m_strText;
    EReadError m_eError = EReadError::None;
    std::string m_strError;  // "NAME: why", for a message
    size_t m_nErrorLine = 0; // LineTooLong: the line, counted from 1
    bool Ok() const { return m_eError == EReadError::None; }
};

// The whole file, at most nMaxBytes; its lines (split at '\n') at most nMaxLine bytes
// each. With bAllowStdin, "-" reads the standard input.
SFileText ReadFile(const std::string& strPath, size_t nMaxBytes, size_t nMaxLine = MAX_LINE_BYTES,
                   bool bAllowStdin = false);

// Splits text at '\n', dropping one '\r' before each; a last line without '\n' is
// kept (bTornTail tells whether there was one).
std::vector<std::string> SplitLines(const std::string& strText, bool* pbTornTail = nullptr);

// The name as a message can show it: bytes below 0x20, DEL and bytes that do not
// form UTF-8 become '?', so that a file's text cannot drive the terminal.
std::string Printable(const std::string& str);

} // namespace outside
