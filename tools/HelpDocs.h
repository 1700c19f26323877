#pragma once
// A program's CLI11 help text read back into its parts, and what is made of them at
// build time: the manual page and the bash and zsh completions. Made from the help,
// they list every option and command the program has, new ones included, without
// anyone keeping a second list.

#include <string>
#include <vector>

struct SHelpEntry {
    std::vector<std::string> m_names; // "-j", "--jobs"; a command's or a positional's name
    std::string m_strSpec;            // what follows the names: "UINT:UINT in [1 - 256] Needs: ..."
    std::vector<std::string> m_choices; // of a value from a set: {none,odd,even}
    std::string m_strText;
    bool TakesValue() const { return !m_strSpec.empty(); }
    // A value that names a file or device: TEXT without a set of choices.
    bool TakesText() const { return m_strSpec.rfind("TEXT", 0) == 0 && m_choices.empty(); }
};

struct SHelpSection {
    std::string m_strTitle; // "Options", "Positionals", "Subcommands", a group's name
    std::vector<SHelpEntry> m_entries;
};

struct SHelpPage {
    std::string m_strDescription; // the lines above "Usage:"
    std::string m_strUsage;       // after "Usage: " and the program's path
    std::vector<SHelpSection> m_sections;
    std::string m_strFooter;
    // The entries of the named section, empty when there is none.
    std::vector<SHelpEntry> Entries(const std::string& strTitle) const;
    // Options and positionals, every section but the commands.
    std::vector<SHelpEntry> Options() const;
    std::vector<SHelpEntry> Positionals() const { return Entries("Positionals"); }
};

// Reads the text `PROGRAM --help` prints.
SHelpPage ParseHelp(const std::string& strText);

// A program: its top-level help, and the help of each of its commands in the order
// the top level lists them.
struct SProgramHelp {
    std::string m_strName;
    std::string m_strVersion; // the program's --version line
    SHelpPage m_top;
    std::vector<std::pair<std::string, SHelpPage>> m_commands;
};

std::string ManPage(const SProgramHelp& prog);
std::string BashCompletion(const SProgramHelp& prog);
std::string ZshCompletion(const SProgramHelp& prog);
