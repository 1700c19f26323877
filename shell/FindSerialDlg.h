#pragma once
// Find a unit on a serial port: asks for the unit's status at every line setting and
// unit address of one port, the dialog's own first, and lists the units that answer;
// the one chosen (double-click or Use) is the window's result. The line is put back
// as it was found however the probe ends.

#include <memory>
#include <string>

#include "discovery/SerialScan.h"
#include "shell/ScanWindow.h"

namespace Ui {
class FindSerialDlg;
}

class CFindSerialDlg : public CScanWindow {
    Q_OBJECT
public:
    // strPort as the user named it (COMn) and the device it opens; an empty device
    // with strProblem when the name is not a port. nBaud, cParity and nUnitAddr are
    // the settings tried first.
    CFindSerialDlg(QWidget* pParent, const QString& strPort, const std::string& strDevice,
                   const QString& strProblem, int nBaud, char cParity, int nUnitAddr);
    ~CFindSerialDlg() override;

private:
    void OnStart() override;
    std::vector<Cell> KeyCells(const SScanHit& hit) const override;
    void OnProgress(const SScanProgress& progress) override;

    std::unique_ptr<Ui::FindSerialDlg> m_pUi;
    SSerialScanPlan m_plan; // its settings and addresses name what progress reports
};

// "None", "Even" or "Odd", as the serial port dialog lists them.
QString ParityName(char cParity);
