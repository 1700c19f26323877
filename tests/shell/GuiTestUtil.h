#pragma once
// Answering the program's windows from a test: a timer on the GUI thread finds the
// window when it appears and does what the user would.

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QMap>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <QtTest>
#include <functional>
#include <optional>

#include "platform/WinThread.h"

// Calls a helper that checks (QVERIFY, QCOMPARE) and leaves the test when one of its checks
// failed: a failed check returns from the helper only, and the test would go on.
#define VELOR_STEP(call)                                                                           \
    do {                                                                                           \
        call;                                                                                      \
        if (QTest::currentTestFailed()) return;                                                    \
    } while (false)

// Calls fn once with the first visible top-level T that appears (within nMs).
template <class T> void WhenShown(std::function<void(T*)> fn, int nMs = 20000) {
    auto* pTimer = new QTimer;
    auto nLeft = std::make_shared<int>(nMs / 5);
    QObject::connect(pTimer, &QTimer::timeout, [pTimer, fn, nLeft] {
        for (QWidget* pWidget : QApplication::topLevelWidgets()) {
            auto* pFound = qobject_cast<T*>(pWidget);
            if (!pFound || !pFound->isVisible() || pFound->property("answered").toBool()) continue;
            pFound->setProperty("answered", true);
            pTimer->deleteLater();
            pTimer->stop();
            fn(pFound);
            return;
        }
        if (--*nLeft <= 0) {
            pTimer->stop();
            pTimer->deleteLater();
        }
    });
    pTimer->start(5);
}

// Clicks the dialog's button with this object name (IDOK, IDCANCEL, IDC_nnnn).
inline void ClickButton(QWidget* pDlg, const char* pName) {
    if (auto* pButton = pDlg->findChild<QAbstractButton*>(pName)) pButton->click();
}

// Answers a dialog with OK or Cancel; a message box with its only button.
template <class T> void Answer(bool bOk) {
    WhenShown<T>([bOk](T* pDlg) { ClickButton(pDlg, bOk ? "IDOK" : "IDCANCEL"); });
}

// The text of the next message box, which is then closed with OK.
inline void ExpectMessage(QString* pText) {
    WhenShown<QMessageBox>([pText](QMessageBox* pBox) {
        *pText = pBox->text();
        pBox->button(QMessageBox::Ok)->click();
    });
}

// The text of the next Yes/No question, which is then answered.
inline void AnswerQuestion(QString* pText, bool bYes) {
    WhenShown<QMessageBox>([pText, bYes](QMessageBox* pBox) {
        *pText = pBox->text();
        pBox->button(bYes ? QMessageBox::Yes : QMessageBox::No)->click();
    });
}

// Answers every window a job shows, in order, and logs it: a message box by its text,
// a dialog by its kind in brackets ("[Config]") with " OK" or " Cancel". An action
// set for a kind may fill in fields and decides OK (true), Cancel (false) or leaves
// the window to the test (nullopt, not logged); without one the answer is OK. A
// question box (Yes/No) is the kind "[Question]", answered No unless its action says
// Yes. A message box is logged by its text and answered OK, unless the action for
// "[Message]" leaves it to the test. A file dialog is answered with m_strImage.
class CDialogAnswerer : public QObject {
public:
    using FAction = std::function<std::optional<bool>(QDialog*)>;

    CDialogAnswerer() {
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] { Poll(); });
        m_timer.start(5);
    }

    void On(const QString& strKind, FAction fn) { m_actions[strKind] = std::move(fn); }
    QStringList Log() const { return m_log; }
    void ClearLog() { m_log.clear(); }
    QString m_strImage;

    static QString KindOf(QWidget* pWidget) {
        static const std::pair<const char*, const char*> KINDS[] = {
            {"CNetConfigDlg", "[Config]"},           {"CUpdateDoneDlg", "[UpdateDone]"},
            {"QFileDialog", "[ChooseFile]"},         {"CIpAddressDlg", "[IpAddress]"},
            {"CSerialPortDlg", "[SerialPort]"},      {"CUnitPropertiesDlg", "[Properties]"},
            {"CCheckSwitchesEthDlg", "[EthNotice]"}, {"CCheckSwitchesSerDlg", "[SerNotice]"}};
        for (const auto& [pClass, pKind] : KINDS)
            if (pWidget->inherits(pClass)) return pKind;
        return {};
    }

private:
    void Poll() {
        for (QWidget* pWidget : QApplication::topLevelWidgets()) {
            auto* pDlg = qobject_cast<QDialog*>(pWidget);
            if (!pDlg) continue;
            if (!pDlg->isVisible()) {
                // A dialog the program keeps and shows again is answered again.
                pDlg->setProperty("answered", false);
                continue;
            }
            if (pDlg->property("answered").toBool()) continue;
            if (auto* pBox = qobject_cast<QMessageBox*>(pDlg)) {
                pDlg->setProperty("answered", true);
                if (auto* pOk = pBox->button(QMessageBox::Ok)) {
                    m_log << pBox->text();
                    if (!m_actions.contains("[Message]") || m_actions["[Message]"](pDlg))
                        pOk->click();
                    continue;
                }
                const bool bYes = m_actions.contains("[Question]") &&
                                  m_actions["[Question]"](pDlg).value_or(false);
                m_log << QString("[Question] ") + (bYes ? "Yes" : "No");
                pBox->button(bYes ? QMessageBox::Yes : QMessageBox::No)->click();
                continue;
            }
            const QString strKind = KindOf(pDlg);
            if (strKind.isEmpty()) continue; // the main window
            pDlg->setProperty("answered", true);
            const std::optional<bool> answer =
                m_actions.contains(strKind) ? m_actions[strKind](pDlg) : true;
            if (!answer) continue;
            const bool bOk = *answer;
            m_log << strKind + (bOk ? " OK" : " Cancel");
            if (strKind == "[ChooseFile]" && bOk) {
                auto* pFile = static_cast<QFileDialog*>(pDlg);
                // Qt leaves the name field as it is while it has the focus.
                if (QWidget* pFocus = pFile->focusWidget()) pFocus->clearFocus();
                pFile->selectFile(m_strImage);
                static_cast<QDialog*>(pFile)->accept();
            } else if (strKind == "[ChooseFile]") {
                pDlg->reject();
            } else {
                ClickButton(pDlg, bOk ? "IDOK" : "IDCANCEL");
            }
            // Shown again before the next poll, it is answered again.
            if (!pDlg->isVisible()) pDlg->setProperty("answered", false);
        }
    }

    QTimer m_timer;
    QMap<QString, FAction> m_actions;
    QStringList m_log;
};

// Ends the jobs a test started, passed or failed, before its windows go: once a check has
// failed, Qt's QTRY_* no longer wait, and a window destroyed under a running worker takes
// the whole test program down. A job still running after nMs (or after a failed check) is
// stopped as a user would: every other window cancelled, the main window closed, Yes to
// its question. False when a worker still runs even then.
inline bool EndJobs(QWidget* pMain, CDialogAnswerer* pAnswers, int nMs = 30000) {
    const auto idleWithin = [](int nWithinMs, const std::function<void()>& fnEach) {
        QElapsedTimer timer;
        timer.start();
        while (CWinThread::RunningThreads() != 0 && timer.elapsed() < nWithinMs) {
            if (fnEach) fnEach();
            QTest::qWait(5);
        }
        return CWinThread::RunningThreads() == 0;
    };
    if (!QTest::currentTestFailed() && idleWithin(nMs, {})) return true;
    if (pAnswers) pAnswers->On("[Question]", [](QDialog*) { return true; });
    bool bClosed = false;
    return idleWithin(nMs, [&] {
        for (QWidget* pWidget : QApplication::topLevelWidgets())
            if (auto* pDlg = qobject_cast<QDialog*>(pWidget);
                pDlg && pDlg != pMain && pDlg->isVisible() && !qobject_cast<QMessageBox*>(pDlg))
                pDlg->reject();
        for (QWidget* pWidget : QApplication::topLevelWidgets())
            if (auto* pBox = qobject_cast<QMessageBox*>(pWidget); pBox && pBox->isVisible()) {
                QAbstractButton* pButton = pBox->button(QMessageBox::Yes);
                if (!pButton) pButton = pBox->button(QMessageBox::Ok);
                if (pButton) pButton->click();
            }
        if (!bClosed && pMain) {
            bClosed = true;
            QTimer::singleShot(0, pMain, [pMain] { pMain->close(); });
        }
    });
}
