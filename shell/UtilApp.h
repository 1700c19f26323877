#pragma once
// The application: runs the main window; the program ends when it closes.

#include <QApplication>

class CUtilApp : public QApplication {
    Q_OBJECT
public:
    CUtilApp(int& argc, char** argv);

    // Shows the main window and runs until it closes; returns the exit status.
    int InitInstance();
};
