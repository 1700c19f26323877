#pragma once
// Generates firmware images for demonstrations, tests and benchmarks: S3 records
// of pseudo-random bytes, laid out so that the image reader's check-word points are
// reached (a record starts at 0xFFFE when the image covers it).

#include <cstddef>
#include <cstdint>
#include <string>

struct SSampleImage {
    uint32_t m_nStart = 0;
    size_t m_nLength = 16 * 1024;
    size_t m_nRecordBytes = 32;
    uint32_t m_nSeed = 1;
};

// One S-record line with its count and checksum: S0/S1/S5/S9 carry 2 address
// bytes, S2/S8 3, S3/S7 4.
std::string SRecordLine(char cType, uint32_t nAddr, const uint8_t* p, size_t n);

// The image as S-record text (S0 header, S3 data records, S7 end).
std::string MakeSampleImage(const SSampleImage& layout);
// Writes it to a file; false when the file cannot be written.
bool WriteSampleImage(const std::string& strPath, const SSampleImage& layout);
