#pragma once
// velorctl's exit status, from how the job ended.

#include "params/JobResult.h"

enum EExit {
    EXIT_OK = 0,
    EXIT_REFUSED = 1, // the unit refused, or verification failed
    EXIT_USAGE = 2,
    EXIT_COMM = 3,          // no answer or communication failure
    EXIT_IMAGE = 4,         // image file error
    EXIT_INTERRUPTED = 130, // Ctrl-C, as a shell reports a command it ended
};

int ExitCode(EJobResult eResult);
// "ok", "refused", "usage", "comm", "image": the class of an exit status.
const char* ExitClassName(int nExit);
