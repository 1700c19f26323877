#include "BenchUtil.h"

#include "params/NetParams.h"

namespace bench {

bool CPrompts::ConfigDialog(NetParams& rec, bool, bool, uint32_t) {
    rec.SetTimeout(static_cast<uint16_t>(rec.Timeout() + 1));
    return true;
}

} // namespace bench
