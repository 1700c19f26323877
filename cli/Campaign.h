#pragma once
// velorctl --fleet --report / --resume: a campaign's record, one JSON line for each
// unit as soon as it ends, so that a run that was killed can be resumed with the
// units it had not finished.
//
// A line: {"time", "target", "command", "image" (flash) or "fields" (write), "result",
// "exit", "check-word-before", "check-word-after", "seconds"}. It never holds a key:
// the key fields of a write are named, their values are not.

#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "cli/Fleet.h"

// What makes two runs the same campaign: the command and, for flash, the image
// (its check word and the bytes it loads; the file's name is kept for people, not
// compared, since a copied or renamed file is the same firmware), for write the
// fields asked of every unit.
nlohmann::ordered_json CampaignIdentity(const SFleetCommand& cmd);

// True for the results after which a unit is done: success, current, unchanged.
bool IsCampaignSuccess(const std::string& strResult);

class CCampaignReport {
public:
    CCampaignReport() = default;
    CCampaignReport(const CCampaignReport&) = delete;
    CCampaignReport& operator=(const CCampaignReport&) = delete;
    ~CCampaignReport();

    // Reads an existing report of the same campaign: each unit's last result. False
    // with a message naming the file, the line and the difference when it is not one.
    // A missing file reads as empty when bMayBeMissing.
    static bool Read(const std::string& strPath, const nlohmann::ordered_json& identity,
                     bool bMayBeMissing, std::map<std::string, std::string>& lastResults,
                     std::string& strError);

    // Opens for appending; false with a message.
    bool Open(const std::string& strPath, std::string& strError);
    // One unit's line, written, flushed and synced before it returns.
    bool Append(const nlohmann::ordered_json& identity, const std::string& strTarget,
                const std::string& strResult, int nExit, std::optional<uint16_t> nCheckBefore,
                std::optional<uint16_t> nCheckAfter, double dSeconds, std::string& strError);

private:
    int m_fd = -1;
    std::string m_strPath;
};
