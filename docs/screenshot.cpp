// Takes the README's picture: the real main window delaying the private server's radio, once
// in Spanish with the built-in look and once in English with a skin, side by side.
// Usage: screenshot OUT.png SETTINGS_A.ini SETTINGS_B.ini [SECONDS]
#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QToolButton>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/mainWindow.h"

namespace {

void waitFor(int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

QPixmap shoot(const QString& ini, int seconds) {
    una::app::MainWindowOptions options;
    options.iniFileName = ini.toStdString();
    options.openUrl = [](const QUrl&) {};
    options.showMessage = [](QWidget*, const QString&) {};
    auto window = std::make_unique<una::app::Tc_form_vo2VazuMain>(options);
    window->show();
    waitFor(500);
    if (auto* start = window->findChild<QToolButton*>(QStringLiteral("c_sb_waveInStart")))
        start->click();
    // Past the delay, so the meters move and the heard delay is shown.
    waitFor(seconds * 1000);
    QPixmap picture = window->grab();
    window->close();
    waitFor(300);
    return picture;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s OUT.png SETTINGS_A.ini SETTINGS_B.ini [SECONDS]\n",
                     argv[0]);
        return 2;
    }
    const int seconds = argc > 4 ? std::stoi(argv[4]) : 7;
    std::vector<QPixmap> shots;
    for (int i = 2; i < 4; ++i)
        shots.push_back(shoot(QString::fromLocal8Bit(argv[i]), seconds));

    constexpr int kGap = 16;
    const int width = shots[0].width() + kGap + shots[1].width();
    const int height = std::max(shots[0].height(), shots[1].height());
    QImage sheet(width, height, QImage::Format_ARGB32);
    sheet.fill(Qt::white);
    QPainter painter(&sheet);
    painter.drawPixmap(0, 0, shots[0]);
    painter.drawPixmap(shots[0].width() + kGap, 0, shots[1]);
    painter.end();
    return sheet.save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
