#include "firmware/ImageBlocks.h"

#include <filesystem>
#include <map>
#include <mutex>

#include "firmware/ImageReader.h"

namespace {

struct SCached {
    std::uintmax_t m_nSize = 0;
    std::filesystem::file_time_type m_mtime{};
    std::weak_ptr<const SImageBlocks> m_pBlocks;
};

} // namespace

std::shared_ptr<const SImageBlocks> ReadImageBlocks(const std::string& strPath) {
    static std::mutex s_mutex;
    static std::map<std::string, SCached> s_cache;
    // Held while reading: the downloads that start together wait for one read.
    std::lock_guard lock(s_mutex);
    std::error_code ec, ecTime;
    const std::uintmax_t nSize = std::filesystem::file_size(strPath, ec);
    const auto mtime = std::filesystem::last_write_time(strPath, ecTime);
    const bool bKnown = !ec && !ecTime;
    if (bKnown) {
        const auto it = s_cache.find(strPath);
        if (it != s_cache.end() && it->second.m_nSize == nSize && it->second.m_mtime == mtime)
            if (auto pBlocks = it->second.m_pBlocks.lock()) return pBlocks;
    }
    auto pBlocks = std::make_shared<SImageBlocks>();
    CImageReader reader;
    pBlocks->m_nResult = reader.Run(strPath, [&](const uint8_t* pBlock, size_t nLen) {
        pBlocks->m_abBlocks.insert(pBlocks->m_abBlocks.end(), pBlock, pBlock + nLen);
        pBlocks->m_anBlockLen.push_back(nLen);
        return 0;
    });
    pBlocks->m_nErrorLine = reader.ErrorLine();
    pBlocks->m_strErrorReason = reader.ErrorReason();
    pBlocks->m_nCheckWord = reader.CheckWord();
    // Expired entries go, so that the cache holds no more than the files in use.
    for (auto it = s_cache.begin(); it != s_cache.end();)
        it = it->second.m_pBlocks.expired() ? s_cache.erase(it) : std::next(it);
    if (bKnown && pBlocks->m_nResult == CImageReader::OK)
        s_cache[strPath] = {nSize, mtime, pBlocks};
    return pBlocks;
}
