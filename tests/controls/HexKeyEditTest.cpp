#include "ControlsTestUtil.h"
QObject* MakeHexKeyEditTest() {
    return nullptr;
}
