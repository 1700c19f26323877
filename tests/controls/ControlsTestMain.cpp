// Runs one test class, named by the first argument, or all of them.
#include "ControlsTestUtil.h"

#include <QApplication>
#include <QTest>
#include <cstring>
#include <memory>
#include <vector>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const char* pszOnly = argc > 1 && argv[1][0] != '-' ? argv[1] : nullptr;
    std::vector<char*> args{argv[0]};
    for (int i = pszOnly ? 2 : 1; i < argc; ++i)
        args.push_back(argv[i]);
    const std::pair<const char*, QObject* (*)()> tests[] = {
        {"RegionButton", MakeRegionButtonTest},
        {"HoverBitmapButton", MakeHoverBitmapButtonTest},
        {"BalloonTip", MakeBalloonTipTest},
        {"HexKeyEdit", MakeHexKeyEditTest},
    };
    int nFailed = 0;
    bool bRan = false;
    for (const auto& [pszName, make] : tests) {
        if (pszOnly && std::strcmp(pszOnly, pszName) != 0) continue;
        bRan = true;
        std::unique_ptr<QObject> pTest(make());
        nFailed += QTest::qExec(pTest.get(), int(args.size()), args.data());
    }
    return bRan ? nFailed : 2;
}
