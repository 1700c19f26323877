#pragma once
// velorctl --fleet --report / --resume: a campaign's record, one JSON line for each
// step of a unit as soon as it happens, so that a run that was killed can be resumed
// with the units it had not finished.
//
// A line: {"time", "target" (the unit's one name), "unit" (as the fleet file writes
// it), "command", "image" (flash) or "salt" and "fields" (write), "result", and for
// a result "exit", "check-word-before", "check-word-after", "seconds"}. The result
// "started" comes before a unit's first load block, "loaded" after its end-of-load
// block. A line never holds a key: a key field's value is a salted hash.

#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "cli/Fleet.h"

// What makes two runs the same campaign: the command and, for flash, the image (its
// check word, byte count and the SHA-256 of its load blocks, addresses included; the
// file's name is kept for people, not compared, since a copied or renamed file is the
// same firmware), for write every field asked of the unit, its own line's fields
// included, keys as hashes salted with strSalt.
nlohmann::ordered_json CampaignIdentity(const SFleetCommand& cmd,
                                        const std::vector<std::string>& unitFields,
                                        const std::string& strSalt);
// A new salt for a new report: 16 random bytes as hex; empty when none could be had.
std::string NewCampaignSalt();

// Empty when the line is of this campaign, else what differs, for a message.
// bFields false compares the command and the image only (a unit no longer listed).
std::string CampaignDifference(const nlohmann::ordered_json& line,
                               const nlohmann::ordered_json& identity, bool bFields = true);

// A report line's result word as a unit's result: success, current and unchanged as
// themselves, every other word (a failure, a load step, a load left unverified) as
// Failed, after which a resumed run takes the unit again.
EUnitResult ReportedResult(const std::string& strResult);
// True for the results after which a unit is done: success, current, unchanged.
bool IsCampaignSuccess(EUnitResult eResult);

struct SReportLine {
    size_t m_nLine = 0;
    std::string m_strTarget;
    std::string m_strResult; // the word, for the load steps "started" and "loaded"
    EUnitResult m_eResult = EUnitResult::Failed;
    nlohmann::ordered_json m_json;
};

struct SReportContents {
    std::vector<SReportLine> m_lines;
    std::string m_strSalt;    // of the first line that has one
    bool m_bTornTail = false; // the last line was cut short and is left out
};

class CCampaignReport {
public:
    // The largest report read: a line a unit a step, far beyond any site.
    static constexpr size_t MAX_BYTES = 64u << 20;

    CCampaignReport() = default;
    CCampaignReport(const CCampaignReport&) = delete;
    CCampaignReport& operator=(const CCampaignReport&) = delete;
    ~CCampaignReport();

    // Reads a report: its complete lines, each checked for its form. False with a
    // message naming the file and the line when one is not a line of a report; a torn
    // last line is not an error. A missing file reads as empty when bMayBeMissing.
    // Never throws.
    static bool Read(const std::string& strPath, bool bMayBeMissing, SReportContents& contents,
                     std::string& strError);

    // Opens for appending, never through a symbolic link; a torn last line is cut
    // off first (strNote then says so). False with a message.
    bool Open(const std::string& strPath, std::string& strError, std::string& strNote);
    // One line, written, flushed and synced before it returns; safe from any thread.
    // Never throws.
    bool Append(const nlohmann::ordered_json& identity, const std::string& strTarget,
                const std::string& strUnit, const std::string& strResult, std::string& strError,
                const nlohmann::ordered_json& details = nlohmann::ordered_json::object());

private:
    std::mutex m_mutex;
    int m_fd = -1;
    std::string m_strPath;
};

// A result line's details.
nlohmann::ordered_json ReportDetails(int nExit, std::optional<uint16_t> nCheckBefore,
                                     std::optional<uint16_t> nCheckAfter, double dSeconds);
