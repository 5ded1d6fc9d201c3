// The update window against a local HTTPS server: the updater starts only when both files
// arrived complete; a short, refused, redirected-off-the-site or oversized download, a
// symbolic link at a file's name, or a current folder where nothing can be created, leaves
// older files (and a link's target) as they were and starts nothing.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>
#include <memory>
#include <unistd.h>

#include "app/updateWindow.h"
#include "httpsTestServer.h"

using namespace una::app;
using una::testing::HttpsTestServer;

namespace {

const QString kProgram = QStringLiteral("ruzizavuvodideza2.exe");
const QString kUpdater = QStringLiteral("update.exe");
const QString kProgramPath = QStringLiteral("/update/ruzizavuvodideza.exe");
const QString kUpdaterPath = QStringLiteral("/update/update.exe");

QByteArray programBytes() {
    QByteArray bytes;
    for (int i = 0; i < 30000; ++i)  // several reads' worth, not a multiple of one read
        bytes += char('A' + i % 26);
    return bytes;
}

// The updater the server hands out: it leaves a note of the folder it ran in.
// Written whole and then renamed: the test reads it as soon as the name appears.
const QString kUpdaterScript = QStringLiteral("#!/bin/sh\npwd > ran.tmp && mv ran.tmp ran.txt\n");

QJsonObject body(const QString& text) {
    return {{QStringLiteral("body"), text}};
}

class UpdateWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.start()) << server.error().toStdString();
        server.trust();
        setenv("RUZIZAVUVODIDEZA_SITE", server.address().toUtf8().constData(), 1);
        server.writeFile(QStringLiteral("program.bin"), programBytes());
        routes = {{kProgramPath, QJsonObject{{QStringLiteral("file"), QStringLiteral("program.bin")}}},
                  {kUpdaterPath, body(kUpdaterScript)}};
        server.setRoutes(routes);
        ASSERT_TRUE(folder.isValid());
        previousFolder = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(folder.path()));
        window = std::make_unique<TActualitza>();
        window->show();
    }
    void TearDown() override {
        window.reset();
        QDir::setCurrent(previousFolder);
        unsetenv("RUZIZAVUVODIDEZA_SITE");
    }

    QPushButton* button() { return window->findChild<QPushButton*>(QStringLiteral("SpeedDescargar")); }
    void click() { QTest::mouseClick(button(), Qt::LeftButton); }
    // Waits until the downloads are over, one way or the other.
    bool settled(int ms = 15000) {
        return QTest::qWaitFor([&] { return !window->isDownloading(); }, ms);
    }
    QByteArray fileBytes(const QString& name) {
        QFile file(folder.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    void writeLocal(const QString& name, const QByteArray& bytes) {
        QFile file(folder.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    QStringList localFiles() {
        return QDir(folder.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }

    HttpsTestServer server;
    QJsonObject routes;
    QTemporaryDir folder;
    QString previousFolder;
    std::unique_ptr<TActualitza> window;
};

TEST_F(UpdateWindowTest, BothFilesCompleteStartTheUpdaterAndClose) {
    EXPECT_EQ(window->windowTitle(), QStringLiteral("   Actualitzación"));
    EXPECT_EQ(window->panelCaption(), QStringLiteral("    Se requiere actualizar su versión.... "));
    EXPECT_EQ(button()->text(), QStringLiteral("&Descargar Actualización"));
    EXPECT_EQ(window->size(), QSize(390, 70));

    // An HTTPS redirect is followed; an older updater is replaced.
    routes[kProgramPath] = QJsonObject{{QStringLiteral("status"), 302},
                                       {QStringLiteral("location"), server.url(QStringLiteral("/files/new.exe"))}};
    routes[QStringLiteral("/files/new.exe")] =
        QJsonObject{{QStringLiteral("file"), QStringLiteral("program.bin")}};
    server.setRoutes(routes);
    writeLocal(kUpdater, "old updater");

    click();
    EXPECT_EQ(button()->text(), QStringLiteral("Descargando...."));
    EXPECT_FALSE(button()->isEnabled());
    EXPECT_EQ(window->panelCaption(), QStringLiteral("Bajando archivos necesarios..."));

    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(folder.filePath("ran.txt")); },
                                15000))
        << window->panelCaption().toStdString();
    EXPECT_EQ(fileBytes(QStringLiteral("ran.txt")).trimmed(),
              QFileInfo(folder.path()).canonicalFilePath().toUtf8());
    EXPECT_EQ(window->result(), QDialog::Accepted);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->panelCaption(), QStringLiteral("Proceso finalizado. Cerrando programa..."));
    EXPECT_EQ(fileBytes(kProgram), programBytes());
    EXPECT_EQ(fileBytes(kUpdater), kUpdaterScript.toUtf8());
    EXPECT_TRUE(QFileInfo(folder.filePath(kUpdater)).isExecutable());
    EXPECT_EQ(localFiles(), (QStringList{QStringLiteral("ran.txt"), kProgram, kUpdater}));
    EXPECT_EQ(server.requests(),
              (QStringList{QStringLiteral("https ") + kProgramPath,
                           QStringLiteral("https /files/new.exe"),
                           QStringLiteral("https ") + kUpdaterPath}));
}

TEST_F(UpdateWindowTest, ShortSecondFileStartsNothingAndKeepsTheOldOne) {
    routes[kUpdaterPath] = QJsonObject{{QStringLiteral("body"), kUpdaterScript + QString(20000, 'x')},
                                       {QStringLiteral("cut"), 9000}};
    server.setRoutes(routes);
    writeLocal(kUpdater, "old updater");

    click();
    ASSERT_TRUE(settled());
    EXPECT_EQ(window->panelCaption(), QStringLiteral("La descarga de update.exe quedó incompleta."));
    EXPECT_EQ(fileBytes(kUpdater), QByteArray("old updater"));
    EXPECT_EQ(fileBytes(kProgram), programBytes());  // the first one was complete
    EXPECT_EQ(localFiles(), (QStringList{kProgram, kUpdater}));  // no partial file anywhere
    EXPECT_TRUE(window->isVisible());
    // The button is given back, and the failure speaks the user's language.
    EXPECT_TRUE(button()->isEnabled());
    EXPECT_EQ(button()->text(), QStringLiteral("&Descargar Actualización"));
    window->languageCode = "uk";
    click();
    ASSERT_TRUE(settled());
    EXPECT_EQ(window->panelCaption(), QStringLiteral("The download of update.exe was incomplete."));
    EXPECT_EQ(server.requests().size(), 4);
    EXPECT_FALSE(QFileInfo::exists(folder.filePath("ran.txt")));
}

TEST_F(UpdateWindowTest, RefusedFirstDownloadsLeaveNothingAndSkipTheSecond) {
    struct Case {
        const char* what;
        QJsonObject route;
        QString text;
        bool trusted = true;
    };
    const QString failed = QStringLiteral("No se pudo descargar ruzizavuvodideza2.exe.");
    const QString incomplete =
        QStringLiteral("La descarga de ruzizavuvodideza2.exe quedó incompleta.");
    const QJsonObject program{{QStringLiteral("file"), QStringLiteral("program.bin")}};
    auto redirect = [](const QString& to) {
        return QJsonObject{{QStringLiteral("status"), 302}, {QStringLiteral("location"), to}};
    };
    const Case cases[] = {
        {"redirect to plain HTTP", redirect(server.plainUrl(QStringLiteral("/files/other.exe"))),
         failed},
        {"redirect to another host",
         redirect(server.otherHostUrl(QStringLiteral("/files/other.exe"))), failed},
        {"not found", {{QStringLiteral("status"), 404}}, failed},
        {"no length",
         {{QStringLiteral("file"), QStringLiteral("program.bin")},
          {QStringLiteral("nolength"), true}},
         incomplete},
        {"announced 300 MB",
         {{QStringLiteral("body"), QStringLiteral("x")},
          {QStringLiteral("announce"), 300 * 1024 * 1024}},
         QStringLiteral("ruzizavuvodideza2.exe es demasiado grande; no se descarga.")},
        {"untrusted certificate", program, failed, false},
    };
    writeLocal(kProgram, "old program");
    routes[QStringLiteral("/files/other.exe")] = program;
    for (const Case& c : cases) {
        routes[kProgramPath] = c.route;
        server.setRoutes(routes);
        if (!c.trusted) {
            // A fresh window: its access manager would otherwise resume the trusted session.
            window = std::make_unique<TActualitza>();
            window->show();
            server.untrust();
        }
        const qsizetype before = server.requests().size();
        click();
        ASSERT_TRUE(settled()) << c.what;
        server.trust();
        EXPECT_EQ(window->panelCaption(), c.text) << c.what;
        EXPECT_EQ(fileBytes(kProgram), QByteArray("old program")) << c.what;
        EXPECT_EQ(localFiles(), QStringList{kProgram}) << c.what;
        // Nothing but the first file was asked for (not even that over a refused certificate).
        const QStringList asked = server.requests().mid(before);
        EXPECT_EQ(asked,
                  c.trusted ? QStringList{QStringLiteral("https ") + kProgramPath} : QStringList{})
            << c.what;
        EXPECT_TRUE(button()->isEnabled()) << c.what;
    }
}

TEST_F(UpdateWindowTest, ALinkAtEitherNameIsLeftAsItIs) {
    // The link would have the download replace its target, anywhere the user may write.
    QTemporaryDir elsewhere;
    ASSERT_TRUE(elsewhere.isValid());
    const QString target = elsewhere.filePath(QStringLiteral("precious.txt"));
    {
        QFile file(target);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("precious");
    }
    ASSERT_TRUE(QFile::link(target, folder.filePath(kUpdater)));
    // A body longer than it announced is cut at the announced length, not run long.
    routes[kProgramPath] = QJsonObject{{QStringLiteral("file"), QStringLiteral("program.bin")},
                                       {QStringLiteral("announce"), 20000}};
    server.setRoutes(routes);
    click();
    ASSERT_TRUE(settled());
    EXPECT_EQ(window->panelCaption(),
              QStringLiteral("update.exe es un enlace simbólico; no se reemplaza."));
    EXPECT_EQ(fileBytes(kProgram), programBytes().left(20000));
    EXPECT_TRUE(QFileInfo(folder.filePath(kUpdater)).isSymLink());
    QFile file(target);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("precious"));
    EXPECT_EQ(localFiles(), (QStringList{kProgram, kUpdater}));
    EXPECT_EQ(server.requests(), QStringList{QStringLiteral("https ") + kProgramPath});
    EXPECT_FALSE(QFileInfo::exists(folder.filePath("ran.txt")));
}

TEST_F(UpdateWindowTest, FirstFileNotCreatableStopsBeforeTheNetwork) {
    // A read-only folder stops everyone but root; /proc stops root as well.
    ASSERT_TRUE(QFile::setPermissions(folder.path(), QFile::ReadOwner | QFile::ExeOwner));
    if (access(folder.path().toLocal8Bit().constData(), W_OK) == 0) {
        ASSERT_TRUE(QDir::setCurrent(QStringLiteral("/proc")));
    }
    click();
    ASSERT_TRUE(settled());
    EXPECT_EQ(window->panelCaption(),
              QStringLiteral("No se pudo crear ruzizavuvodideza2.exe en esta carpeta."));
    EXPECT_TRUE(server.requests().isEmpty());
    QFile::setPermissions(folder.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_TRUE(localFiles().isEmpty());
}

TEST_F(UpdateWindowTest, StaysOpenWhileDownloadingAndCleansUpWhenDestroyed) {
    routes[kProgramPath] = QJsonObject{{QStringLiteral("hang"), true}};
    server.setRoutes(routes);
    click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !server.requests().isEmpty(); }, 10000));
    QTest::keyClick(window.get(), Qt::Key_Escape);
    window->close();
    QTest::qWait(50);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isDownloading());
    // Nothing under the final name while it comes.
    EXPECT_FALSE(QFileInfo::exists(folder.filePath(kProgram)));
    window.reset();
    EXPECT_TRUE(localFiles().isEmpty());
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
