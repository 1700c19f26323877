#pragma once
// The window a firmware download shows while it runs: blocks and bytes sent, the rate
// and the time left. It only displays; the download cannot be stopped half way, and
// closing the window hides it for the rest of the job.

#include <QDialog>
#include <cstdint>

class QLabel;
class QProgressBar;

class CProgressDlg : public QDialog {
    Q_OBJECT
public:
    explicit CProgressDlg(QWidget* pParent = nullptr);

    // Where the download stands: the fraction done of an image of nBlocks blocks and
    // nBytes bytes (0 when not known), at dRate bytes a second (0: not known yet).
    void Show(double dFraction, uint64_t nBlocks, uint64_t nBytes, double dRate);

    bool ClosedByUser() const { return m_bClosedByUser; }
    QString BlocksText() const;

protected:
    void closeEvent(QCloseEvent* pEvent) override;
    void reject() override {} // Escape does not end a download's window

private:
    QProgressBar* m_pBar;
    QLabel* m_pBlocks;
    QLabel* m_pBytes;
    QLabel* m_pRate;
    QLabel* m_pLeft;
    bool m_bClosedByUser = false;
};
