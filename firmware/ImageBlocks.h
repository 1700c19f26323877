#pragma once
// An image's load blocks as a download sends them, read and checked whole before the
// first block leaves. Downloads of the same file at the same time share one copy: a
// fleet flashing a thousand units holds the image once, not a thousand times.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct SImageBlocks {
    int m_nResult = 0; // as CImageReader::Run returns it
    size_t m_nErrorLine = 0;
    std::string m_strErrorReason;
    std::vector<uint8_t> m_abBlocks; // the blocks one after the other
    std::vector<size_t> m_anBlockLen;
    uint16_t m_nCheckWord = 0;
};

// The file's blocks; a copy another download still holds when the file has not
// changed since (same size and modification time), else read afresh.
std::shared_ptr<const SImageBlocks> ReadImageBlocks(const std::string& strPath);
