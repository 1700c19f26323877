#include "platform/Trace.h"

#include <mutex>

namespace {
std::mutex s_mutex;
TraceSink s_sink;
} // namespace

void SetTraceSink(TraceSink fnSink) {
    std::lock_guard lock(s_mutex);
    s_sink = std::move(fnSink);
}

void TraceFrame(ETraceDir eDir, const uint8_t* p, size_t n) {
    std::lock_guard lock(s_mutex);
    if (s_sink) s_sink(eDir, p, n);
}
