#include "HexKeyEdit.h"
#include "ControlsTestUtil.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLabel>
#include <QTest>

class CHexKeyEditTest : public QObject {
    Q_OBJECT
private slots:
    // Only 1-9, A-F and a-f as typed; editing keys act as usual; Ctrl+V brings nothing
    // in; the field's length limit holds.
    void filter() {
        CHexKeyEdit edit;
        edit.setMaxLength(16);
        QTest::keyClicks(&edit, "0gG z-.");
        QCOMPARE(edit.text(), QString());
        QTest::keyClicks(&edit, "a1F9f0");
        QCOMPARE(edit.text(), QString("a1F9f"));
        QTest::keyClick(&edit, Qt::Key_Backspace);
        QTest::keyClick(&edit, Qt::Key_Left);
        QTest::keyClick(&edit, Qt::Key_Left);
        QTest::keyClick(&edit, Qt::Key_Delete);
        QCOMPARE(edit.text(), QString("a19"));

        // Ctrl+V as X11 sends it (the control character 0x16), as other platforms do (no
        // text), and Shift+Insert: none pastes.
        QGuiApplication::clipboard()->setText("0000");
        struct SPaste {
            Qt::Key nKey;
            Qt::KeyboardModifiers modifiers;
            QString strText;
        };
        for (const SPaste& p : {SPaste{Qt::Key_V, Qt::ControlModifier, QString(QChar(0x16))},
                                SPaste{Qt::Key_V, Qt::ControlModifier, QString()},
                                SPaste{Qt::Key_Insert, Qt::ShiftModifier, QString()}}) {
            QKeyEvent press(QEvent::KeyPress, p.nKey, p.modifiers, p.strText);
            QApplication::sendEvent(&edit, &press);
            QCOMPARE(edit.text(), QString("a19"));
        }

        QTest::keyClicks(&edit, "123456789ABCDEFabc");
        QCOMPARE(edit.text().size(), 16);
    }

    // The readout shows the caret's position after typing and moving.
    void caretReadout() {
        QWidget host;
        auto* pEdit = new CHexKeyEdit(&host);
        auto* pReadout = new QLabel(&host);
        pEdit->SetPosReadout(pReadout);
        QCOMPARE(pReadout->text(), QString(" 0"));
        QTest::keyClicks(pEdit, "AB");
        QCOMPARE(pReadout->text(), QString(" 2"));
        QTest::keyClick(pEdit, Qt::Key_Left);
        QCOMPARE(pReadout->text(), QString(" 1"));
        QTest::keyClick(pEdit, Qt::Key_0);
        QCOMPARE(pReadout->text(), QString(" 1"));
    }
};

QObject* MakeHexKeyEditTest() {
    return new CHexKeyEditTest;
}

#include "HexKeyEditTest.moc"
