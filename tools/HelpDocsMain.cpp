// velor-help-docs PROGRAM OUTDIR: runs PROGRAM --help, --version and COMMAND --help
// for each of its commands, and writes OUTDIR/NAME.1 (the manual page),
// OUTDIR/NAME.bash (bash completion) and OUTDIR/_NAME (zsh completion). Run by the
// build after PROGRAM is linked.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tools/HelpDocs.h"

namespace {

bool Output(const std::string& strCommand, std::string& strOut) {
    FILE* pPipe = ::popen(strCommand.c_str(), "r");
    if (!pPipe) return false;
    char ab[4096];
    size_t n;
    strOut.clear();
    while ((n = std::fread(ab, 1, sizeof ab, pPipe)) > 0)
        strOut.append(ab, n);
    return ::pclose(pPipe) == 0;
}

bool Write(const std::filesystem::path& path, const std::string& strText) {
    std::ofstream out(path, std::ios::trunc);
    out << strText;
    return static_cast<bool>(out.flush());
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: velor-help-docs PROGRAM OUTDIR\n");
        return 2;
    }
    const std::string strProgram = argv[1];
    const std::filesystem::path dir = argv[2];
    const std::string strQuoted = "'" + strProgram + "'";
    SProgramHelp prog;
    prog.m_strName = std::filesystem::path(strProgram).filename().string();
    std::string strText;
    if (!Output(strQuoted + " --help", strText)) {
        std::fprintf(stderr, "velor-help-docs: %s --help failed\n", strProgram.c_str());
        return 1;
    }
    prog.m_top = ParseHelp(strText);
    if (!Output(strQuoted + " --version", strText)) {
        std::fprintf(stderr, "velor-help-docs: %s --version failed\n", strProgram.c_str());
        return 1;
    }
    prog.m_strVersion = strText.substr(0, strText.find('\n'));
    for (const SHelpEntry& e : prog.m_top.Entries("Subcommands")) {
        if (e.m_names.empty()) continue;
        if (!Output(strQuoted + " " + e.m_names[0] + " --help", strText)) {
            std::fprintf(stderr, "velor-help-docs: %s %s --help failed\n", strProgram.c_str(),
                         e.m_names[0].c_str());
            return 1;
        }
        prog.m_commands.emplace_back(e.m_names[0], ParseHelp(strText));
    }
    std::filesystem::create_directories(dir);
    if (!Write(dir / (prog.m_strName + ".1"), ManPage(prog)) ||
        !Write(dir / (prog.m_strName + ".bash"), BashCompletion(prog)) ||
        !Write(dir / ("_" + prog.m_strName), ZshCompletion(prog))) {
        std::fprintf(stderr, "velor-help-docs: cannot write into %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
