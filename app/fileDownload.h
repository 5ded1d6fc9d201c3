#pragma once
// One file copied from the vendor's site into a local file. The bytes go to a private
// temporary file beside the local one (a new name only this process can read), which is
// renamed to the local name only when the transfer ended without error, with status 200, and
// with exactly the announced length; otherwise the temporary file goes and an older file of
// that name stays as it was. A symbolic link at the local name is refused, never followed.
// Redirects stay on the url's own host. User-interface thread only; the transfer runs on its
// event loop, so the window stays responsive.

#include <QFile>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QNetworkAccessManager;
class QNetworkReply;
class QUrl;

namespace una::app {

// A download larger than this is refused, by its announced length or by what arrives.
inline constexpr qint64 kDownloadMaxBytes = 200LL * 1024 * 1024;
// The most taken from the network in one read.
inline constexpr qint64 kDownloadReadBytes = 10241;

enum class DownloadResult {
    Complete,
    NotCreated,  // the temporary file could not be created or written
    Failed,      // no https address, a network, certificate or status error, a redirect off
                 // https or off the url's host
    Incomplete,  // cut short, or no length announced to check it against
    TooLarge,
    LinkAtName,  // a symbolic link stands at the local name
};

class FileDownload : public QObject {
  public:
    using Done = std::function<void(DownloadResult)>;

    // Starts copying url into localName. done is called exactly once, later, on this thread
    // (also when the file cannot be created: then nothing is asked of the network).
    // Deleting the download first cancels it without calling done.
    FileDownload(QNetworkAccessManager& network, const QUrl& url, const QString& localName,
                 Done done, QObject* parent = nullptr);
    ~FileDownload() override;
    FileDownload(const FileDownload&) = delete;
    FileDownload& operator=(const FileDownload&) = delete;

    qint64 receivedBytes() const { return received_; }

  private:
    void checkAnnouncedLength();
    void readAvailable();
    void transferFinished();
    void finish(DownloadResult result);
    // Gives the complete temporary file the local name.
    DownloadResult commit();
    // Closes and removes the temporary file, if there is one.
    void discardTemporary();

    QString localName_;
    QString temporaryName_;  // empty when there is none (not made, removed or renamed)
    QFile file_;             // the temporary file
    QPointer<QNetworkReply> reply_;
    Done done_;
    qint64 received_ = 0;
    bool tooLarge_ = false;
    bool writeFailed_ = false;
    bool finished_ = false;
};

}  // namespace una::app
