// Window titles as the window manager reads them (_NET_WM_NAME on X11), with the
// application set up as velorcfg sets itself up: Qt appends an application display
// name to every title it hands the window system, so none may be set.

#include <QDialog>
#include <QProcess>
#include <QtTest>

#include "shell/UtilApp.h"

class WindowTitleTest : public QObject {
    Q_OBJECT
private slots:
    void titlesReachTheWindowManagerExactly() {
        if (QGuiApplication::platformName() != "xcb") QSKIP("needs an X display (xvfb-run)");
        for (const char* pTitle : {"Check Switches", "Flashing Velor",
                                   "Halvex Orvik/Orvane/Orlith Configuration Utility"}) {
            QDialog dlg;
            dlg.setWindowTitle(pTitle);
            dlg.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dlg));
            QProcess xprop;
            xprop.start("xprop", {"-id", QString::number(dlg.winId()), "_NET_WM_NAME"});
            QVERIFY2(xprop.waitForFinished(10000), "xprop did not answer");
            const QString strGot = QString::fromUtf8(xprop.readAllStandardOutput()).trimmed();
            QCOMPARE(strGot, QString("_NET_WM_NAME(UTF8_STRING) = \"%1\"").arg(pTitle));
        }
    }
};

int main(int argc, char** argv) {
    CUtilApp app(argc, argv);
    WindowTitleTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "WindowTitleTest.moc"
