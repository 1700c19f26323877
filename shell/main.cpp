#include "shell/UtilApp.h"

int main(int argc, char** argv) {
    int nStatus = 0;
    if (CUtilApp::AnswerWithoutWindow(argc, argv, &nStatus)) return nStatus;
    CUtilApp app(argc, argv);
    return app.InitInstance();
}
