// Finding a unit on a serial port from the serial port dialog, against a simulated unit
// on a pseudo-terminal that hears only its own line setting: what the probe shows and
// finds, what Use fills in, and that Stop and closing end it at once with the line put
// back as it was found.

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "GuiTestUtil.h"
#include "SimServerUtil.h"
#include "params/ScpParams.h"
#include "platform/SerialDevice.h"
#include "platform/TimeConstants.h"
#include "shell/FindSerialDlg.h"
#include "shell/SerialPortDlg.h"

namespace {
QComboBox* Combo(QWidget* pDlg, const char* pName) {
    return pDlg->findChild<QComboBox*>(pName);
}

QString Status(QWidget* pFind) {
    return pFind->findChild<QLabel*>("lblStatus")->text();
}

// Opens the Find window from the dialog.
CFindSerialDlg* OpenFind(CSerialPortDlg& dlg) {
    dlg.show();
    ClickButton(&dlg, "btnFind");
    auto* pFind = dlg.findChild<CFindSerialDlg*>();
    return pFind && pFind->isVisible() ? pFind : nullptr;
}

// Starts the probe and waits until it tries a setting whose status holds strWhat.
void StartAndWaitFor(CFindSerialDlg* pFind, const QString& strWhat) {
    ClickButton(pFind, "btnStart");
    QVERIFY(pFind->Worker().Running());
    QTRY_VERIFY_WITH_TIMEOUT(Status(pFind).contains(strWhat), 10000);
}
} // namespace

class FindSerialTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();
    void findsAUnitAtOtherLineSettingsAndUseFillsTheDialog();
    void stopEndsTheProbeAtOnce();
    void closingMidProbePutsTheLineBack();
    void aPortNameThatIsNoPortIsSaid();

private:
    // The line as another program left it: 2400 baud, canonical input.
    void CheckLineAsFound();
    CSimServer m_sim;
    int m_fd = -1;
    termios m_before{};
};

void FindSerialTest::initTestCase() {
    // A unit at 9600 odd, unit address 7, that hears nothing at any other setting.
    SSimOptions o;
    o.m_bPty = true;
    o.m_nBaud = 9600;
    o.m_bOddParity = true;
    o.m_bStrictLine = true;
    o.m_nAddr = 7;
    o.m_nSerialNo = 0x0777;
    o.m_bResyncAtStart = false;
    QVERIFY(m_sim.Start(o));
    ::setenv("VELOR_COM1", m_sim.PtyPath().c_str(), 1);
    m_fd = ::open(m_sim.PtyPath().c_str(), O_RDWR | O_NOCTTY);
    QVERIFY(m_fd >= 0);
}

void FindSerialTest::init() {
    TimeConstants().m_nScanAnswerMs = 40;
    termios t{};
    QCOMPARE(::tcgetattr(m_fd, &t), 0);
    ::cfsetispeed(&t, B2400);
    ::cfsetospeed(&t, B2400);
    t.c_lflag |= ICANON;
    QCOMPARE(::tcsetattr(m_fd, TCSANOW, &t), 0);
    ::tcgetattr(m_fd, &m_before);
}

void FindSerialTest::cleanup() {
    // A failed check leaves no probe running under the next test.
    for (QWidget* pWidget : QApplication::topLevelWidgets())
        if (auto* pFind = qobject_cast<CFindSerialDlg*>(pWidget)) pFind->reject();
    QTRY_VERIFY_WITH_TIMEOUT(CWinThread::RunningThreads() == 0, 5000);
    TimeConstants().Reset();
}

void FindSerialTest::cleanupTestCase() {
    ::close(m_fd);
    m_sim.Stop();
    ::unsetenv("VELOR_COM1");
}

void FindSerialTest::CheckLineAsFound() {
    termios after{};
    QCOMPARE(::tcgetattr(m_fd, &after), 0);
    QCOMPARE(::cfgetospeed(&after), ::cfgetospeed(&m_before));
    QCOMPARE(after.c_lflag, m_before.c_lflag);
    // And the port is free for the job that follows.
    serialdev::CSerialDevice dev;
    QCOMPARE(dev.Open(m_sim.PtyPath()), 0);
}

void FindSerialTest::findsAUnitAtOtherLineSettingsAndUseFillsTheDialog() {
    ScpParams scp = *ScpParams::Make("COM1", 0, "Even", "115200");
    CSerialPortDlg dlg(nullptr, &scp);
    CFindSerialDlg* pFind = OpenFind(dlg);
    QVERIFY(pFind);
    QVERIFY(pFind->findChild<QLabel*>("lblPortName")->text().contains(m_sim.PtyPath().c_str()));

    // Each setting is shown as it is tried, the dialog's own first.
    QStringList seen;
    QTimer watch;
    connect(&watch, &QTimer::timeout, [&] {
        if (seen.isEmpty() || seen.back() != Status(pFind)) seen << Status(pFind);
    });
    watch.start(2);
    ClickButton(pFind, "btnStart");
    QTRY_VERIFY_WITH_TIMEOUT(!pFind->Worker().Running(), 30000);
    watch.stop();
    QCOMPARE(Status(pFind), "Done: 1 unit(s) found.");
    const auto firstWith = [&](const QString& str) {
        for (int i = 0; i < seen.size(); ++i)
            if (seen[i].contains(str)) return i;
        return -1;
    };
    const int nFirst = firstWith("115200 baud, parity Even (setting 1 of 24)");
    const int nOdd9600 = firstWith("9600 baud, parity Odd (setting 5 of 24)");
    QVERIFY2(nFirst >= 0 && nOdd9600 > nFirst, qPrintable(seen.join('\n')));
    QVERIFY(firstWith("9600 baud, parity Odd (setting 5 of 24), SCP address 7;") > nOdd9600);
    CheckLineAsFound();

    auto* pTable = pFind->findChild<QTableWidget*>("tblUnits");
    QCOMPARE(pTable->rowCount(), 1);
    QCOMPARE(pTable->item(0, 0)->text(), "9600");
    QCOMPARE(pTable->item(0, 1)->text(), "Odd");
    QCOMPARE(pTable->item(0, 2)->text(), "7");
    QCOMPARE(pTable->item(0, 3)->text(), QString::number(0x0777));
    pTable->selectRow(0);
    ClickButton(pFind, "btnUse");
    QTRY_VERIFY(!pFind->isVisible());

    // The dialog holds the unit's settings; OK writes them.
    QCOMPARE(Combo(&dlg, "IDC_1044")->currentText(), "9600");
    QCOMPARE(Combo(&dlg, "IDC_1045")->currentText(), "Odd");
    QCOMPARE(Combo(&dlg, "IDC_1046")->currentText(), "7");
    ClickButton(&dlg, "IDOK");
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QCOMPARE(scp.BaudRate(), 9600);
    QCOMPARE(scp.ParityIndex(), 1);
    QCOMPARE(scp.UnitAddress(), 7u);
    QCOMPARE(scp.PortName(), "COM1");
}

void FindSerialTest::stopEndsTheProbeAtOnce() {
    // At 1200 baud a silent probe lasts longer than a Stop may take.
    TimeConstants().m_nScanAnswerMs = 100;
    ScpParams scp = *ScpParams::Make("COM1", 0, "Even", "115200");
    CSerialPortDlg dlg(nullptr, &scp);
    Combo(&dlg, "IDC_1044")->setEditText("1200");
    CFindSerialDlg* pFind = OpenFind(dlg);
    QVERIFY(pFind);
    VELOR_STEP(StartAndWaitFor(pFind, "1200 baud, parity Even (setting 2 of 24), SCP address 2"));
    QElapsedTimer timer;
    timer.start();
    ClickButton(pFind, "btnStop");
    while (pFind->Worker().Running() && timer.elapsed() < 2000)
        QTest::qWait(1);
    QVERIFY2(timer.elapsed() < 100, QByteArray::number(timer.elapsed()));
    QVERIFY(Status(pFind).startsWith("Stopped: 0 unit(s)"));
    QVERIFY(pFind->findChild<QPushButton*>("btnStart")->isEnabled());
    QVERIFY(pFind->findChild<QCheckBox*>("chkAll")->isEnabled());
    CheckLineAsFound();
}

void FindSerialTest::closingMidProbePutsTheLineBack() {
    ScpParams scp = *ScpParams::Make("COM1", 0, "Even", "115200");
    // The Find window closed, and the serial port dialog going with its Find window.
    for (bool bCloseDialog : {false, true}) {
        auto* pDlg = new CSerialPortDlg(nullptr, &scp);
        CFindSerialDlg* pFind = OpenFind(*pDlg);
        QVERIFY(pFind);
        VELOR_STEP(StartAndWaitFor(pFind, "setting 2 of 24"));
        const std::shared_ptr<CManualResetEvent> pEnded = pFind->Worker().Ended();
        QElapsedTimer timer;
        timer.start();
        if (bCloseDialog)
            delete pDlg;
        else
            pFind->close();
        QTRY_VERIFY_WITH_TIMEOUT(pEnded->IsSet(), 1000);
        QVERIFY2(timer.elapsed() < 200, QByteArray::number(timer.elapsed()));
        QTest::qWait(20); // what the worker posted last arrives at no window
        CheckLineAsFound();
        if (!bCloseDialog) delete pDlg;
    }
}

void FindSerialTest::aPortNameThatIsNoPortIsSaid() {
    ScpParams scp = *ScpParams::Make("COM1", 0, "Even", "115200");
    CSerialPortDlg dlg(nullptr, &scp);
    dlg.show();
    Combo(&dlg, "IDC_1047")->setEditText("COMX");
    CFindSerialDlg* pFind = OpenFind(dlg);
    QVERIFY(pFind);
    QVERIFY2(Status(pFind).contains("\"COMX\""), qPrintable(Status(pFind)));
    QVERIFY(!pFind->findChild<QPushButton*>("btnStart")->isEnabled());
}

QTEST_MAIN(FindSerialTest)
#include "FindSerialTest.moc"
