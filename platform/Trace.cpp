#include "platform/Trace.h"

#include <atomic>
#include <mutex>

namespace {
std::mutex s_mutex;
TraceSink s_sink;
// Most runs trace nothing: links running at once must not queue on the lock for
// every frame just to learn that.
std::atomic<bool> s_bActive{false};
} // namespace

void SetTraceSink(TraceSink fnSink) {
    std::lock_guard lock(s_mutex);
    s_sink = std::move(fnSink);
    s_bActive = static_cast<bool>(s_sink);
}

void TraceFrame(ETraceDir eDir, const uint8_t* p, size_t n) {
    if (!s_bActive.load(std::memory_order_relaxed)) return;
    std::lock_guard lock(s_mutex);
    if (s_sink) s_sink(eDir, p, n);
}
