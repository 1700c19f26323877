// The Find Units window against simulated units on loopback: what it finds, what Use
// fills in, and that Stop and closing end a scan at once.

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QTableWidget>
#include <QtTest>

#include "GuiTestUtil.h"
#include "SimServerUtil.h"
#include "params/NetParams.h"
#include "platform/TimeConstants.h"
#include "platform/WinThread.h"
#include "shell/FindUnitsDlg.h"
#include "shell/IpAddressDlg.h"

namespace {
constexpr uint16_t SITE_PORT = 39731;

QString Text(QWidget* pDlg, const char* pName) {
    return pDlg->findChild<QLineEdit*>(pName)->text();
}

// Starts the scan and waits for the worker to end.
void RunScan(CFindUnitsDlg* pFind) {
    ClickButton(pFind, "btnStart");
    QVERIFY(pFind->Worker().Running());
    QTRY_VERIFY_WITH_TIMEOUT(!pFind->Worker().Running(), 10000);
}

// A scan big enough to be under way when the test acts.
void StartWideScan(CFindUnitsDlg& dlg) {
    dlg.findChild<QLineEdit*>("edRange")->setText("127.0.0.0/18");
    ClickButton(&dlg, "btnStart");
    QVERIFY(dlg.Worker().Running());
}
} // namespace

class FindUnitsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void findsUnitsAndUseFillsTheDialog();
    void stopEndsTheScanAtOnce();
    void closingMidScanIsSafe();

private:
    CSimSite m_site;
};

void FindUnitsTest::initTestCase() {
    TimeConstants().m_nScanWaitMs = 150;
    SSiteLayout layout;
    layout.m_nUnits = 3;
    layout.m_strFirstHost = "127.0.0.201";
    layout.m_nPort = SITE_PORT;
    layout.m_nOtherAddrEvery = 3; // the third on comm address 2
    std::string strError;
    QVERIFY2(StartSite(m_site, layout, strError), strError.c_str());
}

void FindUnitsTest::findsUnitsAndUseFillsTheDialog() {
    NetParams rec = NetParams::Defaults();
    rec.SetDottedAt(NetParams::OFS_IP, "127.0.0.9");
    rec.SetPort(SITE_PORT);
    CIpAddressDlg dlg(nullptr, &rec);
    dlg.show();
    ClickButton(&dlg, "btnFind");
    auto* pFind = dlg.findChild<CFindUnitsDlg*>();
    QVERIFY(pFind && pFind->isVisible());
    QCOMPARE(Text(pFind, "edRange"), "127.0.0.0/24");
    QCOMPARE(Text(pFind, "edPort"), QString::number(SITE_PORT));

    // Comm address 0 finds two; all finds the third too.
    VELOR_STEP(RunScan(pFind));
    auto* pTable = pFind->findChild<QTableWidget*>("tblUnits");
    QCOMPARE(pTable->rowCount(), 2);
    pFind->findChild<QComboBox*>("cboCommAddr")->setCurrentText("all");
    VELOR_STEP(RunScan(pFind));
    QCOMPARE(pTable->rowCount(), 3);
    QVERIFY(pFind->findChild<QLabel*>("lblStatus")->text().startsWith("Done"));

    // Sorted by address: the third unit is the last row.
    pTable->sortByColumn(0, Qt::AscendingOrder);
    QCOMPARE(pTable->item(2, 0)->text(), "127.0.0.203");
    QCOMPARE(pTable->item(2, 1)->text(), "2");
    QCOMPARE(pTable->item(2, 2)->text(), QString::number(0x1003));
    pTable->selectRow(2);
    ClickButton(pFind, "btnUse");
    QTRY_VERIFY(!pFind->isVisible());
    const QStringList octets = {Text(&dlg, "IDC_1002"), Text(&dlg, "IDC_1003"),
                                Text(&dlg, "IDC_1004"), Text(&dlg, "IDC_1011")};
    QCOMPARE(octets.join('.'), "127.0.0.203");
    QCOMPARE(Text(&dlg, "IDC_1053"), QString::number(SITE_PORT));
    QCOMPARE(dlg.findChild<QSpinBox*>("IDC_1066")->value(), 2);
}

void FindUnitsTest::stopEndsTheScanAtOnce() {
    CFindUnitsDlg dlg(nullptr, 0x7F000001, SITE_PORT, 0);
    dlg.show();
    VELOR_STEP(StartWideScan(dlg));
    QElapsedTimer timer;
    timer.start();
    ClickButton(&dlg, "btnStop");
    QTRY_VERIFY_WITH_TIMEOUT(!dlg.Worker().Running(), 2000);
    QVERIFY2(timer.elapsed() < 500, QByteArray::number(timer.elapsed()));
    QVERIFY(dlg.findChild<QLabel*>("lblStatus")->text().startsWith("Stopped"));
}

void FindUnitsTest::closingMidScanIsSafe() {
    auto* pDlg = new CFindUnitsDlg(nullptr, 0x7F000001, SITE_PORT, 0);
    pDlg->show();
    VELOR_STEP(StartWideScan(*pDlg));
    QTest::qWait(50); // hits and progress on their way to the window
    const std::shared_ptr<CManualResetEvent> pEnded = pDlg->Worker().Ended();
    pDlg->close();
    delete pDlg;
    QTRY_VERIFY_WITH_TIMEOUT(pEnded->IsSet(), 500);
    QTest::qWait(20); // what the worker posted last arrives at no window
}

QTEST_MAIN(FindUnitsTest)
#include "FindUnitsTest.moc"
