#include "cli/Outcome.h"

int ExitCode(EJobResult eResult) {
    switch (eResult) {
    case EJobResult::Success:
    case EJobResult::Unverified:
        return EXIT_OK;
    case EJobResult::Refused:
    case EJobResult::VerifyFailed:
        return EXIT_REFUSED;
    case EJobResult::Cancelled: // a dialog the command line had no answer for
        return EXIT_USAGE;
    case EJobResult::ImageError:
        return EXIT_IMAGE;
    case EJobResult::None:
    case EJobResult::NoAnswer:
    case EJobResult::CommFailure:
    case EJobResult::NoMemory:
    case EJobResult::Stopped:
        break;
    }
    return EXIT_COMM;
}

const char* ExitClassName(int nExit) {
    switch (nExit) {
    case EXIT_OK:
        return "ok";
    case EXIT_REFUSED:
        return "refused";
    case EXIT_USAGE:
        return "usage";
    case EXIT_COMM:
        return "comm";
    case EXIT_IMAGE:
        return "image";
    }
    return "other";
}
