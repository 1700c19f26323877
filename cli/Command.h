#pragma once
// One velorctl command as a request and its outcome: what a unit is asked, and how it
// ended. A single run prints the outcome; a fleet keeps it for its table and report.

#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "cli/FieldEdits.h"
#include "cli/Outcome.h"
#include "cli/Output.h"
#include "firmware/ImageReader.h"
#include "params/JobResult.h"

// How the unit is reached.
struct SLinkOptions {
    bool m_bUdp = false;
    std::string m_strHost; // dotted IPv4 address
    uint16_t m_nUdpPort = 3001;
    uint32_t m_nCommAddr = 0;    // the comm address entered with the unit's IP address
    std::string m_strSerialPort; // "COMn" or a device path
    int m_nBaud = 115200;
    std::string m_strParity = "even";
    uint32_t m_nUnitAddr = 0;
};

enum class ECommandMode { Status, Read, Write, Reset, Flash };

// What the unit is asked.
struct SCommand {
    ECommandMode m_eMode = ECommandMode::Status;
    std::string m_strImagePath;                 // flash: the file, as the result names it
    std::shared_ptr<const CLoadImage> m_pImage; // flash: the file read and checked once
    CFieldEdits m_edits;                        // write: the fields to change
    bool m_bReset = false;                      // write: reset after a verified write
    bool m_bIfNeeded = false;                   // flash only when the check word differs
    bool m_bDryRun = false;                     // flash: tell what would be sent, send nothing
    bool m_bYes = false;                        // OK to the switch notice
};

// How a unit ended, as the fleet's table counts it and a report's resume reads it.
enum class EUnitResult {
    Success,    // exit 0
    Current,    // flash --if-needed: the unit already holds the image
    Unchanged,  // write: the unit already holds the values
    Skipped,    // --resume: done in an earlier run
    NotStarted, // an interrupt came first
    Failed,     // any other exit
};

struct SCommandOutcome {
    EUnitResult m_eUnit = EUnitResult::NotStarted;
    EJobResult m_eJob = EJobResult::None; // None: no job was reached
    int m_nExit = EXIT_OK;
    // The unit's check word before and after the command, where it was learnt.
    std::optional<uint16_t> m_nCheckBefore, m_nCheckAfter;
    double m_dSeconds = 0;
    nlohmann::ordered_json m_json; // the result object; null when the command has none
};

// The word the fleet's table and the campaign report give a unit's outcome.
std::string UnitResultName(const SCommandOutcome& outcome);

// Where a command tells what it does.
struct SCommandOutput {
    COutput* m_pOutput = &COutput::Std();
    bool m_bJson = false;     // the result as one JSON object
    bool m_bPrint = true;     // false with --fleet: the outcome's object goes to its table
    std::string m_strPrefix;  // with --fleet: every line starts with the unit's target
    bool m_bTerminal = false; // stderr is a terminal: a download draws a progress bar
    // With --fleet: a download reports its bytes done here instead of drawing.
    std::function<void(uint64_t nBytes)> m_fnBytesDone;
    // With --fleet --report: told before the first load block and after the last.
    std::function<void(bool bEnded)> m_fnLoadStep;
};

// Runs the command on the unit the link names and, unless output.m_bPrint is false,
// prints its result on stdout.
SCommandOutcome RunCommand(const SLinkOptions& link, const SCommand& cmd,
                           const SCommandOutput& output);
