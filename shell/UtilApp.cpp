#include "shell/UtilApp.h"

#include <QIcon>
#include <cstdio>
#include <cstdlib>

#include "platform/WinThread.h"
#include "shell/MainDlg.h"

CUtilApp::CUtilApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName("velorcfg");
    setApplicationDisplayName("velorcfg");
    setApplicationVersion("1.20");
    setWindowIcon(QIcon(":/res/icon128.png"));
}

int CUtilApp::InitInstance() {
    // The main window is not application-modal, so that the dialogs a worker shows
    // leave it usable; the program ends when it closes, not with its last window.
    setQuitOnLastWindowClosed(false);
    CMainDlg dlg;
    connect(&dlg, &QDialog::finished, this, &QCoreApplication::quit);
    dlg.show();
    exec();
    // A worker still running (a download the user chose to end, a stopped job still
    // in its step) is not waited for: its prompts are all answered Cancel now, but it
    // still points at the main window, which must not be destroyed under it. The
    // process ends with it; the system closes its port or socket.
    if (CWinThread::RunningThreads() > 0) {
        std::fflush(nullptr);
        std::_Exit(0);
    }
    return 0;
}
