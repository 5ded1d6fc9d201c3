#pragma once
// A local HTTPS server for the tests (https_test_server.py beside this file) with a
// certificate made for the test run by openssl. The certificate is trusted only inside the test
// process, by adding it to Qt's default TLS configuration for as long as trust() holds; the
// program's own code never loosens its checks. Routes are JSON objects (see the script).

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>
#include <ostream>

// Readable failure messages for Qt's strings.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace una::testing {

class HttpsTestServer {
  public:
    HttpsTestServer() = default;
    HttpsTestServer(const HttpsTestServer&) = delete;
    HttpsTestServer& operator=(const HttpsTestServer&) = delete;
    ~HttpsTestServer() {
        untrust();
        if (process_.state() != QProcess::NotRunning) {
            process_.closeWriteChannel();
            if (!process_.waitForFinished(3000)) {
                process_.kill();
                process_.waitForFinished(3000);
            }
        }
    }

    // Makes the certificate and starts the server; false (with error() telling why) when
    // either fails.
    bool start() {
        if (!dir_.isValid())
            return fail(QStringLiteral("no temporary folder"));
        QProcess openssl;
        openssl.setWorkingDirectory(dir_.path());
        openssl.start(QStringLiteral("openssl"),
                      {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                       QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                       QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                       QStringLiteral("-keyout"), QStringLiteral("key.pem"),
                       QStringLiteral("-out"), QStringLiteral("cert.pem"),
                       QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                       QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"),
                       QStringLiteral("subjectAltName=IP:127.0.0.1,DNS:localhost")});
        if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0)
            return fail(QStringLiteral("openssl: ") + QString::fromLocal8Bit(openssl.readAll()));
        certificates_ = QSslCertificate::fromPath(dir_.filePath(QStringLiteral("cert.pem")));
        if (certificates_.isEmpty())
            return fail(QStringLiteral("no certificate was made"));
        setRoutes({});

        process_.setProgram(QStringLiteral("python3"));
        process_.setArguments({QStringLiteral(UNA_SOURCE_DIR "/tests/app/https_test_server.py"),
                               dir_.path()});
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start();
        if (!process_.waitForStarted(10000))
            return fail(QStringLiteral("python3 did not start"));
        while (!process_.canReadLine())
            if (!process_.waitForReadyRead(20000))
                return fail(QStringLiteral("the server did not tell its ports"));
        const QStringList words = QString::fromLatin1(process_.readLine()).simplified().split(' ');
        if (words.size() != 3 || words[0] != QLatin1String("PORTS"))
            return fail(QStringLiteral("unexpected server output"));
        httpsPort_ = words[1].toInt();
        httpPort_ = words[2].toInt();
        return httpsPort_ > 0 && httpPort_ > 0;
    }
    const QString& error() const { return error_; }

    // "https://127.0.0.1:<port>": the site address for the program under test.
    QString address() const { return QStringLiteral("https://127.0.0.1:%1").arg(httpsPort_); }
    // The same path on the plain-HTTP port of the same server.
    QString plainUrl(const QString& path) const {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(httpPort_).arg(path);
    }
    QString url(const QString& path) const { return address() + path; }
    // The same path on the same server under another host name (which the certificate names
    // too), for redirects that leave the site's host.
    QString otherHostUrl(const QString& path) const {
        return QStringLiteral("https://localhost:%1%2").arg(httpsPort_).arg(path);
    }

    // Trusts the server's certificate in this process until untrust() or the server's end.
    void trust() {
        if (!savedDefault_)
            savedDefault_ =
                std::make_unique<QSslConfiguration>(QSslConfiguration::defaultConfiguration());
        QSslConfiguration trusting = *savedDefault_;
        trusting.addCaCertificates(certificates_);
        QSslConfiguration::setDefaultConfiguration(trusting);
    }
    void untrust() {
        if (savedDefault_)
            QSslConfiguration::setDefaultConfiguration(*savedDefault_);
        savedDefault_.reset();
    }

    void setRoutes(const QJsonObject& routes) {
        QFile file(dir_.filePath(QStringLiteral("routes.json")));
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(QJsonDocument(routes).toJson());
    }
    // Writes bytes as a file of the server's folder, for a route's "file".
    void writeFile(const QString& name, const QByteArray& bytes) {
        QFile file(dir_.filePath(name));
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(bytes);
    }

    // Every request so far, "https /path" or "http /path", in order.
    QStringList requests() const {
        QFile file(dir_.filePath(QStringLiteral("requests.log")));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

  private:
    bool fail(const QString& why) {
        error_ = why;
        return false;
    }

    QTemporaryDir dir_;
    QProcess process_;
    QList<QSslCertificate> certificates_;
    std::unique_ptr<QSslConfiguration> savedDefault_;
    QString error_;
    int httpsPort_ = 0;
    int httpPort_ = 0;
};

// A route's JSON object.
inline QJsonObject page(const QString& html) {
    return {{QStringLiteral("body"), html}, {QStringLiteral("type"), QStringLiteral("text/html; charset=utf-8")}};
}

}  // namespace una::testing
