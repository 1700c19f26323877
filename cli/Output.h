#pragma once
// The one writer of velorctl's stdout and stderr. Lines of units run at once never mix
// mid-line (one lock for both streams); a unit of a fleet prefixes its name and hands
// its result to the fleet instead of printing it; JSON is written so that no bytes in
// a name (an image file, a device, a CSV cell) can throw; text that came from a file
// reaches the terminal with its non-printing characters replaced.

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace out {

using json = nlohmann::ordered_json;

// The JSON text of j on one line. Bytes that are not UTF-8 become U+FFFD, the same
// way everywhere (stdout, a fleet's capture, a campaign report).
std::string JsonText(const json& j);

// A value as a line of text shows it: a string made printable, true/false as yes/no,
// an array's elements joined by spaces, anything else as JSON.
std::string ValueText(const json& j);

// A flat object as aligned "name  value" lines, each after strPrefix.
std::string Lines(const json& j, const std::string& strPrefix);

// What a command prints on stdout for its result object: one JSON line, or the
// aligned lines.
std::string ResultText(const json& j, bool bJson);

// Where the frame trace shows a frame: the bytes as hex, except those that are or
// decrypt to a unit's keys (a write request's data, a read reply's data).
std::string TraceText(bool bSent, const uint8_t* p, size_t n, uint8_t& nLastSentCommand);

} // namespace out

class COutput {
public:
    // The process's streams.
    static COutput& Std();
    COutput(FILE* pOut, FILE* pErr) : m_pOut(pOut), m_pErr(pErr) {}

    // The lock every line to either stream is written under.
    std::mutex& Lock() { return m_mutex; }

    // "PREFIXvelorctl: text" on stderr (our own notes, not a job's messages).
    void Note(const std::string& strText, const std::string& strPrefix = {});
    // A line on stderr as it is (a progress line, a fleet's summary).
    void ErrLine(const std::string& strText);
    // Text on stdout as it is.
    void Out(const std::string& strText);
    // A command's result object on stdout.
    void Result(const out::json& j, bool bJson);

    FILE* Err() const { return m_pErr; }

private:
    FILE* m_pOut;
    FILE* m_pErr;
    std::mutex m_mutex;
};
