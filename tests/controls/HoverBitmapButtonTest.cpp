#include "ControlsTestUtil.h"
QObject* MakeHoverBitmapButtonTest() {
    return nullptr;
}
