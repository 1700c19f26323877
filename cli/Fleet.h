#pragma once
// velorctl --fleet: one command on every unit a CSV file lists, several units at once.
//
// The file has a header line naming its columns, in any order:
//   target       udp:HOST[:PORT] or serial:PORT (COMn or a device path); required
//   addr         comm address (udp) or unit address (serial), 0..15
//   line-baud    the serial line's baud rate; line-parity: none, odd or even
//   ip, mask, ...  any FIELD of `write`: this unit's values, on top of the command's
// Empty cells are not given; blank lines and lines starting with # are skipped.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "cli/Command.h"
#include "firmware/ImageReader.h"

struct SFleetUnit {
    size_t m_nLine = 0;
    std::string m_strName; // the target, with "@addr" when an address is given
    // The unit's one name however it is written (udp:HOST:PORT or serial:DEVICE, with
    // "@addr" unless 0): for the duplicate check, the report and resume.
    std::string m_strKey;
    SLinkOptions m_link;
    std::string m_strLinkKey;          // units with the same key never run at once
    std::vector<std::string> m_fields; // FIELD=VALUE of the line
};

// Reads and checks the whole file; false with a message naming the line.
bool ReadFleetFile(const std::string& strPath, std::vector<SFleetUnit>& units,
                   std::string& strError);
// The same on the file's text (strPath names it in messages).
bool ParseFleetText(const std::string& strPath, const std::string& strText,
                    std::vector<SFleetUnit>& units, std::string& strError);

// The largest fleet file read.
constexpr size_t FLEET_MAX_FILE_BYTES = 4u << 20;

struct SFleetCommand {
    ECommandMode m_eMode = ECommandMode::Status;
    bool m_bJson = false;
    bool m_bYes = false;
    bool m_bReset = false;
    std::string m_strImagePath;
    std::shared_ptr<const CLoadImage> m_pImage; // flash: read once, before any unit
    std::vector<std::string> m_fileAssignments; // write --from: the saved file's fields
    std::vector<std::string> m_assignments;     // write: the command line's fields
    bool m_bIfNeeded = false;                   // flash --if-needed
    std::string m_strReport;                    // --report: each unit's line appended here
    std::string m_strResume;                    // --resume: units done there are skipped
};

// At most this many units run at once, whatever -j asks.
constexpr unsigned FLEET_MAX_PARALLEL = 1024;

// Runs the command on every unit of the file, at most nParallel at once (0: every
// UDP unit at once and each serial port one unit at a time). Returns the highest
// exit status of the units, or 130 when an interrupt left units untouched.
int RunFleet(const std::string& strPath, unsigned nParallel, SFleetCommand cmd);
