#pragma once
// A push button with a small bitmap beside or above its caption: a flat face that lifts
// into a raised frame under the pointer or with the focus and sinks when pressed, a blue
// caption while it has the focus, and one click for every release of the left button on
// it, the release that only gave it the focus included.

#include <QImage>
#include <QPushButton>
#include <QString>

class CHoverBitmapButton : public QPushButton {
    Q_OBJECT
public:
    // Bitmap and caption placement for SetLayout.
    enum ELayout {
        LAYOUT_BITMAP_RIGHT = 0,  // caption left, bitmap after it, centred vertically
        LAYOUT_BITMAP_LEFT = 1,   // bitmap left, centred vertically, caption after it
        LAYOUT_BITMAP_TOP = 2,    // bitmap at the top, centred; caption centred at the bottom
        LAYOUT_BITMAP_BOTTOM = 3, // caption centred at the top, bitmap below it, centred
    };
    // Frame styles.
    enum EFrame { FRAME_FLAT = 0, FRAME_SUNKEN = 1, FRAME_RAISED = 2 };

    explicit CHoverBitmapButton(QWidget* pParent = nullptr);
    explicit CHoverBitmapButton(const QString& strCaption, QWidget* pParent = nullptr);
    ~CHoverBitmapButton() override;

    // Loads the bitmaps with the program's resource numbers (the resource
    // ":/res/bmp<number>.bmp"); 0 names no bitmap.
    bool LoadBitmaps(unsigned nNormal, unsigned nHot = 0, unsigned nDisabled = 0);
    // Loads the bitmaps from image files or resources; a null name loads none. Everything
    // held before is dropped first. False when the normal bitmap, or a hot or disabled
    // one that was named, cannot be loaded; the ones loaded before the failure stay.
    bool LoadBitmaps(const QString& strNormal, const QString& strHot = QString(),
                     const QString& strDisabled = QString());
    // Values outside 0 to 3 are ignored: the layout stays as it was.
    void SetLayout(int nLayout);
    int GetLayout() const { return m_nLayout; }

    int GetDlgCtrlID() const { return m_nId; }
    void SetDlgCtrlID(int nId) { m_nId = nId; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* pEvent) override;
    void focusInEvent(QFocusEvent* pEvent) override;
    void focusOutEvent(QFocusEvent* pEvent) override;
    void changeEvent(QEvent* pEvent) override;
    void mousePressEvent(QMouseEvent* pEvent) override;
    void mouseReleaseEvent(QMouseEvent* pEvent) override;
    void mouseDoubleClickEvent(QMouseEvent* pEvent) override;
    void mouseMoveEvent(QMouseEvent* pEvent) override;
    void leaveEvent(QEvent* pEvent) override;

private:
    void Init();
    void Leave();
    static void DrawBitmap(QPainter& dc, const QImage& bm, const QRect& rc, bool bCentreX,
                           bool bCentreY);

    bool m_bHot = false;
    QImage m_bmNormal;
    QImage m_bmHot;
    QImage m_bmDisabled;
    int m_nLayout = LAYOUT_BITMAP_RIGHT;
    bool m_bDisabled = false;
    bool m_bFocus = false;
    bool m_bPressed = false;
    int m_nFrame = FRAME_FLAT;
    // The pointer is being followed as over the button; cleared when it leaves.
    bool m_bCaptured = false;
    int m_nId = 0;
};
