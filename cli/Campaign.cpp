#include "cli/Campaign.h"
#include "cli/Fields.h"
#include "cli/Output.h"
#include "cli/TextForms.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

using json = nlohmann::ordered_json;

namespace {

// A site's report is a line a unit a run; anything this large is not one.
constexpr size_t MAX_REPORT_BYTES = 64 << 20;

const char* CommandName(CCliPrompts::EMode eMode) {
    switch (eMode) {
    case CCliPrompts::EMode::Status:
        return "status";
    case CCliPrompts::EMode::Read:
        return "read";
    case CCliPrompts::EMode::Write:
        return "write";
    case CCliPrompts::EMode::Reset:
        return "reset";
    case CCliPrompts::EMode::Flash:
        break;
    }
    return "flash";
}

std::string BaseName(const std::string& strPath) {
    const size_t nSlash = strPath.rfind('/');
    return nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
}

json CheckWord(std::optional<uint16_t> n) {
    if (!n) return nullptr;
    return Hex4(*n);
}

std::string ImageText(const json& image) {
    const json& word = image.value("check-word", json());
    return image.value("file", std::string("?")) + " (check word " +
           (word.is_string() ? word.get<std::string>() : std::string("none")) + ", " +
           std::to_string(image.value("bytes", 0)) + " bytes)";
}

std::string FieldsText(const json& fields) {
    std::string str;
    for (auto it = fields.begin(); it != fields.end(); ++it)
        str += (str.empty() ? "" : " ") + it.key() + "=" +
               (it->is_string() ? it->get<std::string>() : it->dump());
    return str.empty() ? "nothing" : str;
}

// Empty when the line is of this campaign, else what differs.
std::string Difference(const json& line, const json& identity) {
    const std::string strCommand = identity["command"];
    const std::string strTheirs = line.value("command", std::string("?"));
    if (strTheirs != strCommand)
        return "the report is of " + strTheirs + ", this run is " + strCommand;
    if (strCommand == "flash") {
        const json& theirs = line.value("image", json::object());
        const json& ours = identity["image"];
        if (!theirs.is_object() || theirs.value("check-word", json()) != ours["check-word"] ||
            theirs.value("bytes", json()) != ours["bytes"])
            return "the report flashed " + (theirs.is_object() ? ImageText(theirs) : "?") +
                   ", this run flashes " + ImageText(ours);
    }
    if (strCommand == "write" && line.value("fields", json()) != identity["fields"])
        return "the report wrote " + FieldsText(line.value("fields", json::object())) +
               ", this run writes " + FieldsText(identity["fields"]);
    return {};
}

std::string TimeStamp() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char sz[32];
    std::strftime(sz, sizeof sz, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return sz;
}

} // namespace

json CampaignIdentity(const SFleetCommand& cmd) {
    json j;
    j["command"] = CommandName(cmd.m_eMode);
    if (cmd.m_eMode == CCliPrompts::EMode::Flash) {
        j["image"] = {{"file", BaseName(cmd.m_strImagePath)},
                      {"bytes", cmd.m_image.m_nBytes},
                      {"check-word", cmd.m_image.m_bCheckWordFound
                                         ? CheckWord(cmd.m_image.m_nCheckWord)
                                         : json(nullptr)}};
    } else if (cmd.m_eMode == CCliPrompts::EMode::Write) {
        json fields = json::object();
        for (const auto& str : MergeAssignments({cmd.m_fileAssignments, cmd.m_assignments})) {
            const std::string strField = str.substr(0, str.find('='));
            // A report may be mailed or kept on a share: a key's value never goes there.
            fields[strField] =
                IsSecretField(strField) ? std::string("(key)") : str.substr(str.find('=') + 1);
        }
        j["fields"] = fields;
    }
    return j;
}

bool IsCampaignSuccess(const std::string& strResult) {
    return strResult == "success" || strResult == "current" || strResult == "unchanged";
}

CCampaignReport::~CCampaignReport() {
    if (m_fd >= 0) ::close(m_fd);
}

bool CCampaignReport::Read(const std::string& strPath, const json& identity, bool bMayBeMissing,
                           std::map<std::string, std::string>& lastResults, std::string& strError) {
    lastResults.clear();
    struct stat st {};
    if (bMayBeMissing && ::stat(strPath.c_str(), &st) != 0 && errno == ENOENT) return true;
    std::ifstream in(strPath, std::ios::binary);
    if (!in.is_open()) {
        strError = "cannot open " + strPath;
        return false;
    }
    std::string strLine;
    size_t nLine = 0, nBytes = 0;
    while (std::getline(in, strLine)) {
        ++nLine;
        nBytes += strLine.size() + 1;
        const std::string strWhere = strPath + ":" + std::to_string(nLine) + ": ";
        if (nBytes > MAX_REPORT_BYTES) {
            strError = strWhere + "too large for a campaign report";
            return false;
        }
        if (strLine.empty()) continue;
        const json line = json::parse(strLine, nullptr, false);
        if (line.is_discarded() || !line.is_object() || !line.contains("target") ||
            !line["target"].is_string() || !line.contains("result") ||
            !line["result"].is_string()) {
            // A run killed in the middle of a line leaves that line cut short at the
            // end of the file: that unit simply did not finish.
            if (in.eof()) break;
            strError = strWhere + "not a line of a campaign report";
            return false;
        }
        if (const std::string strDiff = Difference(line, identity); !strDiff.empty()) {
            strError = strWhere + strDiff;
            return false;
        }
        lastResults[line["target"].get<std::string>()] = line["result"].get<std::string>();
    }
    return true;
}

bool CCampaignReport::Open(const std::string& strPath, std::string& strError) {
    m_strPath = strPath;
    m_fd = ::open(strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        strError = "cannot write " + strPath + ": " + std::strerror(errno);
        return false;
    }
    // A line cut short by an earlier kill is closed first, so the next stands alone.
    struct stat st {};
    if (::fstat(m_fd, &st) == 0 && st.st_size > 0) {
        char c = '\n';
        const int fdRead = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (fdRead >= 0) {
            if (::pread(fdRead, &c, 1, st.st_size - 1) != 1) c = '\n';
            ::close(fdRead);
        }
        if (c != '\n' && ::write(m_fd, "\n", 1) != 1) {
            strError = "cannot write " + strPath + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

bool CCampaignReport::Append(const json& identity, const std::string& strTarget,
                             const std::string& strResult, int nExit,
                             std::optional<uint16_t> nCheckBefore,
                             std::optional<uint16_t> nCheckAfter, double dSeconds,
                             std::string& strError) {
    json line;
    line["time"] = TimeStamp();
    line["target"] = strTarget;
    for (auto it = identity.begin(); it != identity.end(); ++it)
        line[it.key()] = *it;
    line["result"] = strResult;
    line["exit"] = nExit;
    line["check-word-before"] = CheckWord(nCheckBefore);
    line["check-word-after"] = CheckWord(nCheckAfter);
    line["seconds"] = static_cast<double>(static_cast<int64_t>(dSeconds * 1000)) / 1000;
    const std::string strText = out::JsonText(line) + "\n";
    // One write for the whole line, so a kill leaves at most the last line cut short.
    size_t nDone = 0;
    while (nDone < strText.size()) {
        const ssize_t n = ::write(m_fd, strText.data() + nDone, strText.size() - nDone);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            strError = "cannot write " + m_strPath + ": " + std::strerror(errno);
            return false;
        }
        nDone += static_cast<size_t>(n);
    }
    if (::fsync(m_fd) != 0) {
        strError = "cannot sync " + m_strPath + ": " + std::strerror(errno);
        return false;
    }
    return true;
}
