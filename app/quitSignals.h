#pragma once
// SIGINT and SIGTERM as an ordinary event of the user-interface thread: the signal handler only
// writes the signal's number into a pipe, and a socket notifier reads it in the event loop and
// calls the program's handler there. One instance at a time; create and destroy it on the
// user-interface thread.

#include <functional>
#include <memory>

class QSocketNotifier;
class QWidget;

namespace una::app {

class QuitSignals {
  public:
    using Handler = std::function<void(int signalNumber)>;

    // Installs the handlers; none when the pipe cannot be made or another instance lives (the
    // signals then keep their previous handling).
    static std::unique_ptr<QuitSignals> install(Handler onSignal);
    // Puts the previous handlers back.
    ~QuitSignals();
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

  private:
    QuitSignals() = default;
    void readPipe();

    Handler onSignal_;
    int readFd_ = -1;
    int writeFd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
};

// Closes whatever modal dialogs are open and then the window, as its close box would.
void closeLikeCloseBox(QWidget* window);

}  // namespace una::app
