#pragma once
// The main window: the Ethernet and Serial rows of action buttons, OK and Close. It
// owns the records the workers read, starts one job at a time and is called back,
// from the worker's thread, when the job ends.

#include <QDialog>
#include <QIcon>
#include <memory>

#include "BalloonTip.h"
#include "jobs/JobHost.h"
#include "shell/QtPrompts.h"

class QAbstractButton;
namespace Ui {
class MainDlg;
}

class CMainDlg : public QDialog, public CJobHost {
    Q_OBJECT
public:
    // Ids of the six action buttons.
    enum : int {
        IDC_CONFIGURE_ETH = 1069,
        IDC_CONFIGURE_SER = 1059,
        IDC_ETHERNET = 1042,
        IDC_SERIAL = 1043,
        IDC_FLASH_ETH = 1078,
        IDC_FLASH_SER = 1077,
    };

    explicit CMainDlg(QWidget* pParent = nullptr);
    ~CMainDlg() override;

    // Button handlers.
    void OnEthernet();
    void OnConfigureEthernet();
    void OnFlashEthernet();
    void OnSerial();
    void OnConfigureSerial();
    void OnFlashSerial();
    void OnOK();
    void OnCancel();

    // The idle layout: Ethernet and Serial on, the four action buttons off.
    void ResetButtons();

    // Called by the workers on their own threads; run on the GUI thread.
    void OnJobFinished() override;
    bool RunConfigDialog(bool bPropertiesMode = false) override;
    void EnableEndButtons() override;

    CQtPrompts& QtPrompts() { return m_prompts; }

protected:
    void accept() override { OnOK(); }
    void reject() override { OnCancel(); }
    void keyPressEvent(QKeyEvent* pEvent) override;

private:
    void StartEthernetJob(uint32_t nJob);
    void ToggleSerialJob(uint32_t nJob);
    // False when a download runs and the user chose not to end it.
    bool ConfirmClose();
    void EndDialog(int nResult);
    void Enable(std::initializer_list<int> ids, bool bOn);

    CQtPrompts m_prompts;
    QIcon m_hIcon;
    std::unique_ptr<NetParams> m_pNetRecord;
    std::unique_ptr<ScpParams> m_pScpRecord;
    // A worker of this link has been started and has not called back yet; kept on the
    // GUI thread, so a click never races the worker's own busy flag.
    bool m_bSerialWorker = false;
    bool m_bEthernetWorker = false;
    std::unique_ptr<Ui::MainDlg> m_pUi;
    CBalloonTip m_tooltip;
};
