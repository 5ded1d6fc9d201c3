#pragma once
// The advertising page's view (`EmbeddedWB1`): a light HTML view, not a browser engine. The
// page, its images and style sheets come from the vendor's site through its own network access
// manager, asynchronously, so showing the page never holds up the window or the delay chain.
// Scroll bars and the context menu are off; a link opens in the user's browser. Scripts,
// videos and sounds are not run. The page reaches nothing on this computer: every image and
// style sheet is an https download or nothing (no file, Qt resource, data: address or relative
// name is ever looked up locally). User-interface thread only.

#include <QHash>
#include <QImage>
#include <QPointer>
#include <QString>
#include <QTextBrowser>
#include <QUrl>
#include <QVariant>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;

namespace una::app {

// Largest page and largest image or style sheet taken, and how many of the latter.
inline constexpr qint64 kAdvertPageMaxBytes = 2 * 1024 * 1024;
inline constexpr qint64 kAdvertResourceMaxBytes = 4 * 1024 * 1024;
inline constexpr int kAdvertMaxResources = 32;
// Largest decoded image, and the most memory all the page's decoded images may take.
inline constexpr int kAdvertImageMaxMegabytes = 16;
inline constexpr qint64 kAdvertImagesMaxBytes = 64 * 1024 * 1024;

class AdvertView : public QTextBrowser {
  public:
    explicit AdvertView(QWidget* parent = nullptr);
    ~AdvertView() override;
    AdvertView(const AdvertView&) = delete;
    AdvertView& operator=(const AdvertView&) = delete;

    // Loads the page at url, dropping a load in progress. A page that does not load (no
    // https address, a network or certificate error, a redirect off HTTPS, an error status,
    // too large) leaves the view as it was and completes nothing.
    void navigate(const QUrl& url);
    // True while a page or its resources are on their way.
    bool isLoading() const;

    // The loaded document described line by line: its address, its title, its text lines.
    // Empty before the first page has completed.
    std::vector<std::string> descriptionLines() const;

    // Called once a page has loaded with every resource it asked for (or given up on them).
    std::function<void()> onDocumentComplete;
    // Opens a link that the user clicked; the desktop's browser when unset.
    std::function<void(const QUrl&)> openLink;

    // The downloaded image that the page names name (resolved against its address); a null
    // image while it is on its way, or when it is refused, failed or is not an https address.
    QImage image(const QString& name) const;

  protected:
    // Answers only from what was already downloaded: the document must never wait for the
    // network while it lays itself out. Never empty-handed either (an empty image or text
    // instead), because on nothing the document would read the name from the local disk.
    QVariant loadResource(int type, const QUrl& name) override;

  private:
    enum class State { Pending, Requested, Done };
    struct Resource {
        int type = 0;
        State state = State::Pending;
        QVariant value;
    };

    void stopLoading();
    // Notes url for downloading once the layout is over, when it is wanted and allowed.
    void request(int type, const QUrl& url);
    void pageFinished(QNetworkReply* reply);
    void resourceFinished(QNetworkReply* reply, const QUrl& url);
    void fetchPendingResources();
    void completeIfDone();

    std::unique_ptr<QNetworkAccessManager> network_;
    std::unique_ptr<QObject> images_;  // the document's image handler
    QPointer<QNetworkReply> page_;
    std::vector<QPointer<QNetworkReply>> resourceReplies_;
    QHash<QUrl, Resource> resources_;
    qint64 imageBytes_ = 0;
    QString html_;
    QUrl address_;
    bool hasDocument_ = false;
    bool laidOut_ = false;
};

}  // namespace una::app
