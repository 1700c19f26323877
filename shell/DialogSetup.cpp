#include "shell/DialogSetup.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QPushButton>
#include <QValidator>

// The images are linked into a static library: register them once by hand (outside
// any namespace, as the registration function is global).
static void InitImages() {
    static const bool s_bDone = [] {
        Q_INIT_RESOURCE(velorcfg);
        return true;
    }();
    (void)s_bDone;
}

namespace {
// The layouts are in dialog units of a font 6 pixels wide on average and 13 high:
// the desktop's sans-serif font at 11 pixels comes closest.
constexpr int FONT_PIXELS = 11;
constexpr int SMALLEST_PIXELS = 9;
// What a text keeps free before the control beside it: less reads as one word.
constexpr int GAP_PIXELS = 6;

// Free room to the right of a control, up to the next control beside it or the end
// of its group.
int RoomTo(QWidget* pWidget) {
    QWidget* pParent = pWidget->parentWidget();
    const QRect r = pWidget->geometry();
    int nRight = pParent->width() - 3;
    for (QObject* pObject : pParent->children()) {
        auto* pOther = qobject_cast<QWidget*>(pObject);
        if (!pOther || pOther == pWidget || pOther->isWindow()) continue;
        const QRect o = pOther->geometry();
        if (o.left() > r.left() && o.top() < r.bottom() && o.bottom() > r.top())
            nRight = std::min(nRight, o.left() - GAP_PIXELS);
    }
    return std::max(r.width(), nRight - r.left() + 1);
}

bool Fits(QWidget* pWidget) {
    // A field shows all the characters it takes (a key's 16 digits) without scrolling.
    if (auto* pEdit = qobject_cast<QLineEdit*>(pWidget)) {
        const int nText = pEdit->fontMetrics().horizontalAdvance(QString(pEdit->maxLength(), 'D'));
        return nText + 8 <= pEdit->width();
    }
    if (auto* pLabel = qobject_cast<QLabel*>(pWidget); pLabel && pLabel->wordWrap())
        return pLabel->heightForWidth(pLabel->width()) <= pLabel->height();
    return pWidget->sizeHint().width() <= pWidget->width();
}

// A text that does not fit its control takes the free room beside it (labels and
// check boxes) and, if that is not enough, a smaller font, never a clipped text.
void FitText(QWidget* pWidget) {
    if (Fits(pWidget)) return;
    auto* pLabel = qobject_cast<QLabel*>(pWidget);
    if ((pLabel && !pLabel->wordWrap()) || qobject_cast<QCheckBox*>(pWidget))
        pWidget->resize(std::min(pWidget->sizeHint().width(), RoomTo(pWidget)), pWidget->height());
    QFont font = pWidget->font();
    while (!Fits(pWidget) && font.pixelSize() > SMALLEST_PIXELS) {
        font.setPixelSize(font.pixelSize() - 1);
        pWidget->setFont(font);
    }
}

// Texts that stand side by side read as one font: the smallest any of them had to take.
void OneFont(const QList<QWidget*>& widgets) {
    int nPixels = FONT_PIXELS;
    for (QWidget* pWidget : widgets)
        if (pWidget->font().pixelSize() > 0) nPixels = std::min(nPixels, pWidget->font().pixelSize());
    for (QWidget* pWidget : widgets) {
        if (pWidget->font().pixelSize() <= nPixels) continue;
        QFont font = pWidget->font();
        font.setPixelSize(nPixels);
        pWidget->setFont(font);
    }
}

// Refuses an edit that leaves the text longer than the limit; only the text held when the
// limit was set may be longer. (A length limit on the field itself would cut that text.)
class CTypingLimit : public QValidator {
public:
    CTypingLimit(int nMax, const QString& strHeld, QObject* pParent)
        : QValidator(pParent), m_nMax(nMax), m_strHeld(strHeld) {}

    State validate(QString& strInput, int&) const override {
        return strInput.size() <= m_nMax || strInput == m_strHeld ? Acceptable : Invalid;
    }

private:
    int m_nMax;
    QString m_strHeld;
};

// A group's mnemonic leads to its first field, as the titles promise ("&Sub Net Mask"),
// not back to whichever field of the group had the focus last.
class CGroupMnemonic : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override {
        if (pEvent->type() != QEvent::Shortcut) return false;
        auto* pGroup = static_cast<QWidget*>(pWatched);
        for (QWidget* p = pGroup->nextInFocusChain(); p != pGroup; p = p->nextInFocusChain()) {
            if (pGroup->isAncestorOf(p) && p->isEnabled() && p->isVisibleTo(pGroup) &&
                (p->focusPolicy() & Qt::TabFocus)) {
                p->setFocus(Qt::ShortcutFocusReason);
                break;
            }
        }
        return true;
    }
};

// Fits the texts once, when the dialog is first shown and every text has been set.
class CFitTexts : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override {
        if (pEvent->type() == QEvent::Show) {
            auto* pDlg = static_cast<QWidget*>(pWatched);
            for (QLabel* pLabel : pDlg->findChildren<QLabel*>())
                if (!pLabel->text().isEmpty()) FitText(pLabel);
            for (QAbstractButton* pButton : pDlg->findChildren<QAbstractButton*>())
                FitText(pButton);
            for (QLineEdit* pEdit : pDlg->findChildren<QLineEdit*>())
                if (pEdit->maxLength() <= 16 &&
                    !pEdit->parentWidget()->inherits("QAbstractSpinBox"))
                    FitText(pEdit);
            // The check boxes of a window in one font; the labels of one group.
            QList<QWidget*> boxes;
            for (QCheckBox* pBox : pDlg->findChildren<QCheckBox*>())
                boxes << pBox;
            OneFont(boxes);
            QMap<QWidget*, QList<QWidget*>> labels;
            for (QLabel* pLabel : pDlg->findChildren<QLabel*>())
                if (!pLabel->text().isEmpty() && !pLabel->wordWrap())
                    labels[pLabel->parentWidget()] << pLabel;
            for (const QList<QWidget*>& group : labels)
                OneFont(group);
            pDlg->removeEventFilter(this);
            deleteLater();
        }
        return QObject::eventFilter(pWatched, pEvent);
    }
};
} // namespace

void UseProgramLook() {
    // Once for the whole program: a style sheet on one window would reset the fonts of
    // the dialogs it parents to the application's.
    static const bool s_bDone = [] {
        InitImages();
        QFont font = QApplication::font();
        font.setPixelSize(FONT_PIXELS);
        QApplication::setFont(font);
        qApp->setStyleSheet(
            "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 7px; }"
            "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
            " left: 6px; padding: 0 2px; }");
        return true;
    }();
    (void)s_bDone;
}

void ApplyLook(QDialog* pDlg) {
    UseProgramLook();
    // A label may come to show what was typed or what a unit sent: never as markup.
    for (QLabel* pLabel : pDlg->findChildren<QLabel*>())
        pLabel->setTextFormat(Qt::PlainText);
    pDlg->installEventFilter(new CFitTexts(pDlg));
    auto* pMnemonics = new CGroupMnemonic(pDlg);
    for (QGroupBox* pGroup : pDlg->findChildren<QGroupBox*>())
        if (pGroup->title().contains(u'&')) pGroup->installEventFilter(pMnemonics);
}

void SetupDialog(QDialog* pDlg) {
    ApplyLook(pDlg);
    pDlg->setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    pDlg->setSizeGripEnabled(false);
    pDlg->setFixedSize(pDlg->size());
}

void LimitTyping(QLineEdit* pEdit, int nMax) {
    const QString strHeld = pEdit->text();
    // The length limit only sizes the field to what it shows (see Fits); the validator
    // does the limiting.
    pEdit->setMaxLength(std::max(nMax, int(strHeld.size())));
    pEdit->setValidator(new CTypingLimit(nMax, strHeld, pEdit));
}

void WireOkCancel(QDialog* pDlg, QPushButton* pOk, QPushButton* pCancel) {
    QObject::connect(pOk, &QPushButton::clicked, pDlg, &QDialog::accept);
    QObject::connect(pCancel, &QPushButton::clicked, pDlg, &QDialog::reject);
}
