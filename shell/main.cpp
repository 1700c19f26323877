#include "shell/UtilApp.h"

int main(int argc, char** argv) {
    CUtilApp app(argc, argv);
    return app.InitInstance();
}
