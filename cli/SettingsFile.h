#pragma once
// A unit's settings as `velorctl read --json` saves them, read back as the
// FIELD=VALUE assignments of `velorctl write`.

#include <string>
#include <vector>

struct SSettingsFile {
    std::vector<std::string> m_assignments; // checked as `write` checks its own
    std::vector<std::string> m_ignored;     // keys that are the unit's own, not settings
};

// Reads strPath ("-": stdin). False with a message naming the file and every field
// that is unknown, or the first that is bad; nothing has been sent then.
bool ReadSettingsFile(const std::string& strPath, SSettingsFile& file, std::string& strError);
