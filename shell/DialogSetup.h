#pragma once
// What every dialog of the program does once its template is loaded.

class QDialog;
class QLineEdit;
class QPushButton;

// The program's font, style and images, for the whole application: before its first
// window is made (a window made earlier keeps the fonts it was made with).
void UseProgramLook();
// Fixed size, no help button, the program's look.
void SetupDialog(QDialog* pDlg);
// The look every window of the program shares: group box titles sit on the frame
// line, where the layout of the dialogs expects them. Loads the program's images.
void ApplyLook(QDialog* pDlg);
// What the technician types or pastes into pEdit stays within nMax characters, but the
// value the field holds now is never cut: a longer one read from the unit (a port of
// 10001) stays whole until it is edited, and an edit never leaves it longer than nMax.
void LimitTyping(QLineEdit* pEdit, int nMax);
// OK accepts, Cancel rejects (dialogs whose OK has no checks of its own).
void WireOkCancel(QDialog* pDlg, QPushButton* pOk, QPushButton* pCancel);
