// velorcfg's main window, offscreen, running what a technician does with it against
// the demo's simulated unit (serial replies paced at 115200 baud): a configure job
// and a flash on each link, every window answered as a user would. Measured: the
// longest gap between two ticks of a 1 ms timer on the GUI thread while the jobs
// run (how long a click or a repaint could have waited), the start-up from the
// process's start to the main window shown, and the peak resident memory.
//
//   bench_gui [rounds=3]

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QWindow>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/resource.h>
#include <unistd.h>

#include "BenchRow.h"
#include "GuiTestUtil.h"
#include "platform/WinThread.h"
#include "shell/DemoUnit.h"
#include "shell/MainDlg.h"
#include "shell/UtilApp.h"

namespace {

// Seconds since this process started, to the kernel's clock tick.
double ProcessAge() {
    std::ifstream stat("/proc/self/stat");
    std::string strStat((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Field 22 (start time in ticks) counts from after the command's closing bracket.
    std::istringstream rest(strStat.substr(strStat.rfind(')') + 2));
    std::string strField;
    for (int nField = 3; nField <= 22; ++nField)
        rest >> strField;
    std::ifstream uptime("/proc/uptime");
    double dUptime = 0;
    uptime >> dUptime;
    return dUptime - std::stod(strField) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Runs the event loop until fn is true or nMs have passed; false on time-out.
bool RunUntil(const std::function<bool()>& fn, int nMs) {
    QElapsedTimer timer;
    timer.start();
    while (!fn()) {
        if (timer.elapsed() > nMs) return false;
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

bool ProgressShown() {
    for (QWidget* pWidget : QApplication::topLevelWidgets())
        if (pWidget->inherits("CProgressDlg") && pWidget->isVisible()) return true;
    return false;
}

QAbstractButton* Button(CMainDlg& dlg, int nId) {
    return dlg.findChild<QAbstractButton*>(QString("IDC_%1").arg(nId));
}

} // namespace

int main(int argc, char** argv) {
    const int nRounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);

    CUtilApp app(argc, argv);
    CMainDlg dlg;
    dlg.show();
    RunUntil([&] { return dlg.windowHandle() && dlg.windowHandle()->isExposed(); }, 10000);
    const double dStartupMs = ProcessAge() * 1000;

    CDemoUnit demo;
    std::string strError;
    if (!demo.Start(strError)) {
        std::fprintf(stderr, "simulated unit: %s\n", strError.c_str());
        return 1;
    }
    demo.PointAt(dlg);
    CDialogAnswerer answers;
    answers.m_strImage = QString::fromStdString(demo.ImageFolder() + "/" + CDemoUnit::IMAGE_NAME);

    bench::SRow gap("velorcfg: longest GUI event-loop gap, configure + flash on both links, "
                    "worst round",
                    "ms");
    gap.m_eTarget = bench::ETarget::AtMost;
    gap.m_dTarget = 16;
    gap.m_nDecimals = 1;
    gap.m_bEveryRound = true;
    gap.m_strBasis = "1 ms timer on the GUI thread, offscreen, demo unit at 115200 baud";
    // The same, only while a download runs (its progress window shown): the worker's
    // progress reports and nothing of the windows that open and close around it.
    bench::SRow downloadGap("velorcfg: longest GUI event-loop gap during the downloads, worst round",
                            "ms");
    downloadGap.m_eTarget = bench::ETarget::AtMost;
    downloadGap.m_dTarget = 16;
    downloadGap.m_nDecimals = 1;
    downloadGap.m_bEveryRound = true;
    downloadGap.m_strBasis = gap.m_strBasis;
    bool bAllOk = true;
    for (int nRound = 0; nRound < nRounds; ++nRound) {
        QElapsedTimer clock;
        qint64 nLastNs = -1, nLongestNs = 0, nLongestDownloadNs = 0;
        bool bWasDownloading = false;
        QTimer heartbeat;
        heartbeat.setTimerType(Qt::PreciseTimer);
        QObject::connect(&heartbeat, &QTimer::timeout, [&] {
            const qint64 nNow = clock.nsecsElapsed();
            if (nLastNs >= 0) nLongestNs = std::max(nLongestNs, nNow - nLastNs);
            const bool bDownloading = ProgressShown();
            if (nLastNs >= 0 && bDownloading && bWasDownloading)
                nLongestDownloadNs = std::max(nLongestDownloadNs, nNow - nLastNs);
            if (nLastNs >= 0 && nNow - nLastNs > 8000000 && std::getenv("VELOR_BENCH_GAPS"))
                std::fprintf(stderr, "gap %.1f ms after: %s\n", double(nNow - nLastNs) / 1e6,
                             qPrintable(answers.Log().join(" | ").right(80)));
            nLastNs = nNow;
            bWasDownloading = bDownloading;
        });
        clock.start();
        heartbeat.start(1);
        struct SJob {
            int nChoose, nStart;
        };
        for (const SJob& job : {SJob{CMainDlg::IDC_ETHERNET, CMainDlg::IDC_CONFIGURE_ETH},
                                {CMainDlg::IDC_ETHERNET, CMainDlg::IDC_FLASH_ETH},
                                {CMainDlg::IDC_SERIAL, CMainDlg::IDC_CONFIGURE_SER},
                                {CMainDlg::IDC_SERIAL, CMainDlg::IDC_FLASH_SER}}) {
            answers.ClearLog();
            Button(dlg, job.nChoose)->click(); // runs its notice and link dialog
            Button(dlg, job.nStart)->click();
            const bool bEnded = RunUntil([] { return CWinThread::RunningThreads() == 0; }, 120000);
            const QStringList log = answers.Log();
            const bool bOk = bEnded && (log.contains("Flash successfully updated") ||
                                        log.contains(" The Velor has reset successfully") ||
                                        log.contains(" The Orvik has reset successfully"));
            if (std::getenv("VELOR_BENCH_GAPS"))
                std::fprintf(stderr, "job %d: %s\n", job.nStart, qPrintable(log.join(" | ")));
            if (!bOk) {
                std::fprintf(stderr, "job %d did not succeed: %s\n", job.nStart,
                             qPrintable(log.join(" | ")));
                bAllOk = false;
            }
        }
        heartbeat.stop();
        gap.m_samples.push_back(static_cast<double>(nLongestNs) / 1e6);
        downloadGap.m_samples.push_back(static_cast<double>(nLongestDownloadNs) / 1e6);
        std::fprintf(stderr, "round %d: longest gap %.1f ms, during the downloads %.1f ms\n",
                     nRound + 1, static_cast<double>(nLongestNs) / 1e6,
                     static_cast<double>(nLongestDownloadNs) / 1e6);
    }

    bench::SRow startup("velorcfg: start-up to a shown main window", "ms");
    startup.m_samples = {dStartupMs};
    startup.m_nDecimals = 0;
    startup.m_strBasis = "process start to the window exposed, offscreen (10 ms clock ticks)";

    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    bench::SRow memory("velorcfg: peak resident memory, after the jobs", "MB");
    memory.m_samples = {static_cast<double>(usage.ru_maxrss) / 1024.0};
    memory.m_eTarget = bench::ETarget::AtMost;
    memory.m_dTarget = 80;
    memory.m_nDecimals = 1;
    memory.m_strBasis = "ru_maxrss, the simulated unit in the same process";

    bench::Print(gap);
    bench::Print(downloadGap);
    bench::Print(startup);
    bench::Print(memory);
    return bAllOk ? 0 : 1;
}
