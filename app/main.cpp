// The program: its command line, or else the application with its three windows.

#include <QApplication>
#include <QNetworkProxyFactory>
#include <QPointer>

#include "app/headless.h"
#include "app/inputWindow.h"
#include "app/mainWindow.h"
#include "app/quitSignals.h"
#include "app/updateWindow.h"
#include "platform/serverWait.h"

int main(int argc, char** argv) {
    using namespace una::app;
    // --remote [PORT] alone turns the phone remote on for the window.
    MainWindowOptions options;
    if (isCommandLineInvocation(argc, argv)) {
        options.remotePort = windowRemotePort(argc, argv);
        if (!options.remotePort)
            return runCommandLine(argc, argv);
    }

    // A sound server still starting is awaited while the window already shows.
    platform::chooseSoundCardInBackground();
    QApplication application(argc, argv);
    // The vendor's site is reached through the proxy the desktop is set up with, if any.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    QApplication::setApplicationDisplayName(
        QString::fromUtf8(kApplicationTitle.data(), qsizetype(kApplicationTitle.size())));

    // Ctrl-C or a logout ends the program through the close box's path, so the settings are
    // saved and the WAV file is completed. A signal during start-up is kept for afterwards.
    bool quitRequested = false;
    QPointer<QWidget> mainWindowRef;
    auto quit = QuitSignals::install([&](int) {
        quitRequested = true;
        closeLikeCloseBox(mainWindowRef);
    });

    Tc_form_vo2VazuMain mainWindow(options);
    mainWindowRef = &mainWindow;
    TActualitza updateWindow(&mainWindow);
    Tc_form_main inputWindow(&mainWindow);
    mainWindow.setInputWindow(&inputWindow);
    mainWindow.setUpdateWindow(&updateWindow);

    if (quitRequested) {
        mainWindow.close();
        return 0;
    }
    mainWindow.show();
    return application.exec();
}
