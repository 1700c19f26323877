// The desktop additions through the main window against simulated units: the demo's
// unit on both rows, machine serial ports offered under COM3.. and opened through
// them, the progress window of a download on either link, and the image file filters.

#include <QComboBox>
#include <QFileSystemModel>
#include <QtTest>
#include <cstdlib>
#include <unistd.h>

#include "GuiTestUtil.h"
#include "SimServerUtil.h"
#include "firmware/ImageReader.h"
#include "firmware/SampleImage.h"
#include "platform/SerialDevice.h"
#include "platform/TimeConstants.h"
#include "platform/WinThread.h"
#include "shell/DemoUnit.h"
#include "shell/MainDlg.h"
#include "shell/ProgressDlg.h"
#include "shell/SerialPortDlg.h"
#include "sim/SimUnit.h"

namespace {
QAbstractButton* Button(CMainDlg& dlg, int nId) {
    return dlg.findChild<QAbstractButton*>(QString("IDC_%1").arg(nId));
}

CProgressDlg* VisibleProgressWindow() {
    for (QWidget* pWidget : QApplication::topLevelWidgets())
        if (auto* pDlg = qobject_cast<CProgressDlg*>(pWidget); pDlg && pDlg->isVisible())
            return pDlg;
    return nullptr;
}

// The machine's ports as a test sets them.
std::vector<serialdev::SPortInfo> g_machinePorts;
std::vector<serialdev::SPortInfo> TestPorts() {
    return g_machinePorts;
}
} // namespace

Q_DECLARE_METATYPE(SSimFaults)

class DesktopTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void demoUnitOnBothRows();
    void machinePortsOfferedAndOpened();
    void progressWindowDuringADownload_data();
    void progressWindowDuringADownload();
    void imageFileFilters();
    void imageFolderKept();

private:
    void WaitForJobEnd() { QTRY_VERIFY_WITH_TIMEOUT(CWinThread::RunningThreads() == 0, 30000); }

    std::unique_ptr<CMainDlg> m_pDlg;
    std::unique_ptr<CDialogAnswerer> m_pAnswers;
    CSimServer m_sim;
};

void DesktopTest::init() {
    ::unsetenv("VELOR_COM1");
    TimeConstants().m_nSerialReadMs = 200;
    TimeConstants().m_nSerialWriteMs = 200;
    TimeConstants().m_nSerialRetryPauseMs = 10;
    TimeConstants().m_nRecvMs = 1000;
    TimeConstants().m_nDrainLimitMs = 300;
    m_pDlg = std::make_unique<CMainDlg>();
    m_pDlg->show();
    m_pAnswers = std::make_unique<CDialogAnswerer>();
}

void DesktopTest::cleanup() {
    // A failed test fails alone (see EndJobs).
    const bool bEnded = EndJobs(m_pDlg.get(), m_pAnswers.get());
    if (bEnded) {
        m_pAnswers.reset();
        m_pDlg.reset();
    } else {
        (void)m_pAnswers.release();
        (void)m_pDlg.release();
    }
    m_sim.Stop();
    for (int n = 1; n <= 9; ++n)
        serialdev::MapPort(n, {});
    ::unsetenv("VELOR_COM1");
    TimeConstants().Reset();
    QVERIFY2(bEnded, "a job still runs after its test");
}

void DesktopTest::demoUnitOnBothRows() {
    CDemoUnit demo;
    std::string strError;
    QVERIFY2(demo.Start(strError), strError.c_str());
    QCOMPARE(serialdev::ResolvePort(1), demo.PtyPath());
    QVERIFY(demo.UdpPort() >= 1000 && demo.UdpPort() <= 9999); // the address dialog's 4 digits
    demo.PointAt(*m_pDlg);
    QVERIFY(m_pDlg->windowTitle().contains("DEMO"));

    // Ethernet: the address dialog, left as it opens, points at the unit, which answers.
    m_pAnswers->On("[Config]", [](QDialog*) { return false; });
    Button(*m_pDlg, CMainDlg::IDC_ETHERNET)->click();
    QCOMPARE(m_pDlg->m_strTargetIp, "127.0.0.1");
    QCOMPARE(m_pDlg->m_nTargetPort, demo.UdpPort());
    Button(*m_pDlg, CMainDlg::IDC_CONFIGURE_ETH)->click();
    VELOR_STEP(WaitForJobEnd());
    QVERIFY2(m_pAnswers->Log().contains("[Config] Cancel"),
             qPrintable(m_pAnswers->Log().join('|')));

    // Serial: COM1 as the dialog opens reaches the same unit, with no variable set.
    m_pAnswers->ClearLog();
    Button(*m_pDlg, CMainDlg::IDC_SERIAL)->click();
    QCOMPARE(m_pDlg->m_pScpParams->PortName(), "COM1");
    Button(*m_pDlg, CMainDlg::IDC_CONFIGURE_SER)->click();
    VELOR_STEP(WaitForJobEnd());
    QVERIFY2(m_pAnswers->Log().contains("[Config] Cancel"),
             qPrintable(m_pAnswers->Log().join('|')));
}

void DesktopTest::machinePortsOfferedAndOpened() {
    SSimOptions options;
    options.m_bPty = true;
    QVERIFY(m_sim.Start(options));
    const std::string strPty = m_sim.PtyPath();
    // /dev/ttyS0 is what COM1 opens already: not offered twice.
    g_machinePorts = {{"/dev/ttyS0", "ttyS0"},
                      {strPty, "Simulated adapter"},
                      {"/nonexistent/ttyUSB9", "FT232R USB UART"}};
    const auto pfnOld = CSerialPortDlg::SetPortLister(TestPorts);

    // The main window's dialog picks the port; one the job offers again is cancelled.
    auto choose = [&](int nIndex, QStringList* pItems) {
        auto pFirst = std::make_shared<bool>(true);
        m_pAnswers->On("[SerialPort]", [=](QDialog* pDlg) {
            if (!std::exchange(*pFirst, false)) return false;
            auto* pCombo = pDlg->findChild<QComboBox*>("IDC_1047");
            for (int i = 0; i < pCombo->count(); ++i)
                *pItems << pCombo->itemText(i);
            pCombo->setCurrentIndex(nIndex);
            return true;
        });
        Button(*m_pDlg, CMainDlg::IDC_SERIAL)->click();
    };
    QStringList items;
    choose(2, &items);
    QCOMPARE(items, QStringList({"COM1", "COM2",
                                 QString("COM3 - %1 (Simulated adapter)").arg(strPty.c_str()),
                                 "COM4 - /nonexistent/ttyUSB9 (FT232R USB UART)"}));
    // The record holds the number; the number opens the device, for a job.
    QCOMPARE(m_pDlg->m_pScpParams->PortName(), "COM3");
    QCOMPARE(serialdev::ResolvePort(3), strPty);
    QCOMPARE(serialdev::ResolvePort(4), "/nonexistent/ttyUSB9");
    m_pAnswers->On("[Config]", [](QDialog*) { return false; });
    Button(*m_pDlg, CMainDlg::IDC_CONFIGURE_SER)->click();
    VELOR_STEP(WaitForJobEnd());
    QCOMPARE(m_pAnswers->Log(),
             QStringList({"[SerNotice] OK", "[SerialPort] OK", "[Config] Cancel"}));

    // A port that cannot be opened: the fixed text, then what the system said, in words
    // for a desktop.
    m_pAnswers->ClearLog();
    items.clear();
    choose(3, &items);
    QCOMPARE(m_pDlg->m_pScpParams->PortName(), "COM4");
    Button(*m_pDlg, CMainDlg::IDC_CONFIGURE_SER)->click();
    VELOR_STEP(WaitForJobEnd());
    const QStringList log = m_pAnswers->Log();
    QVERIFY2(log.size() >= 4, qPrintable(log.join('|')));
    QCOMPARE(log[2], "Unable to open port");
    QCOMPARE(log[3], "/nonexistent/ttyUSB9: no such device (is the adapter plugged in? The "
                     "Serial Port list offers the ports found on this computer.)");

    // The adapter gone by the next time: its number opens the default device again.
    g_machinePorts = {{strPty, "Simulated adapter"}};
    items.clear();
    choose(2, &items);
    QCOMPARE(items.size(), 3);
    QCOMPARE(serialdev::ResolvePort(4), "/dev/ttyS3");
    CSerialPortDlg::SetPortLister(pfnOld);
}

void DesktopTest::progressWindowDuringADownload_data() {
    QTest::addColumn<bool>("bSerial");
    QTest::addColumn<SSimFaults>("faults");
    QTest::addColumn<bool>("bBadImage");
    QTest::addColumn<QString>("strOutcome"); // how the last message starts
    SSimFaults none, crc, rejected, lost;
    crc.m_bWrongCheckWord = true;
    rejected.m_bRejectLoad = true;
    lost.m_nStopAfterLoadBlocks = 20;
    const QString strOk = "Flash successfully updated", strCrc = "Flash failed - CRC mismatch";
    QTest::newRow("serial") << true << none << false << strOk;
    QTest::newRow("serial, crc") << true << crc << false << strCrc;
    QTest::newRow("serial, rejected")
        << true << rejected << false
        << "Flash not updated, rejected by Velor after load (checksum error) ";
    QTest::newRow("serial, lost") << true << lost << false << "Flash not updated, comm error ";
    QTest::newRow("serial, bad image")
        << true << none << true << "Flash not updated, image file error at line 1";
    QTest::newRow("ethernet") << false << none << false << strOk;
    QTest::newRow("ethernet, crc") << false << crc << false << strCrc;
    QTest::newRow("ethernet, lost") << false << lost << false << "Unable to connect to Velor - ";
}

void DesktopTest::progressWindowDuringADownload() {
    QFETCH(bool, bSerial);
    QFETCH(SSimFaults, faults);
    QFETCH(bool, bBadImage);
    QFETCH(QString, strOutcome);
    SSimOptions options;
    options.m_bResyncAtStart = false;
    if (bSerial) {
        options.m_bPty = true;
        options.m_nBaud = 115200; // a line's pace: the download lasts long enough to watch
        QVERIFY(m_sim.Start(options));
        serialdev::MapPort(1, m_sim.PtyPath());
    } else {
        // The address dialog takes a port of at most four digits.
        options.m_bUdp = true;
        bool bStarted = false;
        for (int i = 0; i < 200 && !bStarted; ++i) {
            options.m_nUdpPort = static_cast<uint16_t>(2000 + (::getpid() * 29 + i * 89) % 7999);
            bStarted = m_sim.Start(options);
        }
        QVERIFY(bStarted);
        faults.m_nReplyDelayMs = 3;
        PointRecordAtServer(m_sim);
    }
    m_sim.SetFaults(faults);
    const QString strImage =
        QDir::temp().filePath(QString("velorcfg_progress_%1.s19").arg(::getpid()));
    QVERIFY(WriteSampleImage(strImage.toStdString(), SSampleImage{0, 0x4000, 32, 3}));
    const CImageCheck check = ValidateImage(strImage.toStdString());
    QVERIFY(check.Ok());
    if (bBadImage) {
        QFile file(strImage);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("XYZ\n");
    }
    m_pAnswers->m_strImage = strImage;

    // What the window showed, sampled while the job runs.
    bool bSeen = false;
    QString strLastBlocks;
    QTimer watch;
    connect(&watch, &QTimer::timeout, [&] {
        if (CProgressDlg* pDlg = VisibleProgressWindow()) {
            bSeen = true;
            strLastBlocks = pDlg->BlocksText();
        }
    });
    watch.start(2);
    // Every message box, as it shows: over the main window, with the progress window gone.
    QStringList wrongBoxes;
    m_pAnswers->On("[Message]", [&](QDialog* pBox) {
        if (VisibleProgressWindow() || pBox->parentWidget() != m_pDlg.get() ||
            pBox->windowTitle() != "Halvex Orvik/Orvane/Orlith Configuration Utility")
            wrongBoxes << static_cast<QMessageBox*>(pBox)->text();
        return true;
    });
    if (bSerial) {
        Button(*m_pDlg, CMainDlg::IDC_SERIAL)->click();
        Button(*m_pDlg, CMainDlg::IDC_FLASH_SER)->click();
    } else {
        // The address dialog opens at the record's address: the unit's.
        m_pDlg->m_pNetParams->SetDottedAt(NetParams::OFS_IP, "127.0.0.1");
        m_pDlg->m_pNetParams->SetPort(m_sim.UdpPort());
        Button(*m_pDlg, CMainDlg::IDC_ETHERNET)->click();
        Button(*m_pDlg, CMainDlg::IDC_FLASH_ETH)->click();
    }
    VELOR_STEP(WaitForJobEnd());
    const QStringList log = m_pAnswers->Log();
    QVERIFY2(log.last().startsWith(strOutcome), qPrintable(log.join('|')));
    QVERIFY2(wrongBoxes.isEmpty(), qPrintable(wrongBoxes.join('|')));
    QCOMPARE(bSeen, !bBadImage);
    // The unit's restart keeps the finished window up long enough to be sampled.
    if (strOutcome == "Flash successfully updated")
        QCOMPARE(strLastBlocks,
                 QString("%1 of %1").arg(QLocale().toString(qulonglong(check.m_nBlocks))));
    QVERIFY(!VisibleProgressWindow());
    QFile::remove(strImage);
}

void DesktopTest::imageFileFilters() {
    // Names in either case, and the other images the reader takes.
    QTemporaryDir dir;
    for (const char* pName : {"a.s19", "FIRMWARE.S19", "b.hex", "C.HEX", "d.s37", "notes", "e.txt"})
        QVERIFY(QFile(dir.filePath(pName)).open(QIODevice::WriteOnly));
    m_pDlg->QtPrompts().SetImageFolder(dir.path());
    // Each filter as the technician sees it, with the files it lets through.
    QStringList shown;
    m_pAnswers->On("[ChooseFile]", [&](QDialog* pDlg) {
        auto* pModel = pDlg->findChild<QFileSystemModel*>();
        auto* pTypes = pDlg->findChild<QComboBox*>("fileTypeCombo");
        auto files = [&] {
            const QModelIndex root = pModel->index(dir.path());
            QStringList names;
            for (int i = 0; i < pModel->rowCount(root); ++i) {
                const QModelIndex index = pModel->index(i, 0, root);
                if (pModel->flags(index) & Qt::ItemIsEnabled) names << index.data().toString();
            }
            names.sort();
            return names.join(' ');
        };
        auto* pFile = static_cast<QFileDialog*>(pDlg);
        const QStringList filters = pFile->nameFilters();
        shown << pTypes->currentText();
        pFile->selectNameFilter(filters.constLast());
        // The folder is read on a thread of the dialog's, and each filter applied on a
        // later turn of the event loop; every filter's listing differs from the one before.
        QString strBefore;
        auto settled = [&] {
            for (int i = 0; i < 400 && files() == strBefore; ++i)
                QTest::qWait(5);
            return strBefore = files();
        };
        for (int i = 0; i < 400 && files().count(' ') < 6; ++i) // all seven under "All files"
            QTest::qWait(5);
        strBefore = files();
        for (int i = 0; i < pTypes->count(); ++i) {
            pFile->selectNameFilter(filters[i]);
            shown << pTypes->itemText(i) + ": " + settled();
        }
        return false;
    });
    std::string strPath;
    QVERIFY(!m_pDlg->QtPrompts().ChooseImageFile(strPath));
    QCOMPARE(shown.join(" | "), "s19 | s19: FIRMWARE.S19 a.s19 | Intel HEX (*.hex): C.HEX b.hex | "
                                "All files (*): C.HEX FIRMWARE.S19 a.s19 b.hex d.s37 e.txt notes");
}

void DesktopTest::imageFolderKept() {
    QTemporaryDir start, chosen;
    const QString strImage = chosen.filePath("b.s19");
    QVERIFY(QFile(strImage).open(QIODevice::WriteOnly));
    m_pDlg->QtPrompts().SetImageFolder(start.path());
    m_pAnswers->m_strImage = strImage;
    std::string strPath;
    QVERIFY(m_pDlg->QtPrompts().ChooseImageFile(strPath));
    QCOMPARE(QString::fromStdString(strPath), strImage);
    // The next download opens where the last image was, not where the first began.
    QString strOpenedIn;
    m_pAnswers->On("[ChooseFile]", [&](QDialog* pDlg) {
        strOpenedIn = static_cast<QFileDialog*>(pDlg)->directory().path();
        return false;
    });
    QVERIFY(!m_pDlg->QtPrompts().ChooseImageFile(strPath));
    QCOMPARE(strOpenedIn, QDir(chosen.path()).canonicalPath());
}

QTEST_MAIN(DesktopTest)
#include "DesktopTest.moc"
