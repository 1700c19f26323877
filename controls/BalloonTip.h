#pragma once
// A tooltip of the program's own: a borderless pop-up shaped like a speech balloon (an
// ellipse with a pointed tail on its left), pale yellow with a blue frame. It keeps a
// table of tools, each a widget with its own text, text colour, display time and show
// delay; the owner passes it the events it sees (RelayEvent, or install the balloon as
// an application event filter), and the balloon comes up next to the pointer when the
// pointer rests on a tool.

#include <QColor>
#include <QFont>
#include <QPointer>
#include <QRect>
#include <QRegion>
#include <QString>
#include <QWidget>
#include <map>

struct BalloonTool {
    QString strText;
    QColor crText;
    int nShowSeconds; // how long the balloon stays up; 0 or less: until hidden
    int nDelayMs;     // show delay and re-show period; 0 or less: never shown
};

class CBalloonTip : public QWidget {
    Q_OBJECT
public:
    static constexpr int DEFAULT_SHOW_SECONDS = 5;
    static constexpr int DEFAULT_DELAY_MS = 1000;

    CBalloonTip();
    ~CBalloonTip() override;

    // Makes the hidden pop-up window, owned by pParent (may be null), and its shape.
    bool Create(QWidget* pParent);
    bool IsCreated() const { return m_bCreated; }

    // Registers pTool (again: replaces its record). The record goes with the tool when
    // the tool is destroyed.
    void AddTool(QWidget* pTool, const QString& strText, const QColor& crText = Qt::black,
                 int nShowSeconds = DEFAULT_SHOW_SECONDS, int nDelayMs = DEFAULT_DELAY_MS);
    void RemoveTool(QWidget* pTool);
    int GetToolCount() const { return int(m_tools.size()); }

    // Looks at one event that pWatched received: pointer moves place the balloon for a
    // tool or drop the current tool; key presses and left or right clicks hide it.
    void RelayEvent(QObject* pWatched, QEvent* pEvent);

    // Places the hidden balloon at (x, y) on the screen, kept inside the screen, and
    // starts its timers; it shows when the show timer first fires.
    void ShowAt(int x, int y, int nShowSeconds, int nDelayMs);
    // Hides the balloon and stops both timers, so a balloon not yet shown stays hidden.
    void Hide();

    QRect GetTextRect() const { return m_rcText; }
    QString GetText() const { return m_strText; }

protected:
    // Relays the events of the owner's window and of the balloon itself (all events when
    // there is no owner).
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;
    void paintEvent(QPaintEvent* pEvent) override;
    void timerEvent(QTimerEvent* pEvent) override;

private:
    void StartHideTimer(int nSeconds);
    void StartShowTimer(int nMs);
    void StopHideTimer();
    void StopShowTimer();
    QRegion BalloonRgn() const { return m_rgnTail.united(m_rgnBalloon); }

    QPointer<QWidget> m_hParent;
    QFont m_font;
    QRegion m_rgnBalloon;
    QRegion m_rgnTail;
    QRegion m_rgnWindow;
    QRect m_rcText;
    std::map<const QObject*, BalloonTool> m_tools;
    QPointer<QWidget> m_hwndCurrent;
    int m_nWidth = 160;
    int m_nHeight = 80;
    QColor m_crFill{249, 254, 188};
    QColor m_crFrame{0, 0, 255};
    QColor m_crText{0, 0, 0};
    int m_nFontHeight = 14;
    QString m_strFontFace = QStringLiteral("Arial");
    QString m_strText;
    int m_nHideTimer = 0;
    int m_nShowTimer = 0;
    bool m_bCreated = false;
};
