#pragma once
// Ctrl-C for the commands that run long (a fleet, a scan): the first asks every part to
// stop through a stop token, a second ends the process at once (exit 130). SIGINT is
// blocked in this thread and in every thread started after this object, and taken by a
// watcher thread of its own, so no job's system call is ever interrupted by it.

#include <atomic>
#include <csignal>
#include <functional>
#include <stop_token>
#include <thread>

class CInterrupts {
public:
    // fnFirst runs on the watcher thread at the first Ctrl-C (a note, say); fnSecond
    // just before the process ends at the second.
    explicit CInterrupts(std::function<void()> fnFirst = {}, std::function<void()> fnSecond = {});
    ~CInterrupts();
    CInterrupts(const CInterrupts&) = delete;
    CInterrupts& operator=(const CInterrupts&) = delete;

    std::stop_token Token() const { return m_stop.get_token(); }
    bool Stopped() const { return m_stop.stop_requested(); }

private:
    void Watch(std::stop_token token);

    bool m_bWatch = false; // false when the shell started us ignoring Ctrl-C
    sigset_t m_set{};
    sigset_t m_old{};
    std::stop_source m_stop;
    std::function<void()> m_fnFirst, m_fnSecond;
    std::jthread m_watcher;
};
