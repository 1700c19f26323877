// The file `velorctl write --from` reads, through the function velorctl calls: any
// bytes give the settings or a message, never a crash or a deep recursion; what is
// accepted parses again as write's own assignments.

#include <string>

#include "FuzzCommon.h"
#include "cli/FieldEdits.h"
#include "cli/SettingsFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    static CMemFile s_file;
    const std::string& strPath = s_file.Set(pData, nSize);
    SSettingsFile file;
    std::string strError;
    if (!ReadSettingsFile(strPath, file, strError)) {
        FUZZ_CHECK(!strError.empty());
        return 0;
    }
    CFieldEdits edits;
    FUZZ_CHECK(edits.Parse(file.m_assignments, strError));
    return 0;
}
