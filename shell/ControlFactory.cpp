#include "shell/ControlFactory.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>

namespace {
// Eats printable keystrokes that are no key digit; editing and navigation keys pass.
class CHexKeyFilter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override {
        if (pEvent->type() == QEvent::KeyPress) {
            const auto* pKey = static_cast<QKeyEvent*>(pEvent);
            const QString str = pKey->text();
            const bool bCommand =
                pKey->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
            if (!bCommand && str.size() == 1 && str.at(0).isPrint() && !IsKeyDigit(str.at(0)))
                return true;
        }
        return QObject::eventFilter(pWatched, pEvent);
    }

private:
    static bool IsKeyDigit(QChar c) {
        const char ch = c.toLatin1();
        return (ch >= '1' && ch <= '9') || (ch >= 'A' && ch <= 'F') || (ch >= 'a' && ch <= 'f');
    }
};
} // namespace

QAbstractButton* CreateActionButton(QWidget* pParent, int nId, const QString& strCaption, int x,
                                    int y) {
    auto* pButton = new QPushButton(strCaption, pParent);
    pButton->setObjectName(QStringLiteral("IDC_%1").arg(nId));
    pButton->setGeometry(x, y, 96, 32);
    pButton->setAutoDefault(false);
    pButton->setFocusPolicy(Qt::ClickFocus);
    pButton->show();
    return pButton;
}

void SetUpHexKeyField(QLineEdit* pField) {
    pField->setMaxLength(16);
    pField->installEventFilter(new CHexKeyFilter(pField));
}
