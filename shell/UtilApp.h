#pragma once
// The application: runs the main window; the program ends when it closes.

#include <QApplication>

class CUtilApp : public QApplication {
    Q_OBJECT
public:
    CUtilApp(int& argc, char** argv);

    // Shows the main window and runs until it closes; returns the exit status. With
    // --demo a simulated unit inside the program stands in for the hardware.
    int InitInstance();

    // What velorcfg does with --help or --version, before any window system is
    // needed: true when it has answered (the program ends with *pStatus).
    static bool AnswerWithoutWindow(int argc, char** argv, int* pStatus);
};
