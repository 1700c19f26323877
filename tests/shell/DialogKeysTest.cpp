// The main window, the link dialogs and the notices from the keyboard, as a technician
// uses them: where the focus starts, the Tab order, Enter, Escape and the mnemonics; and
// the serial port list picked through its popup and typed into.

#include <QAbstractItemView>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QtTest>

#include "GuiTestUtil.h"
#include "params/NetParams.h"
#include "params/ScpParams.h"
#include "platform/SerialDevice.h"
#include "shell/IpAddressDlg.h"
#include "shell/MainDlg.h"
#include "shell/NoticeDlgs.h"
#include "shell/SerialPortDlg.h"

namespace {
QWidget* Child(QWidget* pDlg, const char* pName) {
    return pDlg->findChild<QWidget*>(pName);
}
QComboBox* Combo(QWidget* pDlg, int nId) {
    return pDlg->findChild<QComboBox*>(QString("IDC_%1").arg(nId));
}

// A key as the window system delivers it: to the active window's focus widget,
// shortcuts first.
void Key(QWidget* pDlg, Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QTest::keyClick(pDlg->windowHandle(), key, mods);
}

bool Show(QDialog& dlg) {
    dlg.show();
    dlg.activateWindow();
    return QTest::qWaitForWindowActive(&dlg);
}

// The object names of the widgets Tab visits from where the focus starts, once round.
QStringList TabOrder(QDialog& dlg) {
    QStringList names;
    QWidget* pFirst = QApplication::focusWidget();
    for (int i = 0; i < 20 && QApplication::focusWidget(); ++i) {
        QWidget* pFocus = QApplication::focusWidget();
        // A spin box's or combo's own edit stands for it.
        if (pFocus->parentWidget() && (qobject_cast<QSpinBox*>(pFocus->parentWidget()) ||
                                       qobject_cast<QComboBox*>(pFocus->parentWidget())))
            pFocus = pFocus->parentWidget();
        names << pFocus->objectName();
        Key(&dlg, Qt::Key_Tab);
        if (QApplication::focusWidget() == pFirst) break;
    }
    return names;
}

std::vector<serialdev::SPortInfo> TwoAdapters() {
    return {{"/dev/ttyUSB0", "FT232R USB UART"}, {"/dev/ttyUSB1", "CP2102"}};
}
const QString ADAPTER_ITEM = "COM3 - /dev/ttyUSB0 (FT232R USB UART)";
} // namespace

class DialogKeysTest : public QObject {
    Q_OBJECT
private slots:
    void cleanup();
    void serialPortListEntriesBecomeTheirNumber();
    void serialPortKeys();
    void ipAddressKeys();
    void noticeKeys();
    void mainWindowKeys();
};

void DialogKeysTest::cleanup() {
    for (int n = 1; n <= 9; ++n)
        serialdev::MapPort(n, {});
}

void DialogKeysTest::serialPortListEntriesBecomeTheirNumber() {
    const auto pfnOld = CSerialPortDlg::SetPortLister(TwoAdapters);
    ScpParams scp;
    CSerialPortDlg dlg(nullptr, &scp);
    QVERIFY(Show(dlg));
    QComboBox* pPort = Combo(&dlg, 1047);
    QCOMPARE(pPort->itemText(2), ADAPTER_ITEM);

    // Picked from the popup with the mouse, and the same entry picked again.
    const auto pick = [pPort](int nRow) {
        pPort->showPopup();
        auto* pView = pPort->view();
        QTRY_VERIFY(pView->isVisible());
        const QRect rc = pView->visualRect(pView->model()->index(nRow, 0));
        QTest::mouseClick(pView->viewport(), Qt::LeftButton, {}, rc.center());
        QTRY_VERIFY(!pView->isVisible());
    };
    pick(2);
    QCOMPARE(pPort->currentText(), "COM3");
    pick(2);
    QCOMPARE(pPort->currentText(), "COM3");
    // The same again with the keyboard: F4 opens the list, Enter takes its entry.
    Key(&dlg, Qt::Key_F4);
    QTRY_VERIFY(pPort->view()->isVisible());
    Key(pPort->view()->window(), Qt::Key_Return); // the open list has the keyboard
    QTRY_VERIFY(!pPort->view()->isVisible());
    QCOMPARE(pPort->currentText(), "COM3");
    QVERIFY(dlg.isVisible());

    // Typed: nothing is completed, neither here nor in the baud rate.
    pPort->lineEdit()->selectAll();
    QTest::keyClicks(pPort->lineEdit(), "COM");
    QCOMPARE(pPort->currentText(), "COM");
    QTest::keyClicks(pPort->lineEdit(), "3");
    QCOMPARE(pPort->currentText(), "COM3");
    QComboBox* pBaud = Combo(&dlg, 1044);
    pBaud->setFocus();
    pBaud->lineEdit()->selectAll();
    QTest::keyClicks(pBaud->lineEdit(), "1");
    QCOMPARE(pBaud->currentText(), "1");
    pBaud->setEditText("9600");

    // The whole entry text in the field, however it got there, is its number on OK.
    CDialogAnswerer refusals;
    refusals.On("[SerialPort]", [](QDialog*) { return std::nullopt; });
    pPort->setEditText(ADAPTER_ITEM);
    ClickButton(&dlg, "IDOK");
    QCOMPARE(refusals.Log(), QStringList());
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QCOMPARE(scp.PortName(), "COM3");
    QCOMPARE(scp.BaudText(), "9600");
    QCOMPARE(serialdev::ResolvePort(3), "/dev/ttyUSB0");

    // With the keyboard in the closed list: Down walks the entries, each shown as its number.
    CSerialPortDlg again(nullptr, &scp);
    QVERIFY(Show(again));
    QCOMPARE(QApplication::focusWidget(), Combo(&again, 1047));
    for (int i = 0; i < 3; ++i)
        Key(&again, Qt::Key_Down);
    QCOMPARE(Combo(&again, 1047)->currentText(), "COM4");
    Key(&again, Qt::Key_Return);
    QCOMPARE(again.result(), int(QDialog::Accepted));
    QCOMPARE(scp.PortName(), "COM4");
    QCOMPARE(Combo(&again, 1047)->count(), 4);
    CSerialPortDlg::SetPortLister(pfnOld);
}

void DialogKeysTest::serialPortKeys() {
    ScpParams scp = *ScpParams::Make("COM2", 3, "None", "9600");
    const ScpParams before = scp;
    CSerialPortDlg dlg(nullptr, &scp);
    QVERIFY(Show(dlg));
    // The port takes the focus with its text selected, ready to be typed over.
    QCOMPARE(Combo(&dlg, 1047)->lineEdit()->selectedText(), "COM1");
    QCOMPARE(TabOrder(dlg),
             QStringList({"IDC_1047", "IDC_1044", "IDC_1045", "IDC_1046", "IDOK", "IDCANCEL",
                          "btnFind"}));
    // The labels' mnemonics reach their fields.
    for (const auto& [key, pName] : {std::pair{Qt::Key_B, "IDC_1044"},
                                     {Qt::Key_P, "IDC_1045"},
                                     {Qt::Key_A, "IDC_1046"},
                                     {Qt::Key_E, "IDC_1047"}}) {
        Key(&dlg, key, Qt::AltModifier);
        QCOMPARE(QApplication::focusWidget(), Child(&dlg, pName));
    }
    // Escape is Cancel, the record untouched.
    Key(&dlg, Qt::Key_Escape);
    QCOMPARE(dlg.result(), int(QDialog::Rejected));
    QVERIFY(!dlg.isVisible());
    QVERIFY(scp.m_abData == before.m_abData);

    // Enter in a field is OK, with what is typed there: not added to the list.
    CSerialPortDlg again(nullptr, &scp);
    QVERIFY(Show(again));
    Key(&again, Qt::Key_A, Qt::AltModifier);
    QComboBox* pAddr = Combo(&again, 1046);
    pAddr->lineEdit()->selectAll();
    QTest::keyClicks(pAddr->lineEdit(), "c");
    Key(&again, Qt::Key_Return);
    QCOMPARE(again.result(), int(QDialog::Accepted));
    QCOMPARE(scp.UnitAddress(), 12u);
    QCOMPARE(scp.PortName(), "COM1");
    QCOMPARE(pAddr->count(), 16);
}

void DialogKeysTest::ipAddressKeys() {
    NetParams rec = NetParams::Defaults();
    CIpAddressDlg dlg(nullptr, &rec);
    QVERIFY(Show(dlg));
    // The first octet takes the focus with its text selected, ready to be typed over.
    auto* pFirst = qobject_cast<QLineEdit*>(Child(&dlg, "IDC_1002"));
    QCOMPARE(QApplication::focusWidget(), pFirst);
    QCOMPARE(pFirst->selectedText(), "192");
    QCOMPARE(TabOrder(dlg), QStringList({"IDC_1002", "IDC_1003", "IDC_1004", "IDC_1011", "IDC_1053",
                                         "IDC_1066", "IDOK", "IDCANCEL", "btnFind"}));
    Key(&dlg, Qt::Key_P, Qt::AltModifier);
    QCOMPARE(QApplication::focusWidget(), Child(&dlg, "IDC_1053"));
    Key(&dlg, Qt::Key_V, Qt::AltModifier);
    QCOMPARE(QApplication::focusWidget(), pFirst);
    // The spin's arrow keys, within its range.
    Child(&dlg, "IDC_1066")->setFocus();
    for (int i = 0; i < 20; ++i)
        Key(&dlg, Qt::Key_Up);
    QCOMPARE(qobject_cast<QSpinBox*>(Child(&dlg, "IDC_1066"))->value(), 15);

    // Enter in a field is OK: its check runs first and keeps the dialog on a refusal
    // (an octet that is no number gets the number message, not the range one).
    pFirst->setFocus();
    pFirst->setText("3x");
    QString strText;
    ExpectMessage(&strText);
    Key(&dlg, Qt::Key_Return);
    QTRY_COMPARE(strText, "Please enter a positive integer.");
    QVERIFY(dlg.isVisible());
    QCOMPARE(dlg.focusWidget(), pFirst);
    QCOMPARE(pFirst->selectedText(), "3x");
    QVERIFY(Show(dlg));
    QTest::keyClicks(pFirst, "10");
    Key(&dlg, Qt::Key_Return);
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QCOMPARE(rec.DottedAt(NetParams::OFS_IP), "10.168.0.132");
    QCOMPARE(rec.GetU32(NetParams::OFS_COMM_ADDR), 15u);

    // Alt+A is Cancel, Alt+O is OK, Escape is Cancel.
    for (const auto& [key, mods, nResult] :
         {std::tuple{Qt::Key_A, Qt::AltModifier, int(QDialog::Rejected)},
          {Qt::Key_O, Qt::AltModifier, int(QDialog::Accepted)},
          {Qt::Key_Escape, Qt::NoModifier, int(QDialog::Rejected)}}) {
        CIpAddressDlg again(nullptr, &rec);
        QVERIFY(Show(again));
        Key(&again, key, mods);
        QTRY_VERIFY(!again.isVisible());
        QCOMPARE(again.result(), nResult);
    }
}

void DialogKeysTest::noticeKeys() {
    CCheckSwitchesEthDlg eth(nullptr);
    CCheckSwitchesSerDlg ser(nullptr);
    CUpdateDoneDlg done(nullptr);
    // Their titles and every text, whole.
    const auto texts = [](QDialog* pDlg) {
        QStringList list = {pDlg->windowTitle()};
        for (QLabel* pLabel : pDlg->findChildren<QLabel*>())
            list << pLabel->text();
        for (QAbstractButton* pButton : pDlg->findChildren<QAbstractButton*>())
            list << pButton->text();
        return list;
    };
    QCOMPARE(texts(&ser),
             QStringList({"Check Switches",
                          "On SW2, switch 4 must be OFF. On SW 3, switch 1, 4 and 5 must be OFF "
                          "and switch 2 must be ON. To use defaults, all SW2 and SW3 switches OFF "
                          "except SW2, Switch 3 ON and SW3, switch 2 ON and rotary switch to 0. "
                          "Note:Power Orvik off and on if switches changed",
                          "OK", "Cancel"}));
    QCOMPARE(
        texts(&done),
        QStringList({"Update Successful",
                     "The IP address on the Velor has been updated successfully. To use the "
                     "new IP Address the Velor must be rebooted. Click OK to reboot the Velor.",
                     "IMPORTANT:", "Set SW 3 switches 2 and 3 to OFF before resetting!!", "OK",
                     "Cancel"}));
    for (QDialog* pDlg : std::initializer_list<QDialog*>{&eth, &ser, &done}) {
        // OK has the focus; Tab goes to Cancel and back. Enter is OK.
        QVERIFY(Show(*pDlg));
        QCOMPARE(QApplication::focusWidget(), Child(pDlg, "IDOK"));
        QCOMPARE(TabOrder(*pDlg), QStringList({"IDOK", "IDCANCEL"}));
        Key(pDlg, Qt::Key_Return);
        QCOMPARE(pDlg->result(), int(QDialog::Accepted));
        // Escape and the close box are Cancel.
        QVERIFY(Show(*pDlg));
        Key(pDlg, Qt::Key_Escape);
        QCOMPARE(pDlg->result(), int(QDialog::Rejected));
        QVERIFY(Show(*pDlg));
        pDlg->setResult(QDialog::Accepted);
        pDlg->close();
        QCOMPARE(pDlg->result(), int(QDialog::Rejected));
    }
}

void DialogKeysTest::mainWindowKeys() {
    // The capsule buttons are not in the Tab order: OK and Close only, OK first.
    {
        CMainDlg dlg;
        QVERIFY(Show(dlg));
        QCOMPARE(QApplication::focusWidget(), Child(&dlg, "IDOK"));
        QCOMPARE(TabOrder(dlg), QStringList({"IDOK", "IDCANCEL"}));
        // A capsule clicked (it takes the focus) and its notice cancelled: Enter is
        // still OK.
        CDialogAnswerer answers;
        answers.On("[EthNotice]", [](QDialog*) { return false; });
        QWidget* pEthernet = Child(&dlg, "IDC_1042");
        QTest::mouseClick(dlg.windowHandle(), Qt::LeftButton, {}, pEthernet->geometry().center());
        QCOMPARE(answers.Log(), QStringList({"[EthNotice] Cancel"}));
        QVERIFY(Show(dlg));
        QCOMPARE(QApplication::focusWidget(), pEthernet);
        Key(&dlg, Qt::Key_Return);
        QVERIFY(!dlg.isVisible());
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
    }
    for (const auto& [key, mods, nResult] :
         {std::tuple{Qt::Key_Escape, Qt::NoModifier, int(QDialog::Rejected)},
          {Qt::Key_O, Qt::AltModifier, int(QDialog::Accepted)},
          {Qt::Key_C, Qt::AltModifier, int(QDialog::Rejected)}}) {
        CMainDlg dlg;
        QVERIFY(Show(dlg));
        Key(&dlg, key, mods);
        QTRY_VERIFY(!dlg.isVisible());
        QCOMPARE(dlg.result(), nResult);
    }
}

QTEST_MAIN(DialogKeysTest)
#include "DialogKeysTest.moc"
