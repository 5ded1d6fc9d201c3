// The program: its command line, or else the application with its three windows.

#include <QApplication>

#include "app/headless.h"

int main(int argc, char** argv) {
    if (una::app::isCommandLineInvocation(argc, argv))
        return una::app::runCommandLine(argc, argv);
    QApplication application(argc, argv);
    return 0;
}
