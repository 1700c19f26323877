#pragma once
// How a job (or one unit operation of velorctl) ended: decided where the outcome is
// decided, by the link or the worker, never read back from the texts it showed.

enum class EJobResult {
    None,         // nothing has ended yet
    Success,      // done, and verified where the job verifies
    Unverified,   // the image was loaded; the unit reports check word 0, so no compare
    Refused,      // the unit refused: switch off, load rejected, request refused, reset answered
    VerifyFailed, // written, but what the unit holds is not what was sent
    NoAnswer,     // the unit did not answer
    CommFailure,  // the port or socket failed, or replies were unusable
    ImageError,   // the image file cannot be opened or is not a valid image
    NoMemory,     // the job could not get the memory it needed
    Cancelled,    // the user cancelled a dialog of the job
    Stopped,      // the main window asked the job to stop
};

// "success", "no-answer", ...: for logs and velorctl's JSON.
const char* JobResultName(EJobResult eResult);
