#include "shell/UtilApp.h"

#include <QIcon>
#include <QMessageBox>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

#include "params/Texts.h"
#include "platform/WinThread.h"
#include "shell/DemoUnit.h"
#include "shell/MainDlg.h"
#include "velor/Version.h"

namespace {
int g_afdSignal[2] = {-1, -1};

void OnEndSignal(int) {
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_afdSignal[1], &c, 1);
}

// SIGTERM and SIGINT end the event loop as closing the window would, so that what
// the program set up (the demo's unit and sample image) is taken down.
void QuitOnEndSignals(QObject* pOwner) {
    if (::pipe2(g_afdSignal, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* pNotifier = new QSocketNotifier(g_afdSignal[0], QSocketNotifier::Read, pOwner);
    QObject::connect(pNotifier, &QSocketNotifier::activated, pOwner,
                     [] { QCoreApplication::quit(); });
    struct sigaction sa {};
    sa.sa_handler = OnEndSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
}
} // namespace

CUtilApp::CUtilApp(int& argc, char** argv) : QApplication(argc, argv) {
    // No display name: the platform would append it to every window's title.
    setApplicationName("velorcfg");
    setApplicationVersion(VELOR_VERSION);
    setWindowIcon(QIcon(":/res/icon128.png"));
}

bool CUtilApp::AnswerWithoutWindow(int argc, char** argv, int* pStatus) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(txt::VELORCFG_USAGE, stdout);
            *pStatus = 0;
            return true;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("velorcfg %s\n", VELOR_VERSION);
            *pStatus = 0;
            return true;
        }
    }
    return false;
}

int CUtilApp::InitInstance() {
    // Qt has taken its own options out of the arguments by now.
    bool bDemo = false;
    for (const QString& strArg : arguments().mid(1)) {
        if (strArg != "--demo") {
            std::fprintf(stderr, "velorcfg: unknown option %s\n%s", qPrintable(strArg),
                         txt::VELORCFG_USAGE);
            return 2;
        }
        bDemo = true;
    }
    std::unique_ptr<CDemoUnit> pDemo;
    if (bDemo) {
        pDemo = std::make_unique<CDemoUnit>();
        std::string strError;
        if (!pDemo->Start(strError)) {
            // The reason names files and the system's words: plain text.
            QMessageBox box(QMessageBox::Critical, txt::MESSAGE_CAPTION,
                            QString(txt::DEMO_FAILED) + QString::fromStdString(strError),
                            QMessageBox::Ok);
            box.setTextFormat(Qt::PlainText);
            box.exec();
            return 1;
        }
    }

    // The main window is not application-modal, so that the dialogs a worker shows
    // leave it usable; the program ends when it closes, not with its last window.
    setQuitOnLastWindowClosed(false);
    CMainDlg dlg;
    if (pDemo) pDemo->PointAt(dlg);
    connect(&dlg, &QDialog::finished, this, &QCoreApplication::quit);
    QuitOnEndSignals(this);
    dlg.show();
    exec();
    dlg.QtPrompts().BeginShutdown();
    // A worker still running (a download the user chose to end, a stopped job still
    // in its step) is not waited for: its prompts are all answered Cancel now, but it
    // still points at the main window, which must not be destroyed under it. The
    // process ends with it; the system closes its port or socket.
    if (CWinThread::RunningThreads() > 0) {
        pDemo.reset();
        std::fflush(nullptr);
        std::_Exit(0);
    }
    return 0;
}
