#include "cli/Campaign.h"
#include "cli/Fields.h"
#include "cli/Output.h"
#include "cli/TextForms.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/HexText.h"
#include "platform/OutsideFile.h"

using json = nlohmann::ordered_json;

namespace {

const char* CommandName(ECommandMode eMode) {
    switch (eMode) {
    case ECommandMode::Status:
        return "status";
    case ECommandMode::Read:
        return "read";
    case ECommandMode::Write:
        return "write";
    case ECommandMode::Reset:
        return "reset";
    case ECommandMode::Flash:
        break;
    }
    return "flash";
}

std::string Sha256Hex(const void* pData, size_t nLen) {
    unsigned char ab[EVP_MAX_MD_SIZE];
    unsigned int nOut = 0;
    if (EVP_Digest(pData, nLen, ab, &nOut, EVP_sha256(), nullptr) != 1) return {};
    return HexText(ab, nOut);
}

// A key's hex in one case, so that a1b2 and A1B2 are the same key.
std::string UpperCase(std::string str) {
    std::transform(str.begin(), str.end(), str.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return str;
}

std::string BaseName(const std::string& strPath) {
    const size_t nSlash = strPath.rfind('/');
    return nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
}

json CheckWord(std::optional<uint16_t> n) {
    if (!n) return nullptr;
    return Hex4(*n);
}

std::string Text(const json& j) {
    return outside::Printable(j.is_string() ? j.get<std::string>() : out::JsonText(j));
}

std::string ImageText(const json& image) {
    if (!image.is_object()) return "?";
    const json& word = image.value("check-word", json());
    return Text(image.value("file", json("?"))) + " (check word " +
           (word.is_string() ? Text(word) : std::string("none")) + ", " +
           Text(image.value("bytes", json(0))) + " bytes)";
}

std::string FieldsText(const json& fields) {
    std::string str;
    for (auto it = fields.begin(); it != fields.end(); ++it)
        str += (str.empty() ? "" : " ") + outside::Printable(it.key()) + "=" + Text(*it);
    return str.empty() ? "nothing" : str;
}

std::string TimeStamp() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char sz[32];
    std::strftime(sz, sizeof sz, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return sz;
}

// What a report line must hold, with the types its reader relies on.
std::string FormProblem(const json& line) {
    if (!line.is_object()) return "not a line of a campaign report";
    for (const char* psz : {"target", "result", "command"})
        if (!line.contains(psz) || !line[psz].is_string())
            return std::string("not a line of a campaign report: '") + psz +
                   "' is missing or not text";
    if (line.contains("salt") && !line["salt"].is_string()) return "'salt' is not text";
    if (line.contains("fields")) {
        if (!line["fields"].is_object()) return "'fields' is not an object";
        for (const auto& value : line["fields"])
            if (!value.is_string()) return "a value of 'fields' is not text";
    }
    if (line.contains("image")) {
        const json& image = line["image"];
        if (!image.is_object()) return "'image' is not an object";
        if (image.contains("file") && !image["file"].is_string())
            return "the image's 'file' is not text";
        if (!image.contains("bytes") || !image["bytes"].is_number_unsigned())
            return "the image's 'bytes' is not a number";
        const json& word = image.value("check-word", json());
        if (!word.is_null() && !word.is_string())
            return "the image's 'check-word' is neither text nor null";
        if (!image.contains("sha256") || !image["sha256"].is_string())
            return "the image's 'sha256' is missing or not text";
    }
    return {};
}

} // namespace

json CampaignIdentity(const SFleetCommand& cmd, const std::vector<std::string>& unitFields,
                      const std::string& strSalt) {
    json j;
    j["command"] = CommandName(cmd.m_eMode);
    if (cmd.m_eMode == ECommandMode::Flash && cmd.m_pImage) {
        const CLoadImage& image = *cmd.m_pImage;
        j["image"] = {{"file", BaseName(cmd.m_strImagePath)},
                      {"bytes", image.m_check.m_nBytes},
                      {"check-word", image.m_check.m_bCheckWordFound
                                         ? CheckWord(image.m_check.m_nCheckWord)
                                         : json(nullptr)},
                      {"sha256", Sha256Hex(image.m_abBlocks.data(), image.m_abBlocks.size())}};
    } else if (cmd.m_eMode == ECommandMode::Write) {
        j["salt"] = strSalt;
        json fields = json::object();
        for (const auto& str :
             MergeAssignments({cmd.m_fileAssignments, cmd.m_assignments, unitFields})) {
            const std::string strField = str.substr(0, str.find('='));
            const std::string strValue = str.substr(str.find('=') + 1);
            // A report may be mailed or kept on a share: a key's value never goes there,
            // only a hash that tells another key from this one.
            const std::string strSalted = strSalt + ":" + strField + "=" + UpperCase(strValue);
            fields[strField] = IsSecretField(strField)
                                   ? "sha256:" + Sha256Hex(strSalted.data(), strSalted.size())
                                   : strValue;
        }
        j["fields"] = fields;
    }
    return j;
}

std::string NewCampaignSalt() {
    unsigned char ab[16];
    if (RAND_bytes(ab, sizeof ab) != 1) return {};
    return HexText(ab, sizeof ab);
}

std::string CampaignDifference(const json& line, const json& identity, bool bFields) {
    const std::string strCommand = identity["command"];
    const std::string strTheirs = line.value("command", std::string("?"));
    if (strTheirs != strCommand)
        return "the report is of " + outside::Printable(strTheirs) + ", this run is " + strCommand;
    if (strCommand == "flash") {
        const json theirs = line.value("image", json::object());
        const json& ours = identity["image"];
        for (const char* psz : {"check-word", "bytes", "sha256"})
            if (!theirs.is_object() || theirs.value(psz, json()) != ours[psz])
                return "the report flashed " + ImageText(theirs) + ", this run flashes " +
                       ImageText(ours);
    }
    if (strCommand == "write" && bFields && line.value("fields", json()) != identity["fields"])
        return "the report wrote " + FieldsText(line.value("fields", json::object())) +
               ", this run writes " + FieldsText(identity["fields"]) +
               " (a key is compared by its hash)";
    return {};
}

EUnitResult ReportedResult(const std::string& strResult) {
    return strResult == "success"     ? EUnitResult::Success
           : strResult == "current"   ? EUnitResult::Current
           : strResult == "unchanged" ? EUnitResult::Unchanged
                                      : EUnitResult::Failed;
}

bool IsCampaignSuccess(EUnitResult eResult) {
    switch (eResult) {
    case EUnitResult::Success:
    case EUnitResult::Current:
    case EUnitResult::Unchanged:
        return true;
    case EUnitResult::Skipped:
    case EUnitResult::NotStarted:
    case EUnitResult::Failed:
        break;
    }
    return false;
}

json ReportDetails(int nExit, std::optional<uint16_t> nCheckBefore,
                   std::optional<uint16_t> nCheckAfter, double dSeconds) {
    json j;
    j["exit"] = nExit;
    j["check-word-before"] = CheckWord(nCheckBefore);
    j["check-word-after"] = CheckWord(nCheckAfter);
    j["seconds"] = static_cast<double>(static_cast<int64_t>(dSeconds * 1000)) / 1000;
    return j;
}

CCampaignReport::~CCampaignReport() {
    if (m_fd >= 0) ::close(m_fd);
}

bool CCampaignReport::Read(const std::string& strPath, bool bMayBeMissing,
                           SReportContents& contents, std::string& strError) {
    contents = SReportContents{};
    const std::string strName = outside::Printable(strPath);
    struct stat st {};
    if (::lstat(strPath.c_str(), &st) != 0) {
        if (bMayBeMissing && errno == ENOENT) return true;
        strError = "cannot open " + strName + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        strError = strName + ": a symbolic link; name the report itself";
        return false;
    }
    const outside::SFileText file = outside::ReadFile(strPath, MAX_BYTES);
    if (!file.Ok()) {
        strError = file.m_strError;
        return false;
    }
    auto lines = outside::SplitLines(file.m_strText, &contents.m_bTornTail);
    // A run killed in the middle of a line leaves that line cut short at the end of
    // the file: that unit's step simply did not happen.
    if (contents.m_bTornTail) lines.pop_back();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].empty()) continue;
        const std::string strWhere = strName + ":" + std::to_string(i + 1) + ": ";
        const json line = json::parse(lines[i], nullptr, false);
        const std::string strProblem =
            line.is_discarded() ? "not a line of a campaign report" : FormProblem(line);
        if (!strProblem.empty()) {
            strError = strWhere + strProblem;
            return false;
        }
        if (contents.m_strSalt.empty() && line.contains("salt"))
            contents.m_strSalt = line["salt"].get<std::string>();
        const std::string strResult = line["result"].get<std::string>();
        contents.m_lines.push_back(
            {i + 1, line["target"].get<std::string>(), strResult, ReportedResult(strResult), line});
    }
    return true;
}

bool CCampaignReport::Open(const std::string& strPath, std::string& strError,
                           std::string& strNote) {
    m_strPath = outside::Printable(strPath);
    // A link planted under the report's name would have us write wherever it points.
    m_fd =
        ::open(strPath.c_str(),
               O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0644);
    if (m_fd < 0) {
        strError = errno == ELOOP ? m_strPath + ": a symbolic link; name the report itself"
                                  : "cannot write " + m_strPath + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        strError = m_strPath + ": not a regular file";
        return false;
    }
    // A line cut short by an earlier kill is cut off, so that every line stands whole.
    off_t nEnd = st.st_size;
    char ab[4096];
    while (nEnd > 0) {
        const off_t nFrom = std::max<off_t>(0, nEnd - static_cast<off_t>(sizeof ab));
        const ssize_t n = ::pread(m_fd, ab, static_cast<size_t>(nEnd - nFrom), nFrom);
        if (n != nEnd - nFrom) {
            strError = "cannot read " + m_strPath + ": " + std::strerror(errno);
            return false;
        }
        const char* pNl = static_cast<const char*>(::memrchr(ab, '\n', static_cast<size_t>(n)));
        if (pNl) {
            nEnd = nFrom + (pNl - ab) + 1;
            break;
        }
        nEnd = nFrom;
    }
    if (nEnd < st.st_size) {
        if (::ftruncate(m_fd, nEnd) != 0 || ::fsync(m_fd) != 0) {
            strError =
                "cannot cut the torn last line of " + m_strPath + ": " + std::strerror(errno);
            return false;
        }
        strNote = m_strPath + ": its last line was cut short (a run stopped while writing it)"
                              " and is cut off; that unit's step counts as not done";
    }
    return true;
}

bool CCampaignReport::Append(const json& identity, const std::string& strTarget,
                             const std::string& strUnit, const std::string& strResult,
                             std::string& strError, const json& details) {
    std::string strText;
    try {
        json line;
        line["time"] = TimeStamp();
        line["target"] = strTarget;
        line["unit"] = strUnit;
        for (auto it = identity.begin(); it != identity.end(); ++it)
            line[it.key()] = *it;
        line["result"] = strResult;
        for (auto it = details.begin(); it != details.end(); ++it)
            line[it.key()] = *it;
        // Bytes that are not UTF-8 in a name become U+FFFD rather than an exception.
        strText = out::JsonText(line) + "\n";
    } catch (const std::exception& e) {
        strError = "cannot write " + m_strPath + ": " + e.what();
        return false;
    }
    std::lock_guard lock(m_mutex);
    struct stat st {};
    const off_t nBefore = ::fstat(m_fd, &st) == 0 ? st.st_size : -1;
    // One write for the whole line, so a kill leaves at most the last line cut short.
    size_t nDone = 0;
    while (nDone < strText.size()) {
        const ssize_t n = ::write(m_fd, strText.data() + nDone, strText.size() - nDone);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            strError = "cannot write " + m_strPath + ": " + std::strerror(errno);
            // A part of a line (a full disk) would stand before the next one: cut it.
            if (nDone > 0 && nBefore >= 0 && ::ftruncate(m_fd, nBefore) != 0)
                strError += "; its last line is cut short";
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
