#include "app/fileDownload.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>
#include <QUrl>

#include <array>

#include "app/siteNetwork.h"

namespace una::app {

FileDownload::FileDownload(QNetworkAccessManager& network, const QUrl& url,
                           const QString& localName, Done done, QObject* parent)
    : QObject(parent), file_(localName), done_(std::move(done)) {
    // A failure here is reported from the event loop, as every other result is.
    auto finishSoon = [this](DownloadResult result) {
        QTimer::singleShot(0, this, [this, result] { finish(result); });
    };
    if (!file_.open(QIODevice::WriteOnly)) {
        finishSoon(DownloadResult::NotCreated);
        return;
    }
    reply_ = getFromSite(network, url);
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
    file_.cancelWriting();
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
    finish(file_.commit() ? DownloadResult::Complete : DownloadResult::NotCreated);
}

void FileDownload::finish(DownloadResult result) {
    if (finished_)
        return;
    finished_ = true;
    if (result != DownloadResult::Complete)
        file_.cancelWriting();
    if (done_)
        done_(result);
}

}  // namespace una::app
