#pragma once
// Optional frame trace: links report every frame they send and receive. Off unless
// a program installs a sink (velorctl --trace, velorsim --trace).

#include <cstddef>
#include <cstdint>
#include <functional>

enum class ETraceDir { Sent, Received };

using TraceSink = std::function<void(ETraceDir eDir, const uint8_t* p, size_t n)>;

// Installs (or with an empty function removes) the process-wide sink. Not meant to
// be changed while links are busy.
void SetTraceSink(TraceSink fnSink);
void TraceFrame(ETraceDir eDir, const uint8_t* p, size_t n);
