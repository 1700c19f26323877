#include "ControlsTestUtil.h"
QObject* MakeBalloonTipTest() {
    return nullptr;
}
