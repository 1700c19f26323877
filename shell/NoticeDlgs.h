#pragma once
// The two "Check Switches" notices and the "Update Successful" prompt: fixed texts,
// OK or Cancel, the caller decides what follows.

#include <QDialog>
#include <memory>

namespace Ui {
class CheckSwitchesEthDlg;
class CheckSwitchesSerDlg;
class UpdateDoneDlg;
} // namespace Ui

class CCheckSwitchesEthDlg : public QDialog {
    Q_OBJECT
public:
    explicit CCheckSwitchesEthDlg(QWidget* pParent);
    ~CCheckSwitchesEthDlg() override;

private:
    std::unique_ptr<Ui::CheckSwitchesEthDlg> m_pUi;
};

class CCheckSwitchesSerDlg : public QDialog {
    Q_OBJECT
public:
    explicit CCheckSwitchesSerDlg(QWidget* pParent);
    ~CCheckSwitchesSerDlg() override;

private:
    std::unique_ptr<Ui::CheckSwitchesSerDlg> m_pUi;
};

class CUpdateDoneDlg : public QDialog {
    Q_OBJECT
public:
    explicit CUpdateDoneDlg(QWidget* pParent);
    ~CUpdateDoneDlg() override;

private:
    std::unique_ptr<Ui::UpdateDoneDlg> m_pUi;
};
