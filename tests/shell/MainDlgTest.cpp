// The main window through its states and transitions, and jobs driven through it
// with the real workers against the simulated unit (a pseudo-terminal as COM1, UDP on
// 127.0.0.1). The test answers the windows the jobs show.

#include <QComboBox>
#include <QLineEdit>
#include <QTableWidget>
#include <QtTest>
#include <cstdlib>
#include <unistd.h>

#include "GuiTestUtil.h"
#include "SimServerUtil.h"
#include "firmware/SampleImage.h"
#include "platform/TimeConstants.h"
#include "platform/WinThread.h"
#include "shell/FindUnitsDlg.h"
#include "shell/MainDlg.h"
#include "sim/SimUnit.h"

namespace {
const char* const UPDATED = " The Velor updated successfully";
const char* const ETH_FLASH_NOTICE = "Click 'OK' to start flashing, please wait up to two "
                                     "minutes.  Do not power Velor off during the update.";
const char* const SER_FLASH_NOTICE =
    "Click 'OK' to start flashing, please wait up to two minutes at 115,200 baud and up to 12 "
    "minutes at 9600 baud.  Do not power Velor off during the update.";

// The eight buttons as E CE FE S CS FS OK Close, "1" for enabled.
QString Layout(const CMainDlg& dlg) {
    QString str;
    for (const char* pName : {"IDC_1042", "IDC_1069", "IDC_1078", "IDC_1043", "IDC_1059",
                              "IDC_1077", "IDOK", "IDCANCEL"})
        str += dlg.findChild<QAbstractButton*>(pName)->isEnabled() ? '1' : '0';
    return str;
}
const QString IDLE = "10010011";

QAbstractButton* Button(CMainDlg& dlg, int nId) {
    return dlg.findChild<QAbstractButton*>(QString("IDC_%1").arg(nId));
}
void SetText(QDialog* pDlg, int nId, const QString& str) {
    pDlg->findChild<QLineEdit*>(QString("IDC_%1").arg(nId))->setText(str);
}
// Types 127.0.0.nHost and the port into the IP address dialog.
void TypeAddress(QDialog* pDlg, int nHost, uint16_t nPort) {
    const int anOctets[][2] = {{1002, 127}, {1003, 0}, {1004, 0}, {1011, nHost}};
    for (const auto& [nId, nOctet] : anOctets)
        SetText(pDlg, nId, QString::number(nOctet));
    SetText(pDlg, 1053, QString::number(nPort));
}
} // namespace

class MainDlgTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void actionButtons();
    void ethernetRowStates();
    void serialRowStates();
    void serialConfigureStoppedByEitherButton();
    void refusalHoldsItsDialogOnly();
    void ethernetConfigureJob();
    void ethernetFlashJob();
    void ethernetConfigureOfAUnitFound();
    void serialConfigureJob();
    void serialFlashJob();
    void closingDuringASerialFlash_data();
    void closingDuringASerialFlash();
    void closingDuringAConfigureJob_data();
    void closingDuringAConfigureJob();

private:
    void StartSim(bool bUdp, int nBaud = 0);
    void ChooseEthernet();
    void ChooseSerial();
    void WaitForJobEnd();

    std::unique_ptr<CMainDlg> m_pDlg;
    std::unique_ptr<CDialogAnswerer> m_pAnswers;
    CSimServer m_sim;
    uint16_t m_nUdpPort = 0;
};

void MainDlgTest::init() {
    TimeConstants().m_nSerialReadMs = 60;
    TimeConstants().m_nSerialWriteMs = 200;
    TimeConstants().m_nSerialRetryPauseMs = 10;
    TimeConstants().m_nRecvMs = 1000;
    TimeConstants().m_nRecvReopenMs = 1000;
    TimeConstants().m_nDrainLimitMs = 300;
    m_pDlg = std::make_unique<CMainDlg>();
    m_pDlg->show();
    m_pAnswers = std::make_unique<CDialogAnswerer>();
}

void MainDlgTest::cleanup() {
    // A failed test fails alone: its job is ended before its window goes, or the window is
    // left alive rather than destroyed under a running worker.
    const bool bEnded = EndJobs(m_pDlg.get(), m_pAnswers.get());
    if (bEnded) {
        m_pAnswers.reset();
        m_pDlg.reset();
    } else {
        (void)m_pAnswers.release();
        (void)m_pDlg.release();
    }
    m_sim.Stop();
    ::unsetenv("VELOR_COM1");
    TimeConstants().Reset();
    QVERIFY2(bEnded, "a job still runs after its test");
}

void MainDlgTest::WaitForJobEnd() {
    QTRY_VERIFY_WITH_TIMEOUT(CWinThread::RunningThreads() == 0, 30000);
}

void MainDlgTest::StartSim(bool bUdp, int nBaud) {
    SSimOptions options;
    options.m_bResyncAtStart = false;
    options.m_nBaud = nBaud;
    if (!bUdp) {
        options.m_bPty = true;
        QVERIFY(m_sim.Start(options));
        ::setenv("VELOR_COM1", m_sim.PtyPath().c_str(), 1);
        return;
    }
    // The IP address dialog takes a port of at most four digits.
    options.m_bUdp = true;
    for (int i = 0; i < 200; ++i) {
        options.m_nUdpPort = static_cast<uint16_t>(2000 + (::getpid() * 31 + i * 97) % 7999);
        if (m_sim.Start(options)) break;
    }
    QVERIFY(m_sim.UdpPort() != 0);
    m_nUdpPort = m_sim.UdpPort();
    PointRecordAtServer(m_sim);
}

// Ethernet, its notice and the address of the simulated unit.
void MainDlgTest::ChooseEthernet() {
    m_pAnswers->On("[IpAddress]", [this](QDialog* pDlg) {
        TypeAddress(pDlg, 1, m_nUdpPort);
        return true;
    });
    Button(*m_pDlg, CMainDlg::IDC_ETHERNET)->click();
    QCOMPARE(Layout(*m_pDlg), "01100011");
    QCOMPARE(m_pDlg->m_strTargetIp, "127.0.0.1");
    QCOMPARE(m_pDlg->m_nTargetPort, m_nUdpPort);
}

void MainDlgTest::ChooseSerial() {
    Button(*m_pDlg, CMainDlg::IDC_SERIAL)->click();
    QCOMPARE(Layout(*m_pDlg), "00001111");
    QVERIFY(m_pDlg->m_pScpParams);
}

void MainDlgTest::actionButtons() {
    struct SButton {
        int nId;
        const char* pCaption;
        int x, y;
    };
    for (const SButton& b : {SButton{1069, "Configure IP", 170, 99},
                             {1059, "Configure IP ", 170, 164},
                             {1042, "Ethernet", 40, 99},
                             {1043, "Serial", 40, 164},
                             {1078, "Flash Velor", 300, 99},
                             {1077, "Flash Velor", 300, 164}}) {
        QAbstractButton* pButton = Button(*m_pDlg, b.nId);
        QCOMPARE(pButton->text(), b.pCaption);
        // The capsule's box, as wide and tall as the outline's pixels reach.
        QCOMPARE(pButton->pos(), QPoint(b.x, b.y));
        QVERIFY(QRect(b.x, b.y, 96, 32).contains(pButton->geometry()));
        QVERIFY(!(pButton->focusPolicy() & Qt::TabFocus));
    }
    QCOMPARE(Layout(*m_pDlg), IDLE);
    QCOMPARE(m_pDlg->m_pNetParams->DottedAt(NetParams::OFS_IP), "192.168.0.132");
    QCOMPARE(m_pDlg->m_pNetParams->Port(), 3001);
}

void MainDlgTest::ethernetRowStates() {
    m_pAnswers->On("[EthNotice]", [](QDialog*) { return false; });
    Button(*m_pDlg, CMainDlg::IDC_ETHERNET)->click();
    QCOMPARE(Layout(*m_pDlg), IDLE);

    // While the address dialog is open, the intermediate layout; Cancel: idle.
    m_pAnswers->On("[EthNotice]", [](QDialog*) { return true; });
    QString strDuring;
    m_pAnswers->On("[IpAddress]", [&](QDialog*) {
        strDuring = Layout(*m_pDlg);
        return false;
    });
    Button(*m_pDlg, CMainDlg::IDC_ETHERNET)->click();
    QCOMPARE(strDuring, "11100011");
    QCOMPARE(Layout(*m_pDlg), IDLE);
    QCOMPARE(m_pAnswers->Log(),
             QStringList({"[EthNotice] Cancel", "[EthNotice] OK", "[IpAddress] Cancel"}));
    m_nUdpPort = 3456;
    VELOR_STEP(ChooseEthernet());
}

void MainDlgTest::serialRowStates() {
    m_pAnswers->On("[SerNotice]", [](QDialog*) { return false; });
    Button(*m_pDlg, CMainDlg::IDC_SERIAL)->click();
    QCOMPARE(Layout(*m_pDlg), IDLE);

    m_pAnswers->On("[SerNotice]", [](QDialog*) { return true; });
    QString strDuring;
    m_pAnswers->On("[SerialPort]", [&](QDialog*) {
        strDuring = Layout(*m_pDlg);
        return false;
    });
    Button(*m_pDlg, CMainDlg::IDC_SERIAL)->click();
    QCOMPARE(strDuring, "00011111");
    QCOMPARE(Layout(*m_pDlg), IDLE);

    m_pAnswers->On("[SerialPort]", [](QDialog*) { return true; });
    VELOR_STEP(ChooseSerial());
    QCOMPARE(m_pDlg->m_pScpParams->PortName(), "COM1");
    QCOMPARE(m_pDlg->m_pScpParams->BaudText(), "115200");
}

void MainDlgTest::serialConfigureStoppedByEitherButton() {
    VELOR_STEP(StartSim(false));
    for (int nStopButton : {CMainDlg::IDC_FLASH_SER, CMainDlg::IDC_CONFIGURE_SER}) {
        VELOR_STEP(ChooseSerial());
        // The configuration dialog is open and the job waits for it: the row can still
        // stop the job, and once asked neither button starts another one.
        QString strBefore, strAfter;
        int nWorkers = 0;
        m_pAnswers->On("[Config]", [&](QDialog*) {
            strBefore = Layout(*m_pDlg);
            Button(*m_pDlg, nStopButton)->click();
            strAfter = Layout(*m_pDlg);
            nWorkers = CWinThread::RunningThreads();
            return false;
        });
        Button(*m_pDlg, CMainDlg::IDC_CONFIGURE_SER)->click();
        VELOR_STEP(WaitForJobEnd());
        QCOMPARE(strBefore, "00001111");
        QCOMPARE(strAfter, "00000011");
        QCOMPARE(nWorkers, 1);
        QCOMPARE(Layout(*m_pDlg), IDLE);
        QVERIFY(!m_pDlg->m_bSerialBusy);
        QVERIFY(!m_pDlg->m_pScpParams);
        QCOMPARE(FramesReceived(m_sim, 0x92), 0u);
    }
}

void MainDlgTest::refusalHoldsItsDialogOnly() {
    // A refused field's message over a job's dialog holds that dialog, not the program: the
    // row's Stop still works. Its text, like every message's, is never taken as markup.
    StartSim(false);
    VELOR_STEP(ChooseSerial());
    QPointer<QDialog> pConfig;
    m_pAnswers->On("[Config]", [&](QDialog* pDlg) -> std::optional<bool> {
        pConfig = pDlg;
        SetText(pDlg, 1048, "<b>7</b>");
        // OK returns once the refusal is answered; the dialog is then cancelled.
        QTimer::singleShot(0, pDlg, [pDlg] {
            ClickButton(pDlg, "IDOK");
            ClickButton(pDlg, "IDCANCEL");
        });
        return std::nullopt;
    });
    QString strText, strAfterStop;
    QString strModal = "(not seen)"; // the class of the window that holds the program
    bool bConfigEnabled = true, bPlain = false;
    m_pAnswers->On("[Message]", [&](QDialog* pDlg) -> std::optional<bool> {
        auto* pBox = static_cast<QMessageBox*>(pDlg);
        strText = pBox->text();
        bPlain = pBox->textFormat() == Qt::PlainText;
        QWidget* pModal = QApplication::activeModalWidget();
        strModal = pModal ? pModal->metaObject()->className() : "";
        bConfigEnabled = pConfig && pConfig->isEnabled();
        Button(*m_pDlg, CMainDlg::IDC_FLASH_SER)->click();
        strAfterStop = Layout(*m_pDlg);
        return true;
    });
    Button(*m_pDlg, CMainDlg::IDC_CONFIGURE_SER)->click();
    VELOR_STEP(WaitForJobEnd());
    QCOMPARE(strText, "Please enter a positive integer.");
    QVERIFY(bPlain);
    QCOMPARE(strModal, "");
    QVERIFY(!bConfigEnabled);
    QCOMPARE(strAfterStop, "00000011");
    QCOMPARE(FramesReceived(m_sim, 0x92), 0u);

    // The job's own messages too.
    ClearUnitPortSettings(m_sim);
    m_pAnswers->On("[Config]", [](QDialog*) { return true; });
    QStringList formats;
    m_pAnswers->On("[Message]", [&](QDialog* pDlg) -> std::optional<bool> {
        formats << QString::number(static_cast<QMessageBox*>(pDlg)->textFormat());
        return true;
    });
    VELOR_STEP(ChooseSerial());
    Button(*m_pDlg, CMainDlg::IDC_CONFIGURE_SER)->click();
    VELOR_STEP(WaitForJobEnd());
    QVERIFY2(m_pAnswers->Log().contains(" Parameters are updated successfully"),
             qPrintable(m_pAnswers->Log().join(" | ")));
    QCOMPARE(formats, QStringList(formats.size(), QString::number(Qt::PlainText)));
}

void MainDlgTest::ethernetConfigureJob() {
    VELOR_STEP(StartSim(true));
    VELOR_STEP(ChooseEthernet());
    QString strDuring;
    m_pAnswers->On("[Config]", [&](QDialog* pDlg) {
        strDuring = Layout(*m_pDlg);
        SetText(pDlg, 1048, "77");
        return true;
    });
    Button(*m_pDlg, CMainDlg::IDC_CONFIGURE_ETH)->click();
    // Escape is the Close button, and that is off while the job runs.
    QTest::keyClick(m_pDlg.get(), Qt::Key_Escape);
    QVERIFY(m_pDlg->isVisible());
    VELOR_STEP(WaitForJobEnd());
    QCOMPARE(strDuring, "00000000");
    QCOMPARE(m_pAnswers->Log(),
             QStringList({"[EthNotice] OK", "[IpAddress] OK", "[Config] OK", UPDATED,
                          "[UpdateDone] OK", " The Velor has reset successfully"}));
    QCOMPARE(Layout(*m_pDlg), IDLE);
    QCOMPARE(m_sim.WithUnit([](CSimUnit& u) { return u.Params().Timeout(); }), 77);
}

void MainDlgTest::ethernetFlashJob() {
    VELOR_STEP(StartSim(true));
    const QString strImage = QDir::temp().filePath("velorcfg_eth_flash.s19");
    QVERIFY(WriteSampleImage(strImage.toStdString(), SSampleImage{0, 0x12000, 32, 5}));
    m_pAnswers->m_strImage = strImage;
    VELOR_STEP(ChooseEthernet());
    Button(*m_pDlg, CMainDlg::IDC_FLASH_ETH)->click();
    QCOMPARE(Layout(*m_pDlg), "00000000");
    VELOR_STEP(WaitForJobEnd());
    QCOMPARE(m_pAnswers->Log(), QStringList({"[EthNotice] OK", "[IpAddress] OK", "[ChooseFile] OK",
                                             ETH_FLASH_NOTICE, "Flash successfully updated"}));
    QCOMPARE(Layout(*m_pDlg), IDLE);
    QCOMPARE(m_pDlg->m_eResult.load(), EJobResult::Success);
}

void MainDlgTest::ethernetConfigureOfAUnitFound() {
    // The technician knows the port and only that the unit is on 127.0.0.x.
    TimeConstants().m_nScanWaitMs = 150;
    VELOR_STEP(StartSim(true));
    m_pAnswers->On("[IpAddress]", [this](QDialog* pDlg) -> std::optional<bool> {
        TypeAddress(pDlg, 200, m_nUdpPort);
        ClickButton(pDlg, "btnFind");
        auto* pFind = pDlg->findChild<CFindUnitsDlg*>();
        // Loopback only: the range comes from the address typed above.
        if (!pFind || pFind->findChild<QLineEdit*>("edRange")->text() != "127.0.0.0/24")
            return false;
        ClickButton(pFind, "btnStart");
        auto* pTable = pFind->findChild<QTableWidget*>("tblUnits");
        for (int i = 0; i < 2000 && (pFind->Worker().Running() || pTable->rowCount() == 0); ++i)
            QTest::qWait(5);
        if (pTable->rowCount() != 1) return false;
        pTable->selectRow(0);
        ClickButton(pFind, "btnUse");
        return true;
    });
    Button(*m_pDlg, CMainDlg::IDC_ETHERNET)->click();
    QCOMPARE(m_pDlg->m_strTargetIp, "127.0.0.1");
    QCOMPARE(m_pDlg->m_nTargetPort, m_nUdpPort);
    m_pAnswers->On("[Config]", [&](QDialog* pDlg) {
        SetText(pDlg, 1048, "66");
        return true;
    });
    Button(*m_pDlg, CMainDlg::IDC_CONFIGURE_ETH)->click();
    VELOR_STEP(WaitForJobEnd());
    QVERIFY2(m_pAnswers->Log().contains(" The Velor has reset successfully"),
             qPrintable(m_pAnswers->Log().join(" | ")));
    QCOMPARE(m_sim.WithUnit([](CSimUnit& u) { return u.Params().Timeout(); }), 66);
}

void MainDlgTest::serialConfigureJob() {
    VELOR_STEP(StartSim(false));
    ClearUnitPortSettings(m_sim);
    VELOR_STEP(ChooseSerial());
    m_pAnswers->On("[Config]", [&](QDialog* pDlg) {
        SetText(pDlg, 1048, "55");
        return true;
    });
    Button(*m_pDlg, CMainDlg::IDC_CONFIGURE_SER)->click();
    VELOR_STEP(WaitForJobEnd());
    QCOMPARE(m_pAnswers->Log(),
             QStringList({"[SerNotice] OK", "[SerialPort] OK", "[Config] OK",
                          " Parameters are updated successfully", "[UpdateDone] OK",
                          " The Orvik has reset successfully"}));
    QCOMPARE(Layout(*m_pDlg), IDLE);
    QCOMPARE(m_sim.WithUnit([](CSimUnit& u) { return u.Params().Timeout(); }), 55);
}

void MainDlgTest::serialFlashJob() {
    VELOR_STEP(StartSim(false));
    const QString strImage = QDir::temp().filePath("velorcfg_ser_flash.s19");
    QVERIFY(WriteSampleImage(strImage.toStdString(), SSampleImage{0, 0x3000, 32, 11}));
    m_pAnswers->m_strImage = strImage;
    VELOR_STEP(ChooseSerial());
    Button(*m_pDlg, CMainDlg::IDC_FLASH_SER)->click();
    QCOMPARE(Layout(*m_pDlg), "00000011");
    VELOR_STEP(WaitForJobEnd());
    QCOMPARE(m_pAnswers->Log(), QStringList({"[SerNotice] OK", "[SerialPort] OK", "[ChooseFile] OK",
                                             SER_FLASH_NOTICE, "Flash successfully updated"}));
    QCOMPARE(Layout(*m_pDlg), IDLE);
}

void MainDlgTest::closingDuringASerialFlash_data() {
    QTest::addColumn<QString>("strWhen"); // the window open when the main window is closed
    QTest::newRow("file dialog") << "[ChooseFile]";
    QTest::newRow("start notice") << SER_FLASH_NOTICE;
    QTest::newRow("port dialog again") << "[SerialPort] again";
    QTest::newRow("load") << "load";
    QTest::newRow("result") << "Flash successfully updated";
}

void MainDlgTest::closingDuringASerialFlash() {
    // Only while the load is under way does closing ask first (it would leave the unit
    // half written); No keeps everything running. The job's windows run their own event
    // loops, so the test acts from inside them.
    QFETCH(QString, strWhen);
    StartSim(false, 115200); // a line's pace: the load lasts long enough to close during it
    const QString strImage = QDir::temp().filePath("velorcfg_ser_close.s19");
    QVERIFY(WriteSampleImage(strImage.toStdString(), SSampleImage{0, 0x3000, 32, 11}));
    m_pAnswers->m_strImage = strImage;
    VELOR_STEP(ChooseSerial());
    bool bOpenAfterNo = false;
    int nWorkersAfterNo = 0;
    auto closeTwice = [&] {
        m_pDlg->close();
        bOpenAfterNo = m_pDlg->isVisible();
        nWorkersAfterNo = CWinThread::RunningThreads();
        if (!bOpenAfterNo) return;
        m_pAnswers->On("[Question]", [](QDialog*) { return true; });
        m_pDlg->close();
    };
    auto closeWhenShown = [&](QDialog*) -> std::optional<bool> {
        QTimer::singleShot(0, closeTwice);
        return std::nullopt;
    };
    QTimer watch;
    if (strWhen == "[ChooseFile]") m_pAnswers->On("[ChooseFile]", closeWhenShown);
    if (strWhen == "[SerialPort] again") {
        ::setenv("VELOR_COM1", "/nonexistent/tty", 1);
        m_pAnswers->On("[SerialPort]", closeWhenShown);
    }
    if (strWhen.contains(' ') && !strWhen.startsWith('['))
        m_pAnswers->On("[Message]", [&](QDialog* pBox) -> std::optional<bool> {
            if (static_cast<QMessageBox*>(pBox)->text() != strWhen) return true;
            return closeWhenShown(pBox);
        });
    if (strWhen == "load") {
        // The progress window shows once the unit has taken the first block.
        connect(&watch, &QTimer::timeout, [&] {
            for (QWidget* pWidget : QApplication::topLevelWidgets())
                if (pWidget->inherits("CProgressDlg") && pWidget->isVisible()) {
                    watch.stop();
                    QTimer::singleShot(0, closeTwice);
                }
        });
        watch.start(2);
    }
    Button(*m_pDlg, CMainDlg::IDC_FLASH_SER)->click();
    VELOR_STEP(WaitForJobEnd());
    const bool bAsked = strWhen == "load";
    const QStringList log = m_pAnswers->Log();
    QCOMPARE(log.filter("[Question]"),
             bAsked ? QStringList({"[Question] No", "[Question] Yes"}) : QStringList());
    QCOMPARE(bOpenAfterNo, bAsked);
    if (bAsked) QCOMPARE(nWorkersAfterNo, 1);
    QVERIFY(!m_pDlg->isVisible());
}

void MainDlgTest::closingDuringAConfigureJob_data() {
    QTest::addColumn<bool>("bUdp");
    QTest::addColumn<bool>("bDuringWrite"); // else while the configuration dialog is open
    QTest::newRow("ethernet, dialog") << true << false;
    QTest::newRow("ethernet, write") << true << true;
    QTest::newRow("serial, dialog") << false << false;
    QTest::newRow("serial, write") << false << true;
}

void MainDlgTest::closingDuringAConfigureJob() {
    // The close box works while Close is off. Nothing waits, nothing crashes, and the
    // unit holds either its old record or the whole new one, never reset.
    QFETCH(bool, bUdp);
    QFETCH(bool, bDuringWrite);
    VELOR_STEP(StartSim(bUdp));
    if (!bUdp) ClearUnitPortSettings(m_sim);
    const NetParams before = m_sim.WithUnit([](CSimUnit& u) { return u.Params(); });
    VELOR_STEP(bUdp ? ChooseEthernet() : ChooseSerial());
    bool bOpen = true;
    QTimer watch;
    m_pAnswers->On("[Config]", [&](QDialog* pDlg) -> std::optional<bool> {
        if (!bDuringWrite) {
            QTimer::singleShot(0, [&] {
                m_pDlg->close();
                bOpen = m_pDlg->isVisible();
            });
            return std::nullopt;
        }
        // Slow replies (within the serial read time-out): the window closes while the
        // unit is answering the write.
        SetText(pDlg, 1048, "77");
        ChangeFaults(m_sim, [](SSimFaults& f) { f.m_nReplyDelayMs = 40; });
        connect(&watch, &QTimer::timeout, [&] {
            if (FramesReceived(m_sim, 0x92) == 0) return;
            watch.stop();
            m_pDlg->close();
            bOpen = m_pDlg->isVisible();
        });
        watch.start(2);
        return true;
    });
    Button(*m_pDlg, bUdp ? CMainDlg::IDC_CONFIGURE_ETH : CMainDlg::IDC_CONFIGURE_SER)->click();
    VELOR_STEP(WaitForJobEnd());
    QVERIFY(!bOpen);
    NetParams expected = before;
    if (bDuringWrite) expected.SetTimeout(77);
    QVERIFY(m_sim.WithUnit([](CSimUnit& u) { return u.Params(); }) == expected);
    QCOMPARE(FramesReceived(m_sim, 0x92) > 0, bDuringWrite);
    QCOMPARE(FramesReceived(m_sim, 0x8F), 0u);
}

QTEST_MAIN(MainDlgTest)
#include "MainDlgTest.moc"
