#pragma once
// Moves values between a dialog's fields and its members, checking them on the way
// in. The first field that fails its check shows the standard message, takes the
// focus with its text selected, and ends the exchange: nothing after it is read and
// the caller stores nothing and keeps the dialog open.

#include <QMessageBox>
#include <cstdint>
#include <string>

class QLineEdit;
class QWidget;

class CDataExchange {
public:
    enum EDirection { LOAD, SAVE };

    CDataExchange(QWidget* pDlg, EDirection eDir) : m_pDlg(pDlg), m_eDir(eDir) {}

    // An unsigned field without a range ("Please enter a positive integer.").
    void UInt(QLineEdit* pEdit, uint32_t& nValue);
    // An unsigned field within nMin..nMax: a number outside it gets "Please enter an
    // integer between 0 and 255.", a text that is no number the message above.
    void UInt(QLineEdit* pEdit, uint32_t& nValue, uint32_t nMin, uint32_t nMax);
    // Refuses a field for a reason of the dialog's own: the message, the focus.
    void Fail(QWidget* pField, const std::string& strMessage);

    bool Saving() const { return m_eDir == SAVE; }
    bool Failed() const { return m_bFailed; }

private:
    QWidget* m_pDlg;
    EDirection m_eDir;
    bool m_bFailed = false;
};

// A plain message box with an OK button only, the text exactly as given.
void ShowMessage(QWidget* pParent, const std::string& strText);
// Runs a message box of a dialog, its text as plain text, and returns the button clicked
// (NoButton when the box closed with its dialog). Over a dialog that is not modal (one a
// job opened) it holds that dialog only and leaves the main window usable.
QMessageBox::StandardButton RunBox(QMessageBox& box);
