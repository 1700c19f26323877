#pragma once
// The entry field of an encryption key: of the typed characters it lets through only
// those a key written in hexadecimal can hold, 1 to 9 and A to F (a to f as typed). The
// digit 0 is refused: a key is made of the digit values 1 to 15. Optionally it writes
// the caret's position into another widget as the user types, clicks or moves.

#include <QLineEdit>
#include <QPointer>

class CHexKeyEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit CHexKeyEdit(QWidget* pParent = nullptr);

    // True when the character may be typed into a key field (backspace included).
    static bool IsKeyChar(QChar ch);

    // pReadout (a widget with a "text" property, such as a QLabel) shows the caret's
    // position as " <n>"; null turns the readout off.
    void SetPosReadout(QWidget* pReadout);

protected:
    void keyPressEvent(QKeyEvent* pEvent) override;

private:
    void WriteReadout();

    int m_nCaretPos = 0;
    QPointer<QWidget> m_pPosCtrl;
};
