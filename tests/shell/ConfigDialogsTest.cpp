// The configuration, IP address and properties dialogs as a technician meets them: what
// the unit holds survives an untouched OK, a changed key that cannot be stored is said
// before the dialog closes, and the keyboard works as in any dialog.

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QSpinBox>
#include <QtTest>

#include "GuiTestUtil.h"
#include "params/NetParams.h"
#include "shell/DialogSetup.h"
#include "shell/IpAddressDlg.h"
#include "shell/NetConfigDlg.h"
#include "shell/UnitPropertiesDlg.h"

namespace {
QLineEdit* Edit(QWidget* pDlg, int nId) {
    return pDlg->findChild<QLineEdit*>(QString("IDC_%1").arg(nId));
}

void ShowActive(QDialog& dlg) {
    dlg.show();
    dlg.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&dlg));
}

// The object names Tab visits from the focused widget, one full round.
QStringList TabRound(int nCount) {
    QStringList names;
    for (int i = 0; i < nCount; ++i) {
        names << QApplication::focusWidget()->objectName();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    return names;
}
} // namespace

class ConfigDialogsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { UseProgramLook(); } // as the program does before its main window
    void fiveDigitValuesSurviveAnUntouchedOk();
    void typingStaysWithinFourDigits();
    void octetThatIsNoNumber();
    void changedKeyThatCannotBeStoredIsSaid();
    void netConfigKeyboard();
    void propertiesKeyboard();
    void textsKeepTheirFontAndRoom();
};

void ConfigDialogsTest::fiveDigitValuesSurviveAnUntouchedOk() {
    for (const int nPort : {10001, 20000, 65535}) {
        NetParams rec = NetParams::Defaults();
        rec.SetPort(static_cast<uint16_t>(nPort));
        rec.SetTimeout(12345);
        const NetParams before = rec;
        {
            CNetConfigDlg dlg(nullptr, &rec, false, true, 1);
            dlg.show();
            QCOMPARE(Edit(&dlg, 1000)->text(), QString::number(nPort));
            QCOMPARE(Edit(&dlg, 1048)->text(), "12345");
            ClickButton(&dlg, "IDOK");
            QCOMPARE(dlg.result(), int(QDialog::Accepted));
        }
        QCOMPARE(rec.Port(), nPort);
        QCOMPARE(rec.Timeout(), 12345);
        QVERIFY(std::equal(rec.Data(), rec.Data() + NetParams::OFS_RESERVED, before.Data()));

        CIpAddressDlg ip(nullptr, &rec);
        ip.show();
        QCOMPARE(Edit(&ip, 1053)->text(), QString::number(nPort));
        ClickButton(&ip, "IDOK");
        QCOMPARE(rec.Port(), nPort);
    }
}

void ConfigDialogsTest::typingStaysWithinFourDigits() {
    NetParams rec = NetParams::Defaults();
    rec.SetPort(10001);
    CNetConfigDlg dlg(nullptr, &rec, false, true, 1);
    QLineEdit* pPort = Edit(&dlg, 1000);
    QTest::keyClick(pPort, Qt::Key_End);
    QTest::keyClicks(pPort, "9");
    pPort->setSelection(1, 1);
    QTest::keyClicks(pPort, "2");
    QCOMPARE(pPort->text(), "10001");
    QTest::keyClick(pPort, Qt::Key_End);
    QTest::keyClick(pPort, Qt::Key_Backspace);
    QTest::keyClicks(pPort, "7");
    QCOMPARE(pPort->text(), "1000");
    pPort->selectAll();
    QTest::keyClicks(pPort, "123456");
    QCOMPARE(pPort->text(), "1234");
    QLineEdit* pTimeout = Edit(&dlg, 1048);
    pTimeout->selectAll();
    QTest::keyClicks(pTimeout, "98765");
    QCOMPARE(pTimeout->text(), "9876");
}

void ConfigDialogsTest::octetThatIsNoNumber() {
    NetParams rec = NetParams::Defaults();
    const NetParams before = rec;
    CNetConfigDlg dlg(nullptr, &rec, false, true, 1);
    dlg.show();
    Edit(&dlg, 1050)->setText("x1");
    QString strText;
    ExpectMessage(&strText);
    ClickButton(&dlg, "IDOK");
    QCOMPARE(strText, "Please enter a positive integer.");
    QCOMPARE(dlg.focusWidget(), Edit(&dlg, 1050));
    QVERIFY(dlg.isVisible() && rec == before);
}

void ConfigDialogsTest::changedKeyThatCannotBeStoredIsSaid() {
    NetParams rec = NetParams::Defaults();
    const uint8_t abDes[8] = {0x12, 0x30, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    const uint8_t abTdes2[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    std::copy(abDes, abDes + 8, rec.Data() + NetParams::OFS_DES_KEY);
    std::copy(abTdes2, abTdes2 + 8, rec.Data() + NetParams::OFS_TDES_KEY2);
    const NetParams before = rec;

    CNetConfigDlg dlg(nullptr, &rec, false, true, 1);
    dlg.show();
    // The DES key shows a 0 and is left alone: no question. TDES key 2 is changed to a
    // text with a 0: asked; going back keeps the dialog and the record, on that field.
    Edit(&dlg, 1082)->setText("1122334455660788");
    Edit(&dlg, 1048)->setText("77");
    QString strAsked;
    AnswerQuestion(&strAsked, true);
    ClickButton(&dlg, "IDOK");
    QCOMPARE(strAsked, "The TDES Key 2 field still holds the digit 0, which a key cannot "
                       "contain, so the Velor keeps its old TDES Key 2.\n\nGo back to the "
                       "field to change it? No keeps the old key.");
    QVERIFY(dlg.isVisible());
    QCOMPARE(dlg.focusWidget(), Edit(&dlg, 1082));
    QVERIFY(rec == before);

    // Lower case of the same key is no change; another character is named as such.
    Edit(&dlg, 1080)->setText("1230456789abcdef");
    Edit(&dlg, 1081)->setText("12G4");
    QString strSecond;
    WhenShown<QMessageBox>([&](QMessageBox* pBox) {
        strAsked = pBox->text();
        AnswerQuestion(&strSecond, false);
        pBox->button(QMessageBox::No)->click();
    });
    ClickButton(&dlg, "IDOK");
    QVERIFY(strAsked.startsWith("The TDES Key 1 field holds a character that is not a key "
                                "digit (1 to 9, A to F), so the Velor keeps its old TDES Key 1."));
    QVERIFY(strSecond.startsWith("The TDES Key 2 field still holds the digit 0"));
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QCOMPARE(rec.Timeout(), 77);
    QVERIFY(std::equal(rec.Data() + NetParams::OFS_DES_KEY,
                       rec.Data() + NetParams::OFS_TDES_KEY3 + 8,
                       before.Data() + NetParams::OFS_DES_KEY));
}

void ConfigDialogsTest::netConfigKeyboard() {
    NetParams rec = NetParams::Defaults();
    {
        CNetConfigDlg dlg(nullptr, &rec, false, true, 1);
        ShowActive(dlg);
        QCOMPARE(
            TabRound(22),
            QStringList({"IDC_1036", "IDC_1037", "IDC_1038", "IDC_1039", "IDC_1049", "IDC_1050",
                         "IDC_1051", "IDC_1052", "IDC_1001", "IDC_1014", "IDC_1015", "IDC_1017",
                         "IDC_1000", "IDC_1048", "IDC_1079", "IDC_1080", "IDC_1081", "IDC_1082",
                         "IDC_1083", "IDOK",     "IDCANCEL", "IDC_1036"}));
        const std::pair<Qt::Key, int> mnemonics[] = {
            {Qt::Key_S, 1049}, {Qt::Key_G, 1001}, {Qt::Key_U, 1000}, {Qt::Key_V, 1036}};
        for (const auto& [nKey, nId] : mnemonics) {
            QTest::keyClick(QApplication::focusWidget(), nKey, Qt::AltModifier);
            QCOMPARE(QApplication::focusWidget(), Edit(&dlg, nId));
        }
        QTest::keyClick(Edit(&dlg, 1036), Qt::Key_Return);
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
    }
    // Esc and Alt+A cancel, Alt+O is OK, from any field.
    const std::pair<Qt::Key, Qt::KeyboardModifier> keys[] = {{Qt::Key_Escape, Qt::NoModifier},
                                                             {Qt::Key_A, Qt::AltModifier},
                                                             {Qt::Key_O, Qt::AltModifier}};
    for (const auto& [nKey, nModifier] : keys) {
        CNetConfigDlg dlg(nullptr, &rec, false, true, 1);
        ShowActive(dlg);
        QTest::keyClick(Edit(&dlg, 1081), nKey, nModifier);
        QTRY_VERIFY(!dlg.isVisible());
        QCOMPARE(dlg.result(), int(nKey == Qt::Key_O ? QDialog::Accepted : QDialog::Rejected));
    }
}

void ConfigDialogsTest::propertiesKeyboard() {
    uint8_t ab[NetParams::SIZE] = {};
    for (const Qt::Key nKey : {Qt::Key_Return, Qt::Key_Escape}) {
        CUnitPropertiesDlg dlg(nullptr, ab, 1);
        ShowActive(dlg);
        // Down the left column, down the right one, then the buttons ("Dial Up Backup"
        // is greyed and skipped).
        QCOMPARE(TabRound(10),
                 QStringList({"IDC_1057", "IDC_1061", "IDC_1062", "IDC_1066", "IDC_1069",
                              "IDC_1067", "IDC_1068", "IDOK", "IDCANCEL", "IDC_1057"}));
        QTest::keyClick(dlg.findChild<QListWidget*>("IDC_1057"), Qt::Key_Down);
        QTest::keyClick(dlg.findChild<QListWidget*>("IDC_1057"), nKey);
        QCOMPARE(dlg.result(), int(nKey == Qt::Key_Return ? QDialog::Accepted : QDialog::Rejected));
        QCOMPARE(ab[24], 1); // Return stored the second rate; Esc then kept it
    }
}

void ConfigDialogsTest::textsKeepTheirFontAndRoom() {
    // The check boxes of the properties dialog in one font, none cut.
    uint8_t ab[NetParams::SIZE] = {};
    CUnitPropertiesDlg props(nullptr, ab, 1);
    VELOR_STEP(ShowActive(props));
    const QFont font = props.findChild<QCheckBox*>("IDC_1061")->font();
    for (QCheckBox* pBox : props.findChildren<QCheckBox*>()) {
        QCOMPARE(pBox->font(), font);
        QVERIFY2(pBox->sizeHint().width() <= pBox->width(), qPrintable(pBox->objectName()));
    }
    // A label's text ends well before the field it names, in its group's one font.
    NetParams rec = NetParams::Defaults();
    CNetConfigDlg config(nullptr, &rec, false, true, 1);
    VELOR_STEP(ShowActive(config));
    for (const char* pName : {"lblTimeout", "lblUdpPort"}) {
        auto* pLabel = config.findChild<QLabel*>(pName);
        const int nTextEnd = pLabel->x() + pLabel->fontMetrics().horizontalAdvance(pLabel->text());
        QVERIFY2(config.findChild<QWidget*>("IDC_1048")->x() - nTextEnd >= 6,
                 qPrintable(QString("%1 ends at %2").arg(pName).arg(nTextEnd)));
    }
    QCOMPARE(config.findChild<QLabel*>("lblTimeout")->font(),
             config.findChild<QLabel*>("lblUdpPort")->font());
}

QTEST_MAIN(ConfigDialogsTest)
#include "ConfigDialogsTest.moc"
