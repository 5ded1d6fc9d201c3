// The main window's advertising panel against a local HTTPS server: the version marker under a
// comma and a point locale (update offered and the program closed, or the panel shown and
// "Connected"), and every way of not getting a page (offline, a page that never comes, a
// redirect to plain HTTP, a certificate nobody trusts, an error) leaving the panel hidden; a
// hostile page that names local files in every spelling opens none of them.

#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFrame>
#include <QImage>
#include <QLocale>
#include <QTest>
#include <QTextCursor>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/advertView.h"
#include "app/mainWindow.h"
#include "app/updateWindow.h"
#include "httpsTestServer.h"
#include "support/fakeSoundCard.h"

using namespace una;
using namespace una::app;
using una::testing::HttpsTestServer;

namespace {

const QString kPagePath = QStringLiteral("/publicidad.htm");

QByteArray bannerPng() {
    QImage image(40, 20, QImage::Format_RGB32);
    image.fill(Qt::darkGreen);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QString advertHtml(const QString& title) {
    return QStringLiteral("<html><head><title>%1</title></head><body>"
                          "<p>Retrase la radio</p><img src=\"/banner.png\"></body></html>")
        .arg(title);
}

class AdvertPanelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.start()) << server.error().toStdString();
        server.trust();
        setenv("RUZIZAVUVODIDEZA_SITE", server.address().toUtf8().constData(), 1);
        server.writeFile(QStringLiteral("banner.png"), bannerPng());
        ASSERT_TRUE(folder.isValid());
        QLocale::setDefault(QLocale(QLocale::Spanish, QLocale::Spain));
    }
    void TearDown() override {
        closeWindow();
        QLocale::setDefault(QLocale::c());
        unsetenv("RUZIZAVUVODIDEZA_SITE");
    }

    void setPage(const QJsonObject& route) {
        server.setRoutes(
            {{kPagePath, route},
             {QStringLiteral("/plain.htm"),
              una::testing::page(advertHtml(QStringLiteral("Sorvalen_1.0")))},
             {QStringLiteral("/banner.png"),
              QJsonObject{{QStringLiteral("file"), QStringLiteral("banner.png")},
                          {QStringLiteral("type"), QStringLiteral("image/png")}}},
             {QStringLiteral("/red.css"),
              QJsonObject{{QStringLiteral("body"), QStringLiteral("p { color: #ff0000 }")},
                          {QStringLiteral("type"), QStringLiteral("text/css")}}}});
    }
    void setPageTitle(const QString& title) { setPage(una::testing::page(advertHtml(title))); }

    void open(bool connected = true) {
        MainWindowOptions options;
        options.iniFileName = folder.filePath(QStringLiteral("settings.ini")).toStdString();
        options.isConnected = [connected] { return connected; };
        window = std::make_unique<Tc_form_vo2VazuMain>(options);
        updateWindow = std::make_unique<TActualitza>(window.get());
        window->setUpdateWindow(updateWindow.get());
        window->move(40, 30);
        // The program reads the page 1.5 s after it completed; the tests need not wait that long.
        EXPECT_EQ(readTimer()->interval(), 1500);
        readTimer()->setInterval(100);
        window->show();
    }
    void closeWindow() {
        updateWindow.reset();
        window.reset();
    }

    QFrame* panel() { return window->findChild<QFrame*>(QStringLiteral("PanelWeb")); }
    QTimer* readTimer() { return window->findChild<QTimer*>(QStringLiteral("timerpublicitat")); }
    AdvertView* view() { return window->findChild<AdvertView*>(QStringLiteral("EmbeddedWB1")); }
    int pageRequests() { return int(server.requests().count(QStringLiteral("https ") + kPagePath)); }

    // Waits for the page to complete and for its lines to be read after the delay.
    bool markerRead() {
        return QTest::qWaitFor([&] { return readTimer()->isActive(); }, 10000) &&
               QTest::qWaitFor([&] { return !readTimer()->isActive(); }, 5000);
    }
    // Waits until the page has failed; a page that completed would have started the timer.
    bool loadFailed() {
        return QTest::qWaitFor([&] { return !view()->isLoading(); }, 10000);
    }
    void expectNothingShown(const char* what) {
        EXPECT_FALSE(panel()->isVisible()) << what;
        EXPECT_EQ(window->statusPanelText(1), QStringLiteral("Not connected")) << what;
        EXPECT_FALSE(window->adFound) << what;
        EXPECT_TRUE(window->isVisible()) << what;
        EXPECT_FALSE(readTimer()->isActive()) << what;
    }

    ScopedFakeSoundCard card;
    HttpsTestServer server;
    QTemporaryDir folder;
    std::unique_ptr<Tc_form_vo2VazuMain> window;
    std::unique_ptr<TActualitza> updateWindow;
};

TEST_F(AdvertPanelTest, MarkerDecidesBetweenUpdateAndPanel) {
    struct Case {
        const char* title;
        QLocale locale;
        bool update;
        bool panel;
    };
    const QLocale comma(QLocale::Spanish, QLocale::Spain);
    const QLocale point = QLocale::c();
    const Case cases[] = {
        {"Publicidad Sorvalen_1,1", comma, true, false},
        {"Publicidad Sorvalen_1.1", comma, true, false},
        {"Publicidad Sorvalen_1.0", comma, false, true},
        {"Publicidad Sorvalen_abc", comma, false, true},
        {"Publicidad Sorvalen_1.1", point, false, true},
        {"Publicidad", comma, false, false},
    };
    for (const Case& c : cases) {
        QLocale::setDefault(c.locale);
        setPageTitle(QString::fromUtf8(c.title));
        open();
        EXPECT_FALSE(panel()->isVisible()) << c.title;  // hidden until the marker is seen

        // The update window is modal: note where it stands and dismiss it.
        QPoint updateAt;
        bool offered = false;
        QTimer dismiss;
        QObject::connect(&dismiss, &QTimer::timeout, [&] {
            if (QApplication::activeModalWidget() == updateWindow.get()) {
                offered = true;
                updateAt = updateWindow->pos();
                updateWindow->reject();
            }
        });
        dismiss.start(20);
        const QPoint mainAt = window->pos();

        ASSERT_TRUE(markerRead()) << c.title;
        EXPECT_EQ(offered, c.update) << c.title;
        if (c.update) {
            EXPECT_EQ(updateAt, mainAt + QPoint(100, 200)) << c.title;
            EXPECT_FALSE(window->isVisible()) << c.title << ": the program closes after it";
        } else {
            EXPECT_TRUE(window->isVisible()) << c.title;
            EXPECT_EQ(panel()->isVisible(), c.panel) << c.title;
            EXPECT_EQ(window->adFound, c.panel) << c.title;
            EXPECT_EQ(window->statusPanelText(1),
                      c.panel ? QStringLiteral("Connected") : QStringLiteral("Not connected"))
                << c.title;
        }
        closeWindow();
    }
}

TEST_F(AdvertPanelTest, PanelShowsThePageOnceAndAsksNoMore) {
    setPageTitle(QStringLiteral("Publicidad Sorvalen_1.0"));
    open();
    ASSERT_TRUE(markerRead());
    ASSERT_TRUE(panel()->isVisible());
    EXPECT_TRUE(view()->toPlainText().contains(QStringLiteral("Retrase la radio")));
    EXPECT_TRUE(server.requests().contains(QStringLiteral("https /banner.png")));
    // The lines read: the address, the title, the text.
    ASSERT_GE(window->pageLines.size(), 3u);
    EXPECT_EQ(window->pageLines[0], server.url(kPagePath).toStdString());
    EXPECT_EQ(window->pageLines[1], "Publicidad Sorvalen_1.0");
    EXPECT_EQ(view()->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(view()->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(view()->contextMenuPolicy(), Qt::NoContextMenu);

    // Showing the window again (as the reduced form does) asks for nothing once it was seen.
    window->hide();
    window->show();
    QTest::qWait(300);
    EXPECT_EQ(pageRequests(), 1);
}

TEST_F(AdvertPanelTest, WithoutAPageNothingIsShown) {
    // Offline: the page is not even asked for.
    setPageTitle(QStringLiteral("Publicidad Sorvalen_1.0"));
    open(false);
    EXPECT_FALSE(view()->isLoading());
    expectNothingShown("offline");
    EXPECT_TRUE(server.requests().isEmpty());
    closeWindow();

    // A page that is asked for but never comes: the window goes on as usual.
    setPage({{QStringLiteral("hang"), true}});
    open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return pageRequests() > 0; }, 5000));
    QTest::qWait(300);
    EXPECT_TRUE(view()->isLoading());
    expectNothingShown("no answer");
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return window->statusPanelText(0).startsWith(QStringLiteral("Mem: ")); }, 2000));
    closeWindow();

    // A redirect to plain HTTP is not followed, even to a page with the marker.
    setPage({{QStringLiteral("status"), 302},
             {QStringLiteral("location"), server.plainUrl(QStringLiteral("/plain.htm"))}});
    open();
    ASSERT_TRUE(loadFailed());
    expectNothingShown("redirect to http");
    for (const QString& request : server.requests())
        EXPECT_FALSE(request.startsWith(QStringLiteral("http "))) << request.toStdString();
    closeWindow();

    // An error status, and a certificate that nobody vouches for.
    setPage({{QStringLiteral("status"), 500}, {QStringLiteral("body"), QStringLiteral("Sorvalen_1.0")}});
    open();
    ASSERT_TRUE(loadFailed());
    expectNothingShown("status 500");
    closeWindow();

    server.untrust();
    setPageTitle(QStringLiteral("Publicidad Sorvalen_1.0"));
    open();
    ASSERT_TRUE(loadFailed());
    expectNothingShown("untrusted certificate");
}

// A named pipe at a planted name: notes whether anything opened it to read, and lets such a
// reader go on at once instead of hanging the test.
class PlantedPipe {
  public:
    explicit PlantedPipe(const QString& path) : path_(path.toStdString()) {
        made_ = mkfifo(path_.c_str(), 0600) == 0;
        watcher_ = std::jthread([this](std::stop_token stop) {
            while (!stop.stop_requested()) {
                const int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0) {
                    opened_ = true;
                    ::close(fd);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    bool made() const { return made_; }
    const std::string& name() const { return path_; }
    bool opened() const { return opened_; }

  private:
    std::string path_;
    bool made_ = false;
    std::atomic<bool> opened_{false};
    std::jthread watcher_;
};

TEST_F(AdvertPanelTest, HostilePageReachesNothingLocal) {
    QTemporaryDir local;
    ASSERT_TRUE(local.isValid());
    const QString dir = local.path();
    std::vector<std::unique_ptr<PlantedPipe>> pipes;
    for (const char* name : {"secret.png", "style.css", "import.css", "back.png"}) {
        pipes.push_back(
            std::make_unique<PlantedPipe>(dir + QLatin1Char('/') + QLatin1String(name)));
        ASSERT_TRUE(pipes.back()->made()) << name;
    }
    const QString file = QStringLiteral("file://") + dir;
    // A data: image of megabytes, and every spelling of a local name.
    const QString html = QStringLiteral(
                             "<html><head><title>Sorvalen_1.0</title>"
                             "<link rel=\"stylesheet\" type=\"text/css\" href=\"/red.css\">"
                             "<link rel=\"stylesheet\" type=\"text/css\" href=\"%1/style.css\">"
                             "<style>@import url(\"%1/import.css\");</style></head>"
                             "<body background=\"%1/back.png\"><p>Hola</p>"
                             "<img src=\"%1/secret.png\"><img src=\"secret.png\">"
                             "<img src=\"file:secret.png\"><img src=\"qrc:/secret.png\">"
                             "<img src=\"%2/secret.png\" width=\"10\">"
                             "<img src=\"data:image/png;base64,%3\">"
                             "<img src=\"/banner.png\"></body></html>")
                             .arg(file, dir, QString(1500000, QLatin1Char('A')));
    setPage(una::testing::page(html));
    const QString previousFolder = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir));  // where a relative name would be looked up

    AdvertView view;
    view.resize(300, 400);
    view.show();
    bool complete = false;
    view.onDocumentComplete = [&] { complete = true; };
    view.navigate(server.url(kPagePath));
    EXPECT_TRUE(QTest::qWaitFor([&] { return complete; }, 10000));
    view.grab();  // laid out and painted, images and all
    QTest::qWait(200);
    QDir::setCurrent(previousFolder);

    for (const auto& pipe : pipes)
        EXPECT_FALSE(pipe->opened()) << pipe->name();
    // What the site serves still shows: its style sheet and its banner.
    const QTextCursor hola = view.document()->find(QStringLiteral("Hola"));
    ASSERT_FALSE(hola.isNull());
    EXPECT_EQ(hola.charFormat().foreground().color(), QColor(Qt::red));
    const QImage shown = view.grab().toImage();
    bool bannerShown = false;
    for (int y = 0; y < shown.height() && !bannerShown; ++y)
        for (int x = 0; x < shown.width() && !bannerShown; ++x)
            bannerShown = shown.pixelColor(x, y) == QColor(Qt::darkGreen);
    EXPECT_TRUE(bannerShown);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
