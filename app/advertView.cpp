#include "app/advertView.h"

#include <QAbstractTextDocumentLayout>
#include <QBuffer>
#include <QDesktopServices>
#include <QImage>
#include <QImageReader>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPainter>
#include <QStringDecoder>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFragment>
#include <QTextObjectInterface>
#include <QTimer>

#include "app/siteNetwork.h"

namespace una::app {

namespace {

// Longer names are no download address (a data: image of megabytes, say) and are never parsed
// again, at every layout and paint, only to be refused.
inline constexpr qsizetype kMaxAddressLength = 4096;

bool isWanted(int type) {
    return type == QTextDocument::ImageResource || type == QTextDocument::StyleSheetResource;
}

// Caps what a reply may bring, by its announced length and by what has arrived.
void capReply(QNetworkReply* reply, qint64 maxBytes) {
    auto check = [reply, maxBytes] {
        const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
        if ((announced.isValid() && announced.toLongLong() > maxBytes) ||
            reply->bytesAvailable() > maxBytes)
            QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, check);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, check);
}

bool loadedWell(QNetworkReply* reply) {
    return reply->error() == QNetworkReply::NoError &&
           reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200;
}

// An image decoded under the size limit; null when it is no image or too large.
QImage decodedImage(const QByteArray& body) {
    QBuffer buffer;
    buffer.setData(body);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAllocationLimit(kAdvertImageMaxMegabytes);
    return reader.read();
}

// Lays out and draws the page's images from what the view downloaded. It stands in for Qt's
// own image handler, which opens an image's name as a local file when the document has no
// picture for it (a pipe there hangs the window, /dev/zero eats the memory).
class DownloadedImages : public QObject, public QTextObjectInterface {
    Q_OBJECT
    Q_INTERFACES(QTextObjectInterface)

  public:
    explicit DownloadedImages(const AdvertView& view) : QObject(nullptr), view_(view) {}

    QSizeF intrinsicSize(QTextDocument*, int, const QTextFormat& format) override {
        const QTextImageFormat wanted = format.toImageFormat();
        const QSizeF natural = view_.image(wanted.name()).size();
        const bool hasWidth = wanted.hasProperty(QTextFormat::ImageWidth);
        const bool hasHeight = wanted.hasProperty(QTextFormat::ImageHeight);
        // One side given keeps the picture's proportions, as browsers do.
        if (hasWidth && hasHeight)
            return {wanted.width(), wanted.height()};
        if (hasWidth)
            return {wanted.width(), natural.width() > 0
                                        ? natural.height() * wanted.width() / natural.width()
                                        : 0.0};
        if (hasHeight)
            return {
                natural.height() > 0 ? natural.width() * wanted.height() / natural.height() : 0.0,
                wanted.height()};
        return natural;
    }

    void drawObject(QPainter* painter, const QRectF& rect, QTextDocument*, int,
                    const QTextFormat& format) override {
        const QImage picture = view_.image(format.toImageFormat().name());
        if (!picture.isNull())
            painter->drawImage(rect, picture);
    }

  private:
    const AdvertView& view_;
};

QString decodedPage(QNetworkReply* reply, const QByteArray& body) {
    // The charset of the Content-Type header first, then the page's own meta tag.
    const QString type = reply->header(QNetworkRequest::ContentTypeHeader).toString();
    const qsizetype charset = type.indexOf(QLatin1String("charset="), 0, Qt::CaseInsensitive);
    if (charset >= 0) {
        const QByteArray name =
            type.mid(charset + 8).section(QLatin1Char(';'), 0, 0).trimmed().toLatin1();
        QStringDecoder decoder(name.constData());
        if (decoder.isValid())
            return decoder.decode(body);
    }
    QStringDecoder decoder = QStringDecoder::decoderForHtml(body);
    if (!decoder.isValid())
        decoder = QStringDecoder(QStringDecoder::Utf8);
    return decoder.decode(body);
}

}  // namespace

AdvertView::AdvertView(QWidget* parent)
    : QTextBrowser(parent), network_(std::make_unique<QNetworkAccessManager>()) {
    setObjectName(QStringLiteral("EmbeddedWB1"));
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setContextMenuPolicy(Qt::NoContextMenu);
    setFrameShape(QFrame::NoFrame);
    setOpenLinks(false);
    setOpenExternalLinks(false);
    images_ = std::make_unique<DownloadedImages>(*this);
    document()->documentLayout()->registerHandler(QTextFormat::ImageObject, images_.get());
    connect(this, &QTextBrowser::anchorClicked, this, [this](const QUrl& link) {
        const QUrl url = address_.resolved(link);
        if (!isHttpsUrl(url))
            return;
        if (openLink)
            openLink(url);
        else
            QDesktopServices::openUrl(url);
    });
}

AdvertView::~AdvertView() {
    stopLoading();
}

void AdvertView::stopLoading() {
    std::vector<QPointer<QNetworkReply>> replies = std::move(resourceReplies_);
    resourceReplies_.clear();
    replies.push_back(page_);
    page_ = nullptr;
    for (const QPointer<QNetworkReply>& reply : replies) {
        if (!reply)
            continue;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

bool AdvertView::isLoading() const {
    return page_ || !resourceReplies_.empty();
}

void AdvertView::navigate(const QUrl& url) {
    stopLoading();
    QNetworkReply* reply = getFromSite(*network_, url);
    if (!reply)
        return;
    page_ = reply;
    capReply(reply, kAdvertPageMaxBytes);
    connect(reply, &QNetworkReply::finished, this, [this, reply] { pageFinished(reply); });
}

void AdvertView::pageFinished(QNetworkReply* reply) {
    reply->deleteLater();
    page_ = nullptr;
    if (!loadedWell(reply))
        return;
    const QByteArray body = reply->readAll();
    if (body.size() > kAdvertPageMaxBytes)
        return;

    resources_.clear();
    imageBytes_ = 0;
    address_ = reply->url();
    html_ = decodedPage(reply, body);
    laidOut_ = false;
    document()->setBaseUrl(address_);
    // Style sheets are asked for while the page is read; images only when they are laid out,
    // so those are collected from the document.
    setHtml(html_);
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            const QString name = format.toImageFormat().name();
            if (format.isImageFormat() && name.size() <= kMaxAddressLength)
                request(QTextDocument::ImageResource, address_.resolved(QUrl(name)));
        }
    }
    fetchPendingResources();
    completeIfDone();
}

QVariant AdvertView::loadResource(int type, const QUrl& name) {
    if (name.isRelative() || name.scheme() == QLatin1String("https")) {
        const QUrl url = address_.resolved(name);
        request(type, url);
        const auto found = resources_.constFind(url);
        if (found != resources_.constEnd() && found->state == State::Done && found->value.isValid())
            return found->value;
    }
    if (type == QTextDocument::ImageResource)
        return QImage();
    return QString();
}

void AdvertView::request(int type, const QUrl& url) {
    if (resources_.contains(url) || !isWanted(type) || !isHttpsUrl(url) ||
        resources_.size() >= kAdvertMaxResources)
        return;
    resources_.insert(url, Resource{type, State::Pending, {}});
    // Asked for while the document lays itself out: fetched once that is over.
    QTimer::singleShot(0, this, [this] { fetchPendingResources(); });
}

QImage AdvertView::image(const QString& name) const {
    if (name.size() > kMaxAddressLength)
        return {};
    const auto found = resources_.constFind(address_.resolved(QUrl(name)));
    if (found == resources_.constEnd() || found->type != QTextDocument::ImageResource)
        return {};
    return found->value.value<QImage>();
}

void AdvertView::fetchPendingResources() {
    for (auto it = resources_.begin(); it != resources_.end(); ++it) {
        if (it->state != State::Pending)
            continue;
        QNetworkReply* reply = getFromSite(*network_, it.key());
        if (!reply) {
            it->state = State::Done;
            continue;
        }
        it->state = State::Requested;
        capReply(reply, kAdvertResourceMaxBytes);
        const QUrl url = it.key();
        connect(reply, &QNetworkReply::finished, this,
                [this, reply, url] { resourceFinished(reply, url); });
        resourceReplies_.push_back(reply);
    }
}

void AdvertView::resourceFinished(QNetworkReply* reply, const QUrl& url) {
    reply->deleteLater();
    std::erase(resourceReplies_, reply);
    auto found = resources_.find(url);
    if (found == resources_.end())
        return;
    found->state = State::Done;
    if (loadedWell(reply)) {
        const QByteArray body = reply->readAll();
        if (body.size() <= kAdvertResourceMaxBytes) {
            if (found->type == QTextDocument::ImageResource) {
                const QImage image = decodedImage(body);
                if (!image.isNull() && imageBytes_ + image.sizeInBytes() <= kAdvertImagesMaxBytes) {
                    imageBytes_ += image.sizeInBytes();
                    found->value = image;
                }
            } else {
                found->value = QString::fromUtf8(body);
            }
        }
    }
    completeIfDone();
}

void AdvertView::completeIfDone() {
    if (page_ || !resourceReplies_.empty())
        return;
    for (const Resource& resource : std::as_const(resources_))
        if (resource.state != State::Done)
            return;
    // Laid out again, now with everything it asked for at hand.
    setHtml(html_);
    if (laidOut_)
        return;  // a late image of a page that has already completed
    laidOut_ = true;
    hasDocument_ = true;
    if (onDocumentComplete)
        onDocumentComplete();
}

std::vector<std::string> AdvertView::descriptionLines() const {
    if (!hasDocument_)
        return {};
    std::vector<std::string> lines{address_.toString().toStdString(),
                                   documentTitle().toStdString()};
    for (const QString& line : toPlainText().split(QLatin1Char('\n')))
        lines.push_back(line.toStdString());
    return lines;
}

}  // namespace una::app

#include "advertView.moc"
