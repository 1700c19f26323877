// The dialogs on their own: what they open with, what OK writes into the record,
// what a refused field does, and that Cancel writes nothing.

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QSpinBox>
#include <QtTest>

#include "GuiTestUtil.h"
#include "params/NetParams.h"
#include "params/ScpParams.h"
#include "shell/IpAddressDlg.h"
#include "shell/NetConfigDlg.h"
#include "shell/NoticeDlgs.h"
#include "shell/SerialPortDlg.h"
#include "shell/UnitPropertiesDlg.h"

namespace {
QLineEdit* Edit(QWidget* pDlg, int nId) {
    return pDlg->findChild<QLineEdit*>(QString("IDC_%1").arg(nId));
}
QComboBox* Combo(QWidget* pDlg, int nId) {
    return pDlg->findChild<QComboBox*>(QString("IDC_%1").arg(nId));
}
template <class T> T* Child(QWidget* pDlg, int nId) {
    return pDlg->findChild<T*>(QString("IDC_%1").arg(nId));
}

// Presses OK on a shown dialog whose check fails: the message it shows.
QString OkRefused(QDialog& dlg) {
    QString strText;
    ExpectMessage(&strText);
    ClickButton(&dlg, "IDOK");
    return strText;
}

NetParams SampleRecord() {
    NetParams rec = NetParams::Defaults();
    for (size_t i = 0; i < NetParams::SIZE; ++i)
        rec[i] = static_cast<uint8_t>(0x11 + i);
    rec.SetDottedAt(NetParams::OFS_IP, "10.1.2.3");
    rec.SetDottedAt(NetParams::OFS_MASK, "255.255.255.0");
    rec.SetDottedAt(NetParams::OFS_GATEWAY, "10.1.2.254");
    rec.SetPort(3001);
    rec.SetTimeout(30);
    return rec;
}
} // namespace

class DialogsTest : public QObject {
    Q_OBJECT
private slots:
    void ipAddressOpensWithTheRecordAndWritesOnOk();
    void ipAddressRangeFailureKeepsTheDialogAndTheRecord();
    void ipAddressCancelWritesNothing();
    void serialPortDefaultsAndRecordBytes();
    void serialPortRefusesTextsItCannotHold();
    void keyConversions();
    void keyFieldTakesOnlyKeyDigits();
    void netConfigOkWritesTheRecord();
    void netConfigLocksAndRangeFailure();
    void netConfigCancelWritesNothing();
    void propertiesDecodeAndEncode();
    void noticesShowTheirTexts();
};

void DialogsTest::ipAddressOpensWithTheRecordAndWritesOnOk() {
    NetParams rec = NetParams::Defaults();
    CIpAddressDlg dlg(nullptr, &rec);
    QCOMPARE(Edit(&dlg, 1002)->text(), "192");
    QCOMPARE(Edit(&dlg, 1011)->text(), "132");
    QCOMPARE(Edit(&dlg, 1053)->text(), "3001");
    auto* pSpin = Child<QSpinBox>(&dlg, 1066);
    QCOMPARE(pSpin->value(), 0);
    pSpin->setValue(99);
    QCOMPARE(pSpin->value(), 15);
    pSpin->setValue(-1);
    QCOMPARE(pSpin->value(), 0);

    dlg.show();
    Edit(&dlg, 1002)->setText("10");
    Edit(&dlg, 1011)->setText("255");
    Edit(&dlg, 1053)->setText("4321");
    pSpin->setValue(7);
    ClickButton(&dlg, "IDOK");
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    NetParams expected = NetParams::Defaults();
    expected.SetDottedAt(NetParams::OFS_IP, "10.168.0.255");
    expected.SetPort(4321);
    expected.SetU32(NetParams::OFS_COMM_ADDR, 7);
    QVERIFY(rec == expected);

    // The next one shows what was entered.
    CIpAddressDlg again(nullptr, &rec);
    QCOMPARE(Edit(&again, 1002)->text(), "10");
    QCOMPARE(Child<QSpinBox>(&again, 1066)->value(), 7);
}

void DialogsTest::ipAddressRangeFailureKeepsTheDialogAndTheRecord() {
    NetParams rec = NetParams::Defaults();
    const NetParams before = rec;
    CIpAddressDlg dlg(nullptr, &rec);
    dlg.show();
    Edit(&dlg, 1002)->setText("10");
    Edit(&dlg, 1004)->setText("256");
    QCOMPARE(OkRefused(dlg), "Please enter an integer between 0 and 255.");
    QVERIFY(dlg.isVisible());
    QCOMPARE(dlg.focusWidget(), Edit(&dlg, 1004));
    QCOMPARE(Edit(&dlg, 1004)->selectedText(), "256");
    QVERIFY(rec == before);

    Edit(&dlg, 1004)->setText("0");
    Edit(&dlg, 1053)->setText("x1");
    QCOMPARE(OkRefused(dlg), "Please enter a positive integer.");
    QCOMPARE(dlg.focusWidget(), Edit(&dlg, 1053));
    QVERIFY(rec == before);
}

void DialogsTest::ipAddressCancelWritesNothing() {
    NetParams rec = SampleRecord();
    const NetParams before = rec;
    CIpAddressDlg dlg(nullptr, &rec);
    dlg.show();
    Edit(&dlg, 1002)->setText("1");
    ClickButton(&dlg, "IDCANCEL");
    QCOMPARE(dlg.result(), int(QDialog::Rejected));
    QVERIFY(rec == before);
}

void DialogsTest::serialPortDefaultsAndRecordBytes() {
    // A record that held a longer choice before: no character of it may remain.
    ScpParams scp = *ScpParams::Make("COM2", 3, "None", "115200");
    CSerialPortDlg dlg(nullptr, &scp);
    QCOMPARE(Combo(&dlg, 1047)->currentText(), "COM1");
    QCOMPARE(Combo(&dlg, 1044)->currentText(), "115200");
    QCOMPARE(Combo(&dlg, 1045)->currentText(), "Even");
    QCOMPARE(Combo(&dlg, 1046)->currentText(), "0");
    QCOMPARE(Combo(&dlg, 1044)->itemText(3), "1200");
    QCOMPARE(Combo(&dlg, 1046)->count(), 16);

    dlg.show();
    Combo(&dlg, 1044)->setCurrentText("9600");
    Combo(&dlg, 1045)->setCurrentText("Odd");
    Combo(&dlg, 1046)->setCurrentText("F");
    ClickButton(&dlg, "IDOK");
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    const std::array<uint8_t, ScpParams::SIZE> expected = {
        'C', 'O', 'M', '1', 15, 0, 0, 0, 'O', 'd', 'd', 0, '9', '6', '0', '0', 0, 0, 0};
    QVERIFY(scp.m_abData == expected);

    // Cancel leaves every byte, and the dialog opens with the defaults again.
    CSerialPortDlg again(nullptr, &scp);
    QCOMPARE(Combo(&again, 1044)->currentText(), "115200");
    again.show();
    Combo(&again, 1047)->setCurrentText("COM2");
    ClickButton(&again, "IDCANCEL");
    QVERIFY(scp.m_abData == expected);
}

void DialogsTest::serialPortRefusesTextsItCannotHold() {
    ScpParams scp = *ScpParams::Make("COM1", 0, "Even", "115200");
    const ScpParams before = scp;
    CSerialPortDlg dlg(nullptr, &scp);
    dlg.show();
    Combo(&dlg, 1047)->setCurrentText("COM10");
    QCOMPARE(OkRefused(dlg), "Serial port \"COM10\" is too long: at most 4 characters.");
    QVERIFY(dlg.isVisible());
    QCOMPARE(dlg.focusWidget(), Combo(&dlg, 1047));
    QCOMPARE(Combo(&dlg, 1047)->lineEdit()->selectedText(), "COM10");
    QVERIFY(scp.m_abData == before.m_abData);

    Combo(&dlg, 1047)->setCurrentText("COM3");
    Combo(&dlg, 1044)->setCurrentText("1152000");
    QCOMPARE(OkRefused(dlg), "Baud rate \"1152000\" is too long: at most 6 characters.");
    QCOMPARE(dlg.focusWidget(), Combo(&dlg, 1044));
    Combo(&dlg, 1044)->setCurrentText("2400");
    Combo(&dlg, 1045)->setCurrentText("Evenly");
    QCOMPARE(OkRefused(dlg), "Parity \"Evenly\" is too long: at most 4 characters.");
    Combo(&dlg, 1045)->setCurrentText("None");
    for (const char* pAddr : {"10", "G", ""}) {
        Combo(&dlg, 1046)->setCurrentText(pAddr);
        QCOMPARE(OkRefused(dlg), "Please enter the SCP address as one hexadecimal digit, 0 to F.");
    }
    QVERIFY(scp.m_abData == before.m_abData);

    Combo(&dlg, 1046)->setCurrentText("b");
    ClickButton(&dlg, "IDOK");
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QCOMPARE(scp.PortName(), "COM3");
    QCOMPARE(scp.UnitAddress(), 11u);
}

void DialogsTest::keyConversions() {
    QLineEdit field;
    const uint8_t abKey[8] = {0x12, 0xAB, 0x00, 0xFF, 0x3C, 0x7E, 0x19, 0xA4};
    CNetConfigDlg::KeyToHex(&field, abKey);
    QCOMPARE(field.text(), "12AB00FF3C7E19A4");

    struct SCase {
        const char* pText;
        bool bRefused;
        std::array<uint8_t, 8> abExpected;
    };
    const std::array<uint8_t, 8> OLD = {9, 9, 9, 9, 9, 9, 9, 9};
    const SCase cases[] = {
        {"", false, {}},
        {"123", false, {0x12, 0x30}},
        {"abcdef19", false, {0xAB, 0xCD, 0xEF, 0x19}},
        {"ABCDEF19", false, {0xAB, 0xCD, 0xEF, 0x19}},
        {"1111111111111111", false, {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11}},
        {"12AB00FF3C7E19A4", true, OLD}, // a zero half-byte as KeyToHex shows it
        {"12G4", true, OLD},
    };
    for (const SCase& c : cases) {
        std::array<uint8_t, 8> ab = OLD;
        field.setText(c.pText);
        QCOMPARE(CNetConfigDlg::HexToKey(&field, ab.data()), c.bRefused);
        QVERIFY2(ab == c.abExpected, c.pText);
    }
}

void DialogsTest::keyFieldTakesOnlyKeyDigits() {
    NetParams rec = SampleRecord();
    CNetConfigDlg dlg(nullptr, &rec, false, true, 1);
    QLineEdit* pKey = Edit(&dlg, 1081);
    pKey->clear();
    QTest::keyClicks(pKey, "0a G-1fz");
    QCOMPARE(pKey->text(), "a1f");
    QCOMPARE(pKey->maxLength(), 16);
}

void DialogsTest::netConfigOkWritesTheRecord() {
    NetParams rec = SampleRecord();
    const NetParams before = rec;
    CNetConfigDlg dlg(nullptr, &rec, false, true, 0x1234);
    QCOMPARE(Edit(&dlg, 1036)->text(), "10");
    QCOMPARE(Edit(&dlg, 1052)->text(), "0");
    QCOMPARE(Edit(&dlg, 1017)->text(), "254");
    QCOMPARE(Edit(&dlg, 1000)->text(), "3001");
    QCOMPARE(Edit(&dlg, 1048)->text(), "30");
    QCOMPARE(Edit(&dlg, 1079)->text(), "4660");
    QCOMPARE(Edit(&dlg, 1080)->text(), "2122232425262728");

    dlg.show();
    Edit(&dlg, 1039)->setText("9");
    Edit(&dlg, 1048)->setText("77");
    Edit(&dlg, 1080)->setText("abcd");
    Edit(&dlg, 1082)->setText("1203"); // still holds a 0: this key keeps its value
    QString strAsked;
    AnswerQuestion(&strAsked, false);
    ClickButton(&dlg, "IDOK");
    QVERIFY(strAsked.startsWith("The TDES Key 2 field still holds the digit 0"));
    QCOMPARE(dlg.result(), int(QDialog::Accepted));

    NetParams expected = before;
    expected[3] = 9;
    expected.SetTimeout(77);
    const uint8_t abDes[8] = {0xAB, 0xCD};
    std::copy(abDes, abDes + 8, expected.Data() + NetParams::OFS_DES_KEY);
    for (size_t i = 53; i <= 60; ++i)
        expected[i] = 0;
    QVERIFY(rec == expected);
}

void DialogsTest::netConfigLocksAndRangeFailure() {
    NetParams rec = SampleRecord();
    const NetParams before = rec;
    {
        CNetConfigDlg dlg(nullptr, &rec, false, true, 1);
        dlg.show();
        Edit(&dlg, 1015)->setText("300");
        QCOMPARE(OkRefused(dlg), "Please enter an integer between 0 and 255.");
        QCOMPARE(dlg.focusWidget(), Edit(&dlg, 1015));
        QVERIFY(dlg.isVisible());
        QVERIFY(rec == before);
    }

    CNetConfigDlg dlg(nullptr, &rec, true, false, 1);
    for (int nId : {1036, 1049, 1052, 1001, 1017})
        QVERIFY(!Edit(&dlg, nId)->isEnabled());
    for (int nId : {1080, 1081, 1082, 1083})
        QVERIFY(!Edit(&dlg, nId)->isEnabled());
    QVERIFY(Edit(&dlg, 1000)->isEnabled() && Edit(&dlg, 1048)->isEnabled());
    QVERIFY(Edit(&dlg, 1079)->isReadOnly());
    // Locked fields go back unchanged; the port can still change.
    dlg.show();
    Edit(&dlg, 1000)->setText("4000");
    ClickButton(&dlg, "IDOK");
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QCOMPARE(rec.DottedAt(NetParams::OFS_IP), "10.1.2.3");
    QCOMPARE(rec.Port(), 4000);
    QVERIFY(std::equal(rec.Data() + 10, rec.Data() + 53, before.Data() + 10));
}

void DialogsTest::netConfigCancelWritesNothing() {
    NetParams rec = SampleRecord();
    const NetParams before = rec;
    CNetConfigDlg dlg(nullptr, &rec, false, true, 1);
    dlg.show();
    Edit(&dlg, 1036)->setText("1");
    Edit(&dlg, 1080)->setText("1");
    ClickButton(&dlg, "IDCANCEL");
    QVERIFY(rec == before);
}

void DialogsTest::propertiesDecodeAndEncode() {
    uint8_t ab[NetParams::SIZE] = {};
    ab[24] = 0x04;
    {
        CUnitPropertiesDlg dlg(nullptr, ab, 0x12345);
        QCOMPARE(Child<QListWidget>(&dlg, 1057)->currentItem()->text(), "115200");
        QCOMPARE(Edit(&dlg, 1069)->text(), "9029");
    }
    ab[24] = 0x07;
    {
        CUnitPropertiesDlg dlg(nullptr, ab, 1);
        QCOMPARE(Child<QListWidget>(&dlg, 1057)->currentItem()->text(), "9600");
    }

    // Bits not shown are written as 0; dial-up backup is never offered.
    ab[24] = 0x04 | 0x10 | 0x40;
    ab[25] = 0xFF;
    ab[28] = 3;
    {
        CUnitPropertiesDlg dlg(nullptr, ab, 1);
        auto* pDialUp = Child<QCheckBox>(&dlg, 1060);
        QVERIFY(!pDialUp->isChecked() && !pDialUp->isEnabled());
        QCOMPARE(Child<QSpinBox>(&dlg, 1066)->value(), 3);
        dlg.show();
        ClickButton(&dlg, "IDOK");
    }
    QCOMPARE(ab[24], 0x04);
    QCOMPARE(ab[25], 0x40);
    QCOMPARE(ab[28], 3);

    // Unchanged shown bits come back as they were; Cancel writes nothing.
    ab[24] = 0x80 | 0x20 | 0x08 | 0x03;
    ab[25] = 0x40;
    {
        CUnitPropertiesDlg dlg(nullptr, ab, 1);
        dlg.show();
        ClickButton(&dlg, "IDOK");
    }
    QCOMPARE(ab[24], 0xAB);
    QCOMPARE(ab[25], 0x40);
    {
        CUnitPropertiesDlg dlg(nullptr, ab, 1);
        dlg.show();
        Child<QListWidget>(&dlg, 1057)->setCurrentRow(7);
        Child<QCheckBox>(&dlg, 1062)->setChecked(false);
        Child<QSpinBox>(&dlg, 1066)->setValue(12);
        ClickButton(&dlg, "IDCANCEL");
    }
    QCOMPARE(ab[24], 0xAB);
    QCOMPARE(ab[28], 3);
    {
        CUnitPropertiesDlg dlg(nullptr, ab, 1);
        dlg.show();
        Child<QListWidget>(&dlg, 1057)->setCurrentRow(7);
        Child<QCheckBox>(&dlg, 1062)->setChecked(false);
        Child<QCheckBox>(&dlg, 1067)->setChecked(false);
        Child<QSpinBox>(&dlg, 1066)->setValue(12);
        ClickButton(&dlg, "IDOK");
    }
    QCOMPARE(ab[24], 0x2F);
    QCOMPARE(ab[25], 0x00);
    QCOMPARE(ab[28], 12);

    // An address above 15 that the unit holds is shown as it is and kept by an untouched OK.
    for (const uint8_t nHeld : {uint8_t(15), uint8_t(16), uint8_t(200), uint8_t(255)}) {
        ab[28] = nHeld;
        CUnitPropertiesDlg dlg(nullptr, ab, 1);
        dlg.show();
        QCOMPARE(Child<QSpinBox>(&dlg, 1066)->value(), nHeld);
        ClickButton(&dlg, "IDOK");
        QCOMPARE(ab[28], nHeld);
    }
}

void DialogsTest::noticesShowTheirTexts() {
    CCheckSwitchesEthDlg eth(nullptr);
    QCOMPARE(eth.windowTitle(), "Check Switches");
    QCOMPARE(eth.findChild<QLabel*>("lblText")->text(),
             "On SW 3, dipswitch 1 and 2 must be ON, dipswitch 4 and 5 must be off.  On SW 2, "
             "dipswitch 4 must be off.  Note:  Power Orvik off and on if switches are changed.");
    CCheckSwitchesSerDlg ser(nullptr);
    QVERIFY(
        ser.findChild<QLabel*>("IDC_1056")
            ->text()
            .startsWith("On SW2, switch 4 must be OFF. On SW 3, switch 1, 4 and 5 must be OFF"));
    CUpdateDoneDlg done(nullptr);
    QCOMPARE(done.windowTitle(), "Update Successful");
    QCOMPARE(done.findChild<QLabel*>("lblWarning")->text(),
             "Set SW 3 switches 2 and 3 to OFF before resetting!!");
    // Escape counts as Cancel.
    done.show();
    QTest::keyClick(&done, Qt::Key_Escape);
    QCOMPARE(done.result(), int(QDialog::Rejected));
}

QTEST_MAIN(DialogsTest)
#include "DialogsTest.moc"
