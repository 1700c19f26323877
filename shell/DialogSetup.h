#pragma once
// What every dialog of the program does once its template is loaded.

class QDialog;
class QPushButton;

// Fixed size, no help button, the program's look.
void SetupDialog(QDialog* pDlg);
// The look every window of the program shares: group box titles sit on the frame
// line, where the layout of the dialogs expects them. Loads the program's images.
void ApplyLook(QDialog* pDlg);
// OK accepts, Cancel rejects (dialogs whose OK has no checks of its own).
void WireOkCancel(QDialog* pDlg, QPushButton* pOk, QPushButton* pCancel);
