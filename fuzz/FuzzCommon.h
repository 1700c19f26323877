#pragma once
// What the fuzz targets share: a prompts double that answers nothing, an in-memory
// file for the readers that take a path, and a check that stops the run loudly.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Prompts.h"

// A broken invariant is a finding: abort so that libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);          \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

class CSilentPrompts : public IPrompts {
public:
    void Message(const std::string&) override { ++m_nMessages; }
    bool SwitchesNotice(ELink) override { return true; }
    bool SerialPortDialog(ScpParams&) override { return false; }
    bool IpAddressDialog(NetParams&) override { return false; }
    bool ConfigDialog(NetParams&, bool, bool, uint32_t) override { return true; }
    void PropertiesDialog(uint8_t*, size_t, uint32_t) override {}
    bool UpdateDoneDialog() override { return false; }
    bool ChooseImageFile(std::string&) override { return false; }
    int m_nMessages = 0;
};

// A file that lives in memory only, reachable by path for as long as the object
// lives; rewritten for every input.
class CMemFile {
public:
    CMemFile() : m_fd(::memfd_create("velor-fuzz", 0)) {
        FUZZ_CHECK(m_fd >= 0);
        m_strPath = "/proc/self/fd/" + std::to_string(m_fd);
    }
    ~CMemFile() { ::close(m_fd); }
    CMemFile(const CMemFile&) = delete;
    CMemFile& operator=(const CMemFile&) = delete;

    const std::string& Set(const uint8_t* p, size_t n) {
        FUZZ_CHECK(::ftruncate(m_fd, 0) == 0);
        size_t nDone = 0;
        while (nDone < n) {
            const ssize_t r = ::pwrite(m_fd, p + nDone, n - nDone, static_cast<off_t>(nDone));
            FUZZ_CHECK(r > 0);
            nDone += static_cast<size_t>(r);
        }
        return m_strPath;
    }
    const std::string& Path() const { return m_strPath; }

private:
    int m_fd;
    std::string m_strPath;
};
