#pragma once
// Find Units: asks every address of a range for the unit's status and lists the units
// that answer; the one chosen (double-click or Use) is the window's result.

#include <cstdint>
#include <memory>

#include "shell/ScanWindow.h"

namespace Ui {
class FindUnitsDlg;
}
struct SUdpScanPlan;

class CFindUnitsDlg : public CScanWindow {
    Q_OBJECT
public:
    // nIp (host order) names the /24 the range opens with; 0: the machine's network's.
    CFindUnitsDlg(QWidget* pParent, uint32_t nIp, uint16_t nPort, int nCommAddr);
    ~CFindUnitsDlg() override;

    // The plan the fields describe, or false with the reason.
    bool PlanFromFields(SUdpScanPlan& plan, QString& strError) const;

private:
    void OnStart() override;
    std::vector<Cell> KeyCells(const SScanHit& hit) const override;
    void OnProgress(const SScanProgress& progress) override;

    std::unique_ptr<Ui::FindUnitsDlg> m_pUi;
};

// "192.168.0.0/24" for an address; the machine's first network other than loopback
// when nIp is 0 (or "192.168.0.0/24" when it has none).
QString DefaultScanRange(uint32_t nIp);
