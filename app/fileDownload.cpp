#include "app/fileDownload.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>
#include <QUrl>

#include <array>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include "app/siteNetwork.h"

namespace una::app {

namespace {

std::filesystem::path fileSystemPath(const QString& name) {
    return std::filesystem::path(QFile::encodeName(name).toStdString());
}

bool isSymbolicLink(const QString& name) {
    std::error_code error;
    return std::filesystem::is_symlink(
        std::filesystem::symlink_status(fileSystemPath(name), error));
}

// A hidden name beside localName, for mkostemp to make unique.
QByteArray temporaryTemplate(const QString& localName) {
    const QFileInfo name(localName);
    return QFile::encodeName(name.absolutePath() + QLatin1String("/.") + name.fileName() +
                             QLatin1String(".XXXXXX"));
}

}  // namespace

FileDownload::FileDownload(QNetworkAccessManager& network, const QUrl& url,
                           const QString& localName, Done done, QObject* parent)
    : QObject(parent), localName_(localName), done_(std::move(done)) {
    // A failure here is reported from the event loop, as every other result is.
    auto finishSoon = [this](DownloadResult result) {
        QTimer::singleShot(0, this, [this, result] { finish(result); });
    };
    if (isSymbolicLink(localName_)) {
        finishSoon(DownloadResult::LinkAtName);
        return;
    }
    // A new file only this user can read, made by mkostemp rather than QTemporaryFile, which
    // keeps its descriptor open after close() and so would leave the updater "text file busy".
    QByteArray name = temporaryTemplate(localName_);
    const int descriptor = ::mkostemp(name.data(), O_CLOEXEC);
    if (descriptor >= 0)
        temporaryName_ = QFile::decodeName(name);
    if (descriptor < 0 ||
        !file_.open(descriptor, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        if (descriptor >= 0)
            ::close(descriptor);
        discardTemporary();
        finishSoon(DownloadResult::NotCreated);
        return;
    }
    reply_ = getFromSite(network, url, Redirects::SameHost);
    if (!reply_) {
        finishSoon(DownloadResult::Failed);
        return;
    }
    connect(reply_, &QNetworkReply::metaDataChanged, this, [this] { checkAnnouncedLength(); });
    connect(reply_, &QNetworkReply::readyRead, this, [this] { readAvailable(); });
    connect(reply_, &QNetworkReply::finished, this, [this] { transferFinished(); });
}

FileDownload::~FileDownload() {
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
        reply_->deleteLater();
    }
    discardTemporary();
}

void FileDownload::checkAnnouncedLength() {
    const QVariant announced = reply_->header(QNetworkRequest::ContentLengthHeader);
    if (announced.isValid() && announced.toLongLong() > kDownloadMaxBytes) {
        tooLarge_ = true;
        // Not from inside the reply's own header signal, which Qt does not expect.
        QMetaObject::invokeMethod(reply_, &QNetworkReply::abort, Qt::QueuedConnection);
    }
}

void FileDownload::readAvailable() {
    std::array<char, kDownloadReadBytes> buffer;
    while (!tooLarge_ && !writeFailed_ && reply_->bytesAvailable() > 0) {
        const qint64 read = reply_->read(buffer.data(), qint64(buffer.size()));
        if (read <= 0)
            break;
        received_ += read;
        if (received_ > kDownloadMaxBytes) {
            tooLarge_ = true;
            reply_->abort();
        } else if (file_.write(buffer.data(), read) != read) {
            writeFailed_ = true;
            reply_->abort();
        }
    }
}

void FileDownload::transferFinished() {
    readAvailable();
    QNetworkReply* reply = reply_;
    reply_ = nullptr;
    reply->deleteLater();
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    const bool lengthKnown = announced.isValid();
    const qint64 length = lengthKnown ? announced.toLongLong() : -1;
    if (tooLarge_)
        return finish(DownloadResult::TooLarge);
    if (writeFailed_)
        return finish(DownloadResult::NotCreated);
    if (reply->error() != QNetworkReply::NoError ||
        reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200)
        return finish(lengthKnown && received_ < length ? DownloadResult::Incomplete
                                                         : DownloadResult::Failed);
    if (!lengthKnown || received_ != length)
        return finish(DownloadResult::Incomplete);
    finish(commit());
}

DownloadResult FileDownload::commit() {
    // Planted while the transfer ran: the rename would replace the link, not follow it, but
    // whoever planted it meant something else by that name.
    if (isSymbolicLink(localName_))
        return DownloadResult::LinkAtName;
    if (!file_.flush() || ::fsync(file_.handle()) != 0)
        return DownloadResult::NotCreated;
    file_.close();
    std::error_code error;
    std::filesystem::rename(fileSystemPath(temporaryName_), fileSystemPath(localName_), error);
    if (error)
        return DownloadResult::NotCreated;
    temporaryName_.clear();
    return DownloadResult::Complete;
}

void FileDownload::discardTemporary() {
    file_.close();
    if (!temporaryName_.isEmpty())
        QFile::remove(temporaryName_);
    temporaryName_.clear();
}

void FileDownload::finish(DownloadResult result) {
    if (finished_)
        return;
    finished_ = true;
    // Gone at once, not when the download is deleted: nothing half-done stays in the folder.
    if (result != DownloadResult::Complete)
        discardTemporary();
    if (done_)
        done_(result);
}

}  // namespace una::app
