// Reading a 512 KiB image, as S-records and as Intel HEX, with the whole-file
// validation a download runs first, set against srec_cat converting the same file to
// binary (the process as a user would run it). Rounds alternate which side goes
// first.
//
//   bench_image_read [rounds=7]

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "BenchRow.h"
#include "BenchUtil.h"
#include "firmware/ImageReader.h"
#include "firmware/SampleImage.h"

extern char** environ;

namespace {

// Runs a command; its seconds, or -1 when it did not end with status 0.
double Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& s : args)
        argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    const auto t0 = bench::Clock::now();
    pid_t pid = 0;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int nStatus = 0;
    ::waitpid(pid, &nStatus, 0);
    const double d = bench::Seconds(bench::Clock::now() - t0);
    return WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0 ? d : -1;
}

double Validate(const std::string& strPath, size_t nBytes) {
    const auto t0 = bench::Clock::now();
    const CImageCheck check = ValidateImage(strPath);
    const double d = bench::Seconds(bench::Clock::now() - t0);
    return check.Ok() && check.m_nBytes == nBytes ? d : -1;
}

} // namespace

int main(int argc, char** argv) {
    const int nRounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    const size_t nImageBytes = 512 * 1024;
    const auto dir =
        std::filesystem::temp_directory_path() / ("bench_image_read." + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string strS19 = (dir / "image.s19").string();
    const std::string strHex = (dir / "image.hex").string();
    const std::string strBin = (dir / "image.bin").string();
    SSampleImage sample;
    sample.m_nLength = nImageBytes;
    if (!WriteSampleImage(strS19, sample) ||
        Spawn({"srec_cat", strS19, "-o", strHex, "-intel"}) < 0) {
        std::fprintf(stderr, "cannot write the images (is srec_cat installed?)\n");
        return 1;
    }

    struct SFormat {
        const char* m_pName;
        std::string m_strPath;
        std::vector<std::string> m_srecCat;
        bench::SRow m_row;
    } formats[] = {
        {"S19", strS19, {"srec_cat", strS19, "-o", strBin, "-binary"}, {}},
        {"Intel HEX", strHex, {"srec_cat", strHex, "-intel", "-o", strBin, "-binary"}, {}},
    };
    for (auto& f : formats) {
        f.m_row.m_strWhat = std::string("read 512 KiB ") + f.m_pName + " / srec_cat to binary";
        f.m_row.m_strUnit = "x";
        f.m_row.m_eTarget = bench::ETarget::AtMost;
        f.m_row.m_dTarget = 0.5;
        f.m_row.m_strBasis = "whole-file validation against srec_cat's run, same file, same round";
    }
    for (int i = 0; i < nRounds; ++i) {
        for (auto& f : formats) {
            double dReader = 0, dSrecCat = 0;
            if (i % 2) dSrecCat = Spawn(f.m_srecCat);
            dReader = Validate(f.m_strPath, nImageBytes);
            if (i % 2 == 0) dSrecCat = Spawn(f.m_srecCat);
            if (dReader < 0 || dSrecCat <= 0) {
                std::fprintf(stderr, "%s: reading failed\n", f.m_pName);
                return 1;
            }
            f.m_row.m_samples.push_back(dReader / dSrecCat);
            std::fprintf(stderr, "round %d %s: reader %.1f ms, srec_cat %.1f ms\n", i + 1,
                         f.m_pName, 1000 * dReader, 1000 * dSrecCat);
        }
    }
    std::filesystem::remove_all(dir);
    for (const auto& f : formats)
        bench::Print(f.m_row);
    return 0;
}
