#pragma once
// Ctrl-C for the commands that run long (a fleet, a scan): the first asks every part to
// stop through a stop token; for a fleet a second ends the process at once (exit 130),
// for a scan it is one more request to stop. The signals are blocked in this thread and
// in every thread started after this object, and taken by a watcher thread of its own,
// so no job's system call is ever interrupted by them. A signal the shell started us
// ignoring stays ignored.

#include <atomic>
#include <csignal>
#include <functional>
#include <initializer_list>
#include <stop_token>
#include <thread>

class CInterrupts {
public:
    // fnFirst runs on the watcher thread at the first Ctrl-C (a note, say); fnSecond
    // just before the process ends at the second.
    explicit CInterrupts(std::function<void()> fnFirst = {}, std::function<void()> fnSecond = {});
    // Each of the signals asks to stop; with bSecondEnds false, however often it comes,
    // none ends the process.
    CInterrupts(std::initializer_list<int> signals, bool bSecondEnds,
                std::function<void()> fnFirst);
    ~CInterrupts();
    CInterrupts(const CInterrupts&) = delete;
    CInterrupts& operator=(const CInterrupts&) = delete;

    std::stop_token Token() const { return m_stop.get_token(); }
    bool Stopped() const { return m_stop.stop_requested(); }

private:
    void Start(std::initializer_list<int> signals);
    void Watch(std::stop_token token);

    bool m_bWatch = false;     // false when the shell started us ignoring every signal
    bool m_bSecondEnds = true; // a second signal ends the process
    sigset_t m_set{};
    sigset_t m_old{};
    std::stop_source m_stop;
    std::function<void()> m_fnFirst, m_fnSecond;
    std::jthread m_watcher;
};
