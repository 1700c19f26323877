#include "shell/ProgressDlg.h"

#include <QCloseEvent>
#include <QFormLayout>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "params/Texts.h"

CProgressDlg::CProgressDlg(QWidget* pParent) : QDialog(pParent) {
    setWindowTitle(txt::PROGRESS_TITLE);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    auto* pLayout = new QVBoxLayout(this);
    auto* pHeading = new QLabel(txt::PROGRESS_HEADING, this);
    pHeading->setWordWrap(true);
    pLayout->addWidget(pHeading);
    m_pBar = new QProgressBar(this);
    m_pBar->setRange(0, 1000);
    m_pBar->setTextVisible(false);
    pLayout->addWidget(m_pBar);
    auto* pForm = new QFormLayout;
    m_pBlocks = new QLabel(this);
    m_pBytes = new QLabel(this);
    m_pRate = new QLabel(this);
    m_pLeft = new QLabel(this);
    pForm->addRow(txt::PROGRESS_BLOCKS, m_pBlocks);
    pForm->addRow(txt::PROGRESS_BYTES, m_pBytes);
    pForm->addRow(txt::PROGRESS_RATE, m_pRate);
    pForm->addRow(txt::PROGRESS_LEFT, m_pLeft);
    pLayout->addLayout(pForm);
    // Wide enough that the longest figures never change the window's size.
    setMinimumWidth(fontMetrics().horizontalAdvance(txt::PROGRESS_HEADING) * 2 / 3);
    Show(0, 0, 0, 0);
}

void CProgressDlg::Show(double dFraction, uint64_t nBlocks, uint64_t nBytes, double dRate) {
    dFraction = std::clamp(dFraction, 0.0, 1.0);
    const QLocale locale;
    auto of = [&](uint64_t nTotal) {
        if (nTotal == 0) return QString(txt::PROGRESS_UNKNOWN);
        const auto nDone =
            static_cast<uint64_t>(std::llround(dFraction * static_cast<double>(nTotal)));
        return QString(txt::PROGRESS_OF).arg(locale.toString(nDone), locale.toString(nTotal));
    };
    m_pBar->setValue(static_cast<int>(dFraction * 1000));
    m_pBlocks->setText(of(nBlocks));
    m_pBytes->setText(of(nBytes));
    if (dRate <= 0 || nBytes == 0) {
        m_pRate->setText(txt::PROGRESS_UNKNOWN);
        m_pLeft->setText(txt::PROGRESS_UNKNOWN);
        return;
    }
    m_pRate->setText(
        QString(txt::PROGRESS_BYTES_PER_SECOND).arg(locale.toString(std::llround(dRate))));
    const auto nLeft = std::llround((1.0 - dFraction) * static_cast<double>(nBytes) / dRate);
    m_pLeft->setText(
        QString(txt::PROGRESS_MIN_SEC).arg(nLeft / 60).arg(nLeft % 60, 2, 10, QChar('0')));
}

QString CProgressDlg::BlocksText() const {
    return m_pBlocks->text();
}

void CProgressDlg::closeEvent(QCloseEvent* pEvent) {
    m_bClosedByUser = true;
    pEvent->accept();
}
