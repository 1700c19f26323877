// The manual pages and completions made from the programs' --help, as a user meets
// them: bash completing velorctl's words, zsh loading its file, man showing the page.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "tools/HelpDocs.h"

namespace {

const std::string DOCS = std::string(VELOR_BIN_DIR) + "/docs/";

// stdout of a shell command, with its exit status.
std::string Sh(const std::string& strCommand, int* pStatus = nullptr) {
    std::string strOut;
    FILE* pPipe = ::popen(strCommand.c_str(), "r");
    if (!pPipe) return strOut;
    char ab[4096];
    size_t n;
    while ((n = std::fread(ab, 1, sizeof ab, pPipe)) > 0)
        strOut.append(ab, n);
    const int nStatus = ::pclose(pPipe);
    if (pStatus) *pStatus = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    return strOut;
}

// What bash offers for the last of the words after "velorctl", one a line.
std::string Complete(const std::string& strWords, int nWords) {
    return Sh("bash --norc -c '. " + DOCS + "velorctl.bash; COMP_WORDS=(velorctl " + strWords +
              "); COMP_CWORD=" + std::to_string(nWords) +
              "; _velorctl; printf \"%s\\n\" \"${COMPREPLY[@]}\"'");
}

} // namespace

TEST(HelpDocs, ReadsOptionsTheirValuesAndTextOnTheNextLine) {
    const SHelpPage page = ParseHelp(
        "prog: does things. More.\nUsage: /some/where/prog [OPTIONS] SUBCOMMAND\n\nOptions:\n"
        "  -h,--help                   Print this help message and exit\n"
        "  --parity TEXT:{none,odd,even} Needs: --serial\n"
        "                              none, odd or\n"
        "                              even\n\nSubcommands:\n"
        "  run                         run it\n\nA footer.\n");
    EXPECT_EQ(page.m_strDescription, "prog: does things. More.");
    EXPECT_EQ(page.m_strUsage, "[OPTIONS] SUBCOMMAND");
    EXPECT_EQ(page.m_strFooter, "A footer.");
    const auto options = page.Options();
    ASSERT_EQ(options.size(), 2u);
    EXPECT_EQ(options[0].m_names, (std::vector<std::string>{"-h", "--help"}));
    EXPECT_FALSE(options[0].TakesValue());
    EXPECT_EQ(options[1].m_strSpec, "TEXT:{none,odd,even} Needs: --serial");
    EXPECT_EQ(options[1].m_choices, (std::vector<std::string>{"none", "odd", "even"}));
    EXPECT_EQ(options[1].m_strText, "none, odd or even");
    ASSERT_EQ(page.Entries("Subcommands").size(), 1u);
    EXPECT_EQ(page.Entries("Subcommands")[0].m_strText, "run it");
}

TEST(HelpDocs, BashCompletesCommandsOptionsAndChoices) {
    EXPECT_EQ(Complete("fl", 1), "flash\n");
    EXPECT_EQ(Complete("re", 1), "read\nreset\n");
    EXPECT_EQ(Complete("--ver", 1), "--version\n");
    EXPECT_EQ(Complete("--parity \"\"", 2), "none\nodd\neven\n");
    // After the command, the command's own options.
    EXPECT_EQ(Complete("--udp 127.0.0.1 flash --d", 4), "--dry-run\n");
    EXPECT_EQ(Complete("ports --j", 2), "--json\n");
}

TEST(HelpDocs, ZshLoadsTheCompletion) {
    int nStatus = -1;
    Sh("command -v zsh >/dev/null", &nStatus);
    if (nStatus != 0) GTEST_SKIP() << "no zsh here (scripts/install-deps.sh installs it)";
    Sh("zsh -n " + DOCS + "_velorctl", &nStatus);
    EXPECT_EQ(nStatus, 0);
    // compinit finds it through its #compdef line, and loads it without an error.
    const std::string strOut = Sh("zsh -f -c 'fpath=(" + DOCS +
                                  " $fpath); autoload -Uz compinit; compinit -u -d /dev/null; "
                                  "print -r -- $_comps[velorctl]; autoload -Uz +X _velorctl' "
                                  "2>&1");
    EXPECT_EQ(strOut, "_velorctl\n");
}

TEST(HelpDocs, ManPagesShowEveryCommandAndOptionWithoutWarnings) {
    for (const std::string strName : {"velorctl", "velorsim"}) {
        const std::string strPage = DOCS + strName + ".1";
        EXPECT_EQ(Sh("groff -man -Tutf8 -ww -z " + strPage + " 2>&1"), "") << strName;
        const std::string strText = Sh("MANWIDTH=200 man -l " + strPage + " 2>/dev/null");
        EXPECT_NE(strText.find(strName + " - "), std::string::npos) << strText;
        EXPECT_NE(strText.find("--version"), std::string::npos) << strName;
    }
    const std::string strText = Sh("MANWIDTH=200 man -l " + DOCS + "velorctl.1 2>/dev/null");
    for (const char* psz : {"status", "read", "write", "reset", "flash", "ports", "--dry-run",
                            "--from", "--fleet", "Exit status: 0 success"})
        EXPECT_NE(strText.find(psz), std::string::npos) << psz;
}
