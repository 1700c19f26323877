#include "shell/DialogSetup.h"

#include <QDialog>
#include <QPushButton>

static void InitImages() {
    // The images are linked into a static library: register them once by hand.
    static const bool s_bDone = [] {
        Q_INIT_RESOURCE(velorcfg);
        return true;
    }();
    (void)s_bDone;
}

void ApplyLook(QDialog* pDlg) {
    InitImages();
    pDlg->setStyleSheet(
        "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 7px; }"
        "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
        " left: 6px; padding: 0 2px; }");
}

void SetupDialog(QDialog* pDlg) {
    ApplyLook(pDlg);
    pDlg->setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    pDlg->setSizeGripEnabled(false);
    pDlg->setFixedSize(pDlg->size());
}

void WireOkCancel(QDialog* pDlg, QPushButton* pOk, QPushButton* pCancel) {
    QObject::connect(pOk, &QPushButton::clicked, pDlg, &QDialog::accept);
    QObject::connect(pCancel, &QPushButton::clicked, pDlg, &QDialog::reject);
}
