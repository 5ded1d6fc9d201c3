#pragma once
// The advertising page's view (`EmbeddedWB1`): a light HTML view, not a browser engine. The
// page, its images and style sheets come from the vendor's site through its own network access
// manager, asynchronously, so showing the page never holds up the window or the delay chain.
// Scroll bars and the context menu are off; a link opens in the user's browser. Scripts,
// videos and sounds are not run. User-interface thread only.

#include <QHash>
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

  protected:
    // Answers only from what was already downloaded: the document must never wait for the
    // network while it lays itself out.
    QVariant loadResource(int type, const QUrl& name) override;

  private:
    enum class State { Pending, Requested, Done };
    struct Resource {
        int type = 0;
        State state = State::Pending;
        QVariant value;
    };

    void stopLoading();
    void pageFinished(QNetworkReply* reply);
    void resourceFinished(QNetworkReply* reply, const QUrl& url);
    void fetchPendingResources();
    void completeIfDone();

    std::unique_ptr<QNetworkAccessManager> network_;
    QPointer<QNetworkReply> page_;
    std::vector<QPointer<QNetworkReply>> resourceReplies_;
    QHash<QUrl, Resource> resources_;
    QString html_;
    QUrl address_;
    bool hasDocument_ = false;
    bool laidOut_ = false;
};

}  // namespace una::app
