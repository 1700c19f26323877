#include "tools/HelpDocs.h"

#include <cctype>
#include <sstream>

namespace {

// CLI11 starts an option's text in this column, on the option's line or the next.
constexpr size_t TEXT_COLUMN = 30;

std::string Trim(const std::string& str) {
    const size_t nFirst = str.find_first_not_of(' ');
    if (nFirst == std::string::npos) return {};
    return str.substr(nFirst, str.find_last_not_of(' ') - nFirst + 1);
}

std::vector<std::string> Split(const std::string& str, char cSep) {
    std::vector<std::string> parts;
    std::string strPart;
    std::istringstream in(str);
    while (std::getline(in, strPart, cSep))
        if (!strPart.empty()) parts.push_back(strPart);
    return parts;
}

void AppendText(std::string& str, const std::string& strMore) {
    if (strMore.empty()) return;
    if (!str.empty()) str += ' ';
    str += strMore;
}

SHelpEntry ReadEntry(const std::string& strLine) {
    SHelpEntry entry;
    // The names and their value type, then the text after a gap of two spaces or more.
    const std::string strBody = strLine.substr(2);
    const size_t nGap = strBody.find("  ");
    const std::string strHead = nGap == std::string::npos ? strBody : strBody.substr(0, nGap);
    if (nGap != std::string::npos) entry.m_strText = Trim(strBody.substr(nGap));
    const size_t nSpace = strHead.find(' ');
    entry.m_names = Split(strHead.substr(0, nSpace), ',');
    if (nSpace != std::string::npos) entry.m_strSpec = Trim(strHead.substr(nSpace));
    const size_t nOpen = entry.m_strSpec.find('{'), nClose = entry.m_strSpec.find('}');
    if (nOpen != std::string::npos && nClose != std::string::npos && nOpen < nClose)
        entry.m_choices = Split(entry.m_strSpec.substr(nOpen + 1, nClose - nOpen - 1), ',');
    return entry;
}

// --- troff ---------------------------------------------------------------------------

// Text for a troff line: backslashes and minus signs escaped (so that options read
// and paste as typed), and a line that would start with a control character guarded.
std::string Roff(const std::string& str) {
    std::string strOut;
    for (const char c : str) {
        if (c == '\\')
            strOut += "\\e";
        else if (c == '-')
            strOut += "\\-";
        else
            strOut += c;
    }
    if (!strOut.empty() && (strOut[0] == '.' || strOut[0] == '\'')) strOut.insert(0, "\\&");
    return strOut;
}

std::string Upper(std::string str) {
    for (char& c : str)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return str;
}

// "name: first sentence. More." -> the first sentence without "name: " and the dot.
std::string Summary(const std::string& strName, const std::string& strDescription) {
    std::string str = strDescription.substr(0, strDescription.find('\n'));
    if (str.rfind(strName + ": ", 0) == 0) str = str.substr(strName.size() + 2);
    const size_t nDot = str.find(". ");
    if (nDot != std::string::npos) str = str.substr(0, nDot);
    if (!str.empty() && str.back() == '.') str.pop_back();
    return str;
}

void RoffEntries(std::ostringstream& out, const std::vector<SHelpEntry>& entries) {
    for (const SHelpEntry& e : entries) {
        out << ".TP\n";
        for (size_t i = 0; i < e.m_names.size(); ++i)
            out << (i ? ", " : "") << "\\fB" << Roff(e.m_names[i]) << "\\fR";
        if (e.TakesValue()) out << " " << Roff(e.m_strSpec);
        out << "\n" << Roff(e.m_strText) << "\n";
    }
}

// A command's sections leave out its --help: the page says it once, at the top.
void RoffSections(std::ostringstream& out, const SHelpPage& page, bool bSub) {
    for (const SHelpSection& section : page.m_sections) {
        if (section.m_strTitle == "Subcommands") continue;
        std::vector<SHelpEntry> entries;
        for (const SHelpEntry& e : section.m_entries)
            if (!bSub || e.m_names.empty() || e.m_names.back() != "--help") entries.push_back(e);
        if (entries.empty()) continue;
        if (section.m_strTitle != "Options" || bSub)
            out << (bSub ? ".PP\n" : ".SS ") << Roff(section.m_strTitle) << (bSub ? ":\n" : "\n");
        RoffEntries(out, entries);
    }
}

// --- shell words -----------------------------------------------------------------------

std::string Join(const std::vector<std::string>& words, const char* pszSep = " ") {
    std::string str;
    for (const auto& w : words)
        str += (str.empty() ? "" : pszSep) + w;
    return str;
}

// Single-quoted for a shell: ' becomes '\''.
std::string Quoted(const std::string& str) {
    std::string strOut = "'";
    for (const char c : str)
        strOut += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return strOut + "'";
}

std::vector<std::string> AllNames(const std::vector<SHelpEntry>& entries) {
    std::vector<std::string> names;
    for (const auto& e : entries)
        for (const auto& n : e.m_names)
            if (n[0] == '-') names.push_back(n);
    return names;
}

// The bash case arms that complete the value of an option.
void BashValues(std::ostringstream& out, const std::vector<SHelpEntry>& options,
                const char* pszIndent) {
    std::vector<std::string> files, others;
    for (const auto& e : options) {
        if (!e.TakesValue() || e.m_names.empty() || e.m_names[0][0] != '-') continue;
        if (!e.m_choices.empty())
            out << pszIndent << Join(e.m_names, "|") << ") COMPREPLY=($(compgen -W "
                << Quoted(Join(e.m_choices)) << " -- \"$cur\")); return ;;\n";
        else
            (e.TakesText() ? files : others).push_back(Join(e.m_names, "|"));
    }
    if (!files.empty())
        out << pszIndent << Join(files, "|")
            << ") compopt -o filenames; COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n";
    if (!others.empty()) out << pszIndent << Join(others, "|") << ") return ;;\n";
}

std::string FunctionName(const std::string& strName) {
    std::string str = "_" + strName;
    for (char& c : str)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return str;
}

// zsh: text inside an option's [...], single-quoted around the whole option.
std::string ZshDescription(const std::string& str) {
    std::string strOut;
    for (const char c : str) {
        if (c == '[' || c == ']')
            strOut += std::string("\\") + c;
        else if (c == '\'')
            strOut += "'\\''";
        else
            strOut += c;
    }
    return strOut;
}

std::string ZshAction(const SHelpEntry& e) {
    if (!e.m_choices.empty()) return "(" + Join(e.m_choices) + ")";
    return e.TakesText() ? "_files" : " ";
}

void ZshSpecs(std::ostringstream& out, const SHelpPage& page, const char* pszIndent) {
    for (const SHelpEntry& e : page.Options()) {
        const std::string strDesc = "[" + ZshDescription(e.m_strText) + "]";
        const bool bHelp = e.m_names.size() && (e.m_names.back() == "--help");
        std::string strNames;
        if (e.m_names.size() == 1) {
            strNames = "'" + e.m_names[0];
        } else {
            strNames = "'(" + std::string(bHelp ? "- *" : Join(e.m_names)) + ")'{" +
                       Join(e.m_names, ",") + "}'";
        }
        if (bHelp && e.m_names.size() == 1) strNames = "'(- *)" + e.m_names[0];
        out << pszIndent << strNames << strDesc;
        if (e.TakesValue())
            out << ":" << e.m_strSpec.substr(0, e.m_strSpec.find_first_of(" :")) << ":"
                << ZshAction(e);
        out << "' \\\n";
    }
    const std::vector<SHelpEntry> positionals = page.Positionals();
    for (size_t i = 0; i < positionals.size(); ++i) {
        const SHelpEntry& e = positionals[i];
        const bool bMany = e.m_strSpec.find("...") != std::string::npos;
        out << pszIndent << "'" << (bMany ? std::string("*") : std::to_string(i + 1)) << ":"
            << ZshDescription(e.m_names.empty() ? "" : e.m_names[0]) << ":" << ZshAction(e)
            << "' \\\n";
    }
}

} // namespace

std::vector<SHelpEntry> SHelpPage::Entries(const std::string& strTitle) const {
    for (const auto& section : m_sections)
        if (section.m_strTitle == strTitle) return section.m_entries;
    return {};
}

std::vector<SHelpEntry> SHelpPage::Options() const {
    std::vector<SHelpEntry> entries;
    for (const auto& section : m_sections)
        if (section.m_strTitle != "Subcommands" && section.m_strTitle != "Positionals")
            entries.insert(entries.end(), section.m_entries.begin(), section.m_entries.end());
    return entries;
}

SHelpPage ParseHelp(const std::string& strText) {
    SHelpPage page;
    std::istringstream in(strText);
    std::string strLine;
    bool bUsageSeen = false;
    while (std::getline(in, strLine)) {
        if (!bUsageSeen) {
            if (strLine.rfind("Usage: ", 0) == 0) {
                bUsageSeen = true;
                // The program's path as it was started, then what it takes.
                const size_t nSpace = strLine.find(' ', 7);
                page.m_strUsage = nSpace == std::string::npos ? "" : strLine.substr(nSpace + 1);
            } else {
                if (!page.m_strDescription.empty()) page.m_strDescription += '\n';
                page.m_strDescription += strLine;
            }
            continue;
        }
        if (Trim(strLine).empty()) continue;
        if (strLine[0] != ' ') {
            if (strLine.back() == ':' && strLine.find(' ') == std::string::npos) {
                page.m_sections.push_back({strLine.substr(0, strLine.size() - 1), {}});
            } else {
                // Text below the last section is the footer.
                AppendText(page.m_strFooter, Trim(strLine));
            }
            continue;
        }
        if (page.m_sections.empty()) continue;
        auto& entries = page.m_sections.back().m_entries;
        if (strLine.size() > TEXT_COLUMN &&
            strLine.compare(0, TEXT_COLUMN, std::string(TEXT_COLUMN, ' ')) == 0) {
            if (!entries.empty()) AppendText(entries.back().m_strText, Trim(strLine));
        } else if (strLine.size() > 2 && strLine[2] != ' ') {
            entries.push_back(ReadEntry(strLine));
        }
    }
    return page;
}

std::string ManPage(const SProgramHelp& prog) {
    std::ostringstream out;
    const SHelpPage& top = prog.m_top;
    out << ".\\\" Made from " << prog.m_strName << " --help by velor-help-docs; do not edit.\n";
    out << ".TH " << Upper(prog.m_strName) << " 1 \"\" \"" << Roff(prog.m_strVersion)
        << "\" \"User Commands\"\n";
    out << ".SH NAME\n"
        << Roff(prog.m_strName) << " \\- " << Roff(Summary(prog.m_strName, top.m_strDescription))
        << "\n";
    out << ".SH SYNOPSIS\n.B " << Roff(prog.m_strName) << "\n" << Roff(top.m_strUsage) << "\n";
    out << ".SH DESCRIPTION\n";
    std::string strDescription = top.m_strDescription;
    if (strDescription.rfind(prog.m_strName + ": ", 0) == 0)
        strDescription = strDescription.substr(prog.m_strName.size() + 2);
    for (const std::string& strPara : Split(strDescription, '\n'))
        out << ".PP\n" << Roff(strPara) << "\n";
    if (!top.m_strFooter.empty()) out << ".PP\n" << Roff(top.m_strFooter) << "\n";
    out << ".SH OPTIONS\n";
    RoffSections(out, top, false);
    if (!prog.m_commands.empty()) {
        out << ".SH COMMANDS\n";
        for (const auto& [strCommand, page] : prog.m_commands) {
            out << ".SS \"" << Roff(strCommand) << "\"\n";
            out << Roff(Summary(strCommand, page.m_strDescription)) << ".\n";
            out << ".PP\n\\fB" << Roff(prog.m_strName) << "\\fR " << Roff(page.m_strUsage) << "\n";
            RoffSections(out, page, true);
        }
    }
    return out.str();
}

std::string BashCompletion(const SProgramHelp& prog) {
    std::ostringstream out;
    const std::string strFn = FunctionName(prog.m_strName);
    std::vector<std::string> commands;
    for (const auto& command : prog.m_commands)
        commands.push_back(command.first);
    out << "# bash completion for " << prog.m_strName << "; made from " << prog.m_strName
        << " --help by velor-help-docs, do not edit.\n";
    out << strFn << "() {\n";
    out << "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n";
    out << "    local cmd= i\n";
    if (!commands.empty()) {
        out << "    for ((i = 1; i < COMP_CWORD; i++)); do\n";
        out << "        case ${COMP_WORDS[i]} in\n";
        out << "        " << Join(commands, "|") << ") cmd=${COMP_WORDS[i]}; break ;;\n";
        out << "        esac\n    done\n";
    }
    out << "    case $cmd in\n";
    const auto scope = [&](const std::string& strCase, const SHelpPage& page,
                           const std::vector<std::string>& words) {
        const std::vector<SHelpEntry> options = page.Options();
        out << "    " << strCase << ")\n";
        out << "        case $prev in\n";
        BashValues(out, options, "        ");
        out << "        esac\n";
        out << "        if [[ $cur == -* ]]; then\n";
        out << "            COMPREPLY=($(compgen -W " << Quoted(Join(AllNames(options)))
            << " -- \"$cur\"))\n";
        if (!words.empty()) {
            out << "        else\n";
            out << "            COMPREPLY=($(compgen -W " << Quoted(Join(words))
                << " -- \"$cur\"))\n";
        } else if (!page.Positionals().empty()) {
            out << "        else\n";
            out << "            compopt -o filenames; COMPREPLY=($(compgen -f -- \"$cur\"))\n";
        }
        out << "        fi ;;\n";
    };
    scope("\"\"", prog.m_top, commands);
    for (const auto& [strCommand, page] : prog.m_commands)
        scope(strCommand, page, {});
    out << "    esac\n}\n";
    out << "complete -F " << strFn << " " << prog.m_strName << "\n";
    return out.str();
}

std::string ZshCompletion(const SProgramHelp& prog) {
    std::ostringstream out;
    const std::string strFn = FunctionName(prog.m_strName);
    out << "#compdef " << prog.m_strName << "\n";
    out << "# zsh completion for " << prog.m_strName << "; made from " << prog.m_strName
        << " --help by velor-help-docs, do not edit.\n\n";
    for (const auto& [strCommand, page] : prog.m_commands) {
        out << strFn << "_" << FunctionName(strCommand).substr(1) << "() {\n";
        out << "    _arguments -s \\\n";
        ZshSpecs(out, page, "        ");
        out << "        && return 0\n}\n\n";
    }
    out << strFn << "() {\n";
    out << "    local curcontext=$curcontext state line\n";
    out << "    typeset -A opt_args\n";
    out << "    _arguments -C -s \\\n";
    ZshSpecs(out, prog.m_top, "        ");
    if (!prog.m_commands.empty()) {
        out << "        '1:command:->command' \\\n";
        out << "        '*::argument:->argument' \\\n";
    }
    out << "        && return 0\n";
    if (!prog.m_commands.empty()) {
        out << "    case $state in\n";
        out << "    command)\n";
        out << "        local -a commands\n";
        out << "        commands=(\n";
        for (const auto& [strCommand, page] : prog.m_commands)
            out << "            "
                << Quoted(strCommand + ":" + Summary(strCommand, page.m_strDescription)) << "\n";
        out << "        )\n";
        out << "        _describe -t commands command commands ;;\n";
        out << "    argument)\n";
        out << "        case $words[1] in\n";
        for (const auto& command : prog.m_commands)
            out << "        " << command.first << ") " << strFn << "_"
                << FunctionName(command.first).substr(1) << " ;;\n";
        out << "        esac ;;\n";
        out << "    esac\n";
    }
    out << "}\n\n" << strFn << " \"$@\"\n";
    return out.str();
}
