#pragma once
// How velorctl turns what a job showed into its exit status.

#include <string>

enum EExit {
    EXIT_OK = 0,
    EXIT_REFUSED = 1, // the unit refused, or verification failed
    EXIT_USAGE = 2,
    EXIT_COMM = 3,  // no answer or communication failure
    EXIT_IMAGE = 4, // image file error
};

enum class EMessageClass { Neutral, Success, Refused, Comm, Image };

// Classifies one message text a job showed.
EMessageClass ClassifyMessage(const std::string& strText);

// Accumulates the classes of every message of a run.
class COutcome {
public:
    void Add(EMessageClass e);
    void Add(const std::string& strText) { Add(ClassifyMessage(strText)); }
    // Image errors first, then refusals, then communication failures; success when
    // something succeeded and nothing failed; bFallback otherwise.
    int ExitCode(int nFallback) const;
    bool Failed() const { return m_bImage || m_bRefused || m_bComm; }
    bool Succeeded() const { return m_bSuccess; }

private:
    bool m_bSuccess = false, m_bRefused = false, m_bComm = false, m_bImage = false;
};
