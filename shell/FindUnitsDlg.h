#pragma once
// Find Units: asks every address of a range for the unit's status and lists the units
// that answer; the one chosen (double-click or Use) is the window's result.

#include <QDialog>
#include <cstdint>
#include <memory>
#include <optional>

#include "discovery/ScanHit.h"
#include "shell/ScanWorker.h"

namespace Ui {
class FindUnitsDlg;
}
struct SUdpScanPlan;

class CFindUnitsDlg : public QDialog {
    Q_OBJECT
public:
    // nIp (host order) names the /24 the range opens with; 0: the machine's network's.
    CFindUnitsDlg(QWidget* pParent, uint32_t nIp, uint16_t nPort, int nCommAddr);
    ~CFindUnitsDlg() override;

    // The unit chosen, once the window is accepted.
    const std::optional<SScanHit>& Chosen() const { return m_chosen; }
    const CScanWorker& Worker() const { return m_worker; }

    // The plan the fields describe, or false with the reason.
    bool PlanFromFields(SUdpScanPlan& plan, QString& strError) const;

    void done(int nResult) override; // a scan under way ends with the window

private:
    void OnStart();
    void OnHit(const SScanHit& hit);
    void OnProgress(const SScanProgress& progress);
    void OnDone(const CScanWorker::SResult& result);
    void OnUse();
    void SetRunning(bool bRunning);

    std::unique_ptr<Ui::FindUnitsDlg> m_pUi;
    CScanWorker m_worker;
    std::vector<SScanHit> m_hits; // each row's hit: its index is the row's Qt::UserRole
    std::optional<SScanHit> m_chosen;
};

// "192.168.0.0/24" for an address; the machine's first network other than loopback
// when nIp is 0 (or "192.168.0.0/24" when it has none).
QString DefaultScanRange(uint32_t nIp);
