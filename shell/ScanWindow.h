#pragma once
// What both Find windows share: Start and Stop, a progress bar and a status line, the
// table of the units that answer (sortable, each unit once) and Use or double-click
// to choose one. Each window brings its own form and plan; the scan runs on a worker
// thread and ends with the window.

#include <QDialog>
#include <QString>
#include <optional>
#include <utility>
#include <vector>

#include "discovery/ScanHit.h"
#include "shell/ScanWorker.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTableWidget;

class CScanWindow : public QDialog {
    Q_OBJECT
public:
    // The unit chosen, once the window is accepted.
    const std::optional<SScanHit>& Chosen() const { return m_chosen; }
    const CScanWorker& Worker() const { return m_worker; }

    void done(int nResult) override; // a scan under way ends with the window

protected:
    // The controls of the window's form. The table's last columns are the unit's own
    // (serial number, keys enabled, switch, properties mode, check word, reply ms);
    // KeyCells gives those before them. The plan's fields are locked while a scan runs.
    struct SControls {
        QPushButton* m_pStart = nullptr;
        QPushButton* m_pStop = nullptr;
        QPushButton* m_pUse = nullptr;
        QPushButton* m_pClose = nullptr;
        QProgressBar* m_pProgress = nullptr;
        QLabel* m_pStatus = nullptr;
        QTableWidget* m_pTable = nullptr;
        std::vector<QWidget*> m_fields;
    };
    using Cell = std::pair<QString, double>; // its text and what it sorts by

    explicit CScanWindow(QWidget* pParent);
    ~CScanWindow() override;
    void Attach(const SControls& controls);

    // Start pressed: the window's plan, started with RunScan, or the reason it was not.
    virtual void OnStart() = 0;
    virtual std::vector<Cell> KeyCells(const SScanHit& hit) const = 0;
    virtual void OnProgress(const SScanProgress& progress) = 0;

    // Starts fnRun on the worker with the table emptied; strRunning is the status while
    // no progress has come.
    bool RunScan(CScanWorker::FRun fnRun, const QString& strRunning);
    void SetStatus(const QString& strText);
    void SetProgress(uint64_t nDone, uint64_t nTotal);

private:
    void OnHit(const SScanHit& hit);
    void OnDone(const CScanWorker::SResult& result);
    void OnUse();
    void SetRunning(bool bRunning);

    SControls m_controls;
    CScanWorker m_worker;
    std::vector<SScanHit> m_hits; // each row's hit: its index is the row's Qt::UserRole
    std::optional<SScanHit> m_chosen;
};
