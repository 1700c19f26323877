#include "HexKeyEdit.h"

#include <QKeyEvent>
#include <algorithm>

CHexKeyEdit::CHexKeyEdit(QWidget* pParent) : QLineEdit(pParent) {
    connect(this, &QLineEdit::cursorPositionChanged, this, [this] { WriteReadout(); });
}

bool CHexKeyEdit::IsKeyChar(QChar ch) {
    char16_t c = ch.unicode();
    if (c >= u'a' && c <= u'z') c = char16_t(c - 32); // tested as upper case, inserted as typed
    return (c >= u'1' && c <= u'9') || (c >= u'A' && c <= u'F') || c == u'\b';
}

void CHexKeyEdit::SetPosReadout(QWidget* pReadout) {
    m_pPosCtrl = pReadout;
    WriteReadout();
}

void CHexKeyEdit::keyPressEvent(QKeyEvent* pEvent) {
    switch (pEvent->key()) {
    // Keys that move, delete or belong to the dialog (default button, cancel, focus)
    // are not characters: they act as usual.
    case Qt::Key_Backspace:
    case Qt::Key_Delete:
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        QLineEdit::keyPressEvent(pEvent);
        return;
    default:
        break;
    }
    const QString strText = pEvent->text();
    // Everything that would type a character is filtered, control characters too: so
    // pasting with Ctrl+V cannot bring in what typing could not. The paste keys are
    // refused by their meaning as well, since not every platform gives them a text
    // (X11 sends 0x16, others nothing).
    if (pEvent->matches(QKeySequence::Paste) ||
        !std::all_of(strText.begin(), strText.end(), IsKeyChar)) {
        pEvent->accept();
        return;
    }
    QLineEdit::keyPressEvent(pEvent);
}

void CHexKeyEdit::WriteReadout() {
    if (m_pPosCtrl.isNull()) return;
    m_nCaretPos = cursorPosition();
    m_pPosCtrl->setProperty("text", QStringLiteral(" %1").arg(m_nCaretPos));
}
