#include "shell/DataExchange.h"

#include <QComboBox>
#include <QDialog>
#include <QEventLoop>
#include <QLineEdit>
#include <QMessageBox>

#include <limits>

#include "params/Texts.h"

namespace {
// Digits only, as an unsigned number the field can hold; blanks around it allowed.
bool ParseUInt(const QString& strText, uint32_t& nValue) {
    const QString str = strText.trimmed();
    if (str.isEmpty()) return false;
    uint64_t n = 0;
    for (const QChar c : str) {
        if (c < u'0' || c > u'9') return false;
        n = n * 10 + static_cast<uint64_t>(c.unicode() - u'0');
        if (n > std::numeric_limits<uint32_t>::max()) return false;
    }
    nValue = static_cast<uint32_t>(n);
    return true;
}
} // namespace

QMessageBox::StandardButton RunBox(QMessageBox& box) {
    // The text may echo what was typed: never taken as markup.
    box.setTextFormat(Qt::PlainText);
    QWidget* pParent = box.parentWidget();
    QWidget* pWindow = pParent ? pParent->window() : nullptr;
    if (!pWindow || !pWindow->isVisible() || pWindow->windowModality() != Qt::NonModal) {
        box.exec();
        return box.standardButton(box.clickedButton());
    }
    // Over a dialog a job opened (not modal, so that the main window's Stop stays usable)
    // the box holds that dialog only, not the whole program as exec() would.
    const bool bWasEnabled = pWindow->isEnabled();
    pWindow->setEnabled(false);
    box.setEnabled(true);
    box.setModal(false); // a message box is made modal by default
    QEventLoop loop;
    QObject::connect(&box, &QDialog::finished, &loop, &QEventLoop::quit);
    // The job ended or was stopped: its dialog closes, and the box with it.
    if (auto* pDlg = qobject_cast<QDialog*>(pWindow))
        QObject::connect(pDlg, &QDialog::finished, &box, &QDialog::reject);
    box.show();
    box.activateWindow();
    loop.exec(QEventLoop::DialogExec);
    pWindow->setEnabled(bWasEnabled);
    return box.standardButton(box.clickedButton());
}

void ShowMessage(QWidget* pParent, const std::string& strText) {
    QMessageBox box(QMessageBox::NoIcon, txt::MESSAGE_CAPTION, QString::fromStdString(strText),
                    QMessageBox::Ok, pParent);
    RunBox(box);
}

void CDataExchange::Fail(QWidget* pField, const std::string& strMessage) {
    if (m_bFailed) return;
    m_bFailed = true;
    ShowMessage(m_pDlg, strMessage);
    pField->setFocus(Qt::OtherFocusReason);
    if (auto* pEdit = qobject_cast<QLineEdit*>(pField)) pEdit->selectAll();
    if (auto* pCombo = qobject_cast<QComboBox*>(pField); pCombo && pCombo->lineEdit())
        pCombo->lineEdit()->selectAll();
}

void CDataExchange::UInt(QLineEdit* pEdit, uint32_t& nValue) {
    if (m_bFailed) return;
    if (!Saving()) {
        pEdit->setText(QString::number(nValue));
        return;
    }
    uint32_t n = 0;
    if (!ParseUInt(pEdit->text(), n)) return Fail(pEdit, txt::PARSE_UINT);
    nValue = n;
}

void CDataExchange::UInt(QLineEdit* pEdit, uint32_t& nValue, uint32_t nMin, uint32_t nMax) {
    if (m_bFailed) return;
    if (!Saving()) {
        pEdit->setText(QString::number(nValue));
        return;
    }
    // A text that is no number gets the number message; the range is checked after.
    uint32_t n = 0;
    if (!ParseUInt(pEdit->text(), n)) return Fail(pEdit, txt::PARSE_UINT);
    if (n < nMin || n > nMax)
        return Fail(pEdit, txt::PARSE_RANGE_PREFIX + std::to_string(nMin) + " and " +
                               std::to_string(nMax) + ".");
    nValue = n;
}
