#include "shell/ScanWindow.h"

#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTableWidgetItem>

namespace {
constexpr int SORT_KEY = Qt::UserRole + 1;
constexpr int HIT_INDEX = Qt::UserRole;
constexpr int PROGRESS_STEPS = 1000;

// Sorts by its number, not by its text: 10.0.0.9 before 10.0.0.10.
class CKeyedItem : public QTableWidgetItem {
public:
    CKeyedItem(const QString& strText, double dKey) : QTableWidgetItem(strText) {
        setData(SORT_KEY, dKey);
    }
    bool operator<(const QTableWidgetItem& other) const override {
        return data(SORT_KEY).toDouble() < other.data(SORT_KEY).toDouble();
    }
};

QString YesNo(bool b) {
    return b ? "Yes" : "No";
}
} // namespace

CScanWindow::CScanWindow(QWidget* pParent) : QDialog(pParent) {}

CScanWindow::~CScanWindow() = default;

void CScanWindow::Attach(const SControls& controls) {
    m_controls = controls;
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    m_controls.m_pProgress->setRange(0, PROGRESS_STEPS);
    QTableWidget* pTable = m_controls.m_pTable;
    QHeaderView* pHeader = pTable->horizontalHeader();
    pHeader->setSectionResizeMode(QHeaderView::ResizeToContents);
    pHeader->setStretchLastSection(true);
    pTable->verticalHeader()->hide();
    pTable->sortByColumn(0, Qt::AscendingOrder);

    connect(m_controls.m_pStart, &QPushButton::clicked, this, [this] { OnStart(); });
    connect(m_controls.m_pStop, &QPushButton::clicked, this, [this] { m_worker.Stop(); });
    connect(m_controls.m_pUse, &QPushButton::clicked, this, &CScanWindow::OnUse);
    connect(m_controls.m_pClose, &QPushButton::clicked, this, &CScanWindow::reject);
    connect(pTable, &QTableWidget::cellDoubleClicked, this, &CScanWindow::OnUse);
    connect(pTable, &QTableWidget::itemSelectionChanged, this, [this] {
        m_controls.m_pUse->setEnabled(!m_controls.m_pTable->selectedItems().isEmpty());
    });
}

void CScanWindow::done(int nResult) {
    m_worker.Stop();
    QDialog::done(nResult);
}

void CScanWindow::SetStatus(const QString& strText) {
    m_controls.m_pStatus->setText(strText);
}

void CScanWindow::SetProgress(uint64_t nDone, uint64_t nTotal) {
    if (nTotal) m_controls.m_pProgress->setValue(static_cast<int>(nDone * PROGRESS_STEPS / nTotal));
}

void CScanWindow::SetRunning(bool bRunning) {
    m_controls.m_pStart->setEnabled(!bRunning);
    m_controls.m_pStop->setEnabled(bRunning);
    for (QWidget* pField : m_controls.m_fields)
        pField->setEnabled(!bRunning);
}

bool CScanWindow::RunScan(CScanWorker::FRun fnRun, const QString& strRunning) {
    m_hits.clear();
    m_controls.m_pTable->setRowCount(0);
    m_controls.m_pProgress->setValue(0);
    m_controls.m_pUse->setEnabled(false);
    const bool bStarted = m_worker.Start(
        std::move(fnRun), [this](const SScanHit& hit) { OnHit(hit); },
        [this](const SScanProgress& progress) { OnProgress(progress); },
        [this](const CScanWorker::SResult& result) { OnDone(result); });
    if (!bStarted) {
        SetStatus("The scan could not be started.");
        return false;
    }
    SetStatus(strRunning);
    SetRunning(true);
    return true;
}

void CScanWindow::OnHit(const SScanHit& hit) {
    QTableWidget* pTable = m_controls.m_pTable;
    // The same unit found again (at a lower comm address) takes its earlier row.
    int nRow = -1;
    for (int n = 0; n < pTable->rowCount() && nRow < 0; ++n) {
        const SScanHit& old = m_hits[pTable->item(n, 0)->data(HIT_INDEX).toUInt()];
        if (old.m_nIp == hit.m_nIp && old.m_status.m_nSerialNo == hit.m_status.m_nSerialNo)
            nRow = n;
    }
    pTable->setSortingEnabled(false);
    if (nRow < 0) {
        nRow = pTable->rowCount();
        pTable->insertRow(nRow);
    }
    m_hits.push_back(hit);
    const status::CUnitStatus& st = hit.m_status;
    std::vector<Cell> cells = KeyCells(hit);
    cells.insert(cells.end(),
                 {{QString::number(st.m_nSerialNo), st.m_nSerialNo},
                  {YesNo(st.m_bKeysEnabled), st.m_bKeysEnabled},
                  {st.m_bConfigSwitch ? "On" : "Off", st.m_bConfigSwitch},
                  {YesNo(st.m_bPropertiesMode), st.m_bPropertiesMode},
                  {st.m_nCheckWord ? QString("%1").arg(st.m_nCheckWord, 4, 16, QChar('0')).toUpper()
                                   : QString("None"),
                   st.m_nCheckWord},
                  {QString::number(hit.m_dReplyMs, 'f', 1), hit.m_dReplyMs}});
    for (int nCol = 0; nCol < static_cast<int>(cells.size()); ++nCol) {
        auto* pItem = new CKeyedItem(cells[nCol].first, cells[nCol].second);
        pItem->setData(HIT_INDEX, static_cast<uint>(m_hits.size() - 1));
        pTable->setItem(nRow, nCol, pItem);
    }
    pTable->setSortingEnabled(true);
}

void CScanWindow::OnDone(const CScanWorker::SResult& result) {
    SetRunning(false);
    if (result.m_bFailed) {
        SetStatus(QString::fromStdString(result.m_strError));
        return;
    }
    if (!result.m_tally.m_bInterrupted) m_controls.m_pProgress->setValue(PROGRESS_STEPS);
    QString strText = QString(result.m_tally.m_bInterrupted ? "Stopped: %1 unit(s) found."
                                                            : "Done: %1 unit(s) found.")
                          .arg(m_controls.m_pTable->rowCount());
    if (!result.m_tally.m_notes.empty())
        strText += QString(" %1 answer(s) were not usable.").arg(result.m_tally.m_notes.size());
    SetStatus(strText);
}

void CScanWindow::OnUse() {
    const QList<QTableWidgetItem*> selected = m_controls.m_pTable->selectedItems();
    if (selected.isEmpty()) return;
    m_chosen = m_hits[selected.front()->data(HIT_INDEX).toUInt()];
    accept();
}
