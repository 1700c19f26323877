// velorctl as a separate process: its arguments, a shortened time base, stdin from a file,
// stdout and stderr caught in files, and a hook while it runs (to send Ctrl-C, say).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

struct SRun {
    int nExit = -1;
    std::string strOut;
    std::string strErr;
};

inline std::string ReadAll(const std::string& strPath) {
    std::ifstream in(strPath);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// strFiles is the prefix of the files that catch stdout ("out") and stderr ("err");
// fnWhile gets the process id and the stderr file's path while velorctl runs.
inline SRun RunVelorctl(const std::vector<std::string>& args, const std::string& strFiles,
                        int nDivisor, const std::string& strStdin = "/dev/null",
                        const std::function<void(pid_t, const std::string&)>& fnWhile = {}) {
    const std::string strOut = strFiles + "out", strErr = strFiles + "err";
    std::vector<std::string> argv = {std::string(VELOR_BIN_DIR) + "/cli/velorctl"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> apArgs;
    for (auto& str : argv)
        apArgs.push_back(str.data());
    apArgs.push_back(nullptr);
    std::vector<std::string> env = {"VELOR_TIME_DIVISOR=" + std::to_string(nDivisor)};
    for (char** pp = environ; *pp; ++pp)
        env.emplace_back(*pp);
    std::vector<char*> apEnv;
    for (auto& str : env)
        apEnv.push_back(str.data());
    apEnv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, strStdin.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    // Ctrl-C reaches a program started from a terminal with its default action.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    SRun run;
    const int nSpawn = posix_spawn(&pid, apArgs[0], &actions, &attr, apArgs.data(), apEnv.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (nSpawn != 0) return run;
    if (fnWhile) fnWhile(pid, strErr);
    int nStatus = 0;
    ::waitpid(pid, &nStatus, 0);
    run.nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    run.strOut = ReadAll(strOut);
    run.strErr = ReadAll(strErr);
    return run;
}
