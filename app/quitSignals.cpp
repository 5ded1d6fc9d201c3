#include "app/quitSignals.h"

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <QWidget>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace una::app {

namespace {

std::atomic<int> signalWriteFd{-1};
struct sigaction previousInt;
struct sigaction previousTerm;

extern "C" void onQuitSignal(int signalNumber) {
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(signalNumber);
    int fd = signalWriteFd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        ssize_t ignored = write(fd, &byte, 1);
        (void)ignored;
    }
    errno = saved;
}

}  // namespace

std::unique_ptr<QuitSignals> QuitSignals::install(Handler onSignal) {
    if (signalWriteFd.load() >= 0)
        return nullptr;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return nullptr;
    std::unique_ptr<QuitSignals> quit(new QuitSignals);
    quit->onSignal_ = std::move(onSignal);
    quit->readFd_ = fds[0];
    quit->writeFd_ = fds[1];
    quit->notifier_ = std::make_unique<QSocketNotifier>(fds[0], QSocketNotifier::Read);
    QObject::connect(quit->notifier_.get(), &QSocketNotifier::activated,
                     [raw = quit.get()] { raw->readPipe(); });
    signalWriteFd.store(fds[1]);

    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &previousInt);
    sigaction(SIGTERM, &action, &previousTerm);
    return quit;
}

QuitSignals::~QuitSignals() {
    sigaction(SIGINT, &previousInt, nullptr);
    sigaction(SIGTERM, &previousTerm, nullptr);
    signalWriteFd.store(-1);
    notifier_.reset();
    close(readFd_);
    close(writeFd_);
}

void QuitSignals::readPipe() {
    unsigned char bytes[16];
    ssize_t n;
    while ((n = read(readFd_, bytes, sizeof bytes)) > 0)
        for (ssize_t i = 0; i < n; ++i)
            if (onSignal_)
                onSignal_(bytes[i]);
}

void closeLikeCloseBox(QWidget* window) {
    // A modal dialog runs its own loop; it must end before the window can go.
    for (int guard = 0; guard < 16; ++guard) {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || modal == window)
            break;
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
    }
    if (window)
        window->close();
}

}  // namespace una::app
