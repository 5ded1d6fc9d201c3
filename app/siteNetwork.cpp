#include "app/siteNetwork.h"

#include <QNetworkAccessManager>
#include <QNetworkInformation>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace una::app {

bool isHttpsUrl(const QUrl& url) {
    return url.isValid() && url.scheme() == QLatin1String("https") && !url.host().isEmpty();
}

QNetworkRequest siteRequest(const QUrl& url) {
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setMaximumRedirectsAllowed(kSiteMaxRedirects);
    request.setTransferTimeout(kSiteTransferTimeoutMs);
    // A compressed transfer would be unpacked on the way, and its announced length would no
    // longer be the length of what arrives.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setHeader(QNetworkRequest::UserAgentHeader, QByteArrayLiteral("agent"));
    return request;
}

QNetworkReply* getFromSite(QNetworkAccessManager& network, const QUrl& url, Redirects redirects) {
    if (!isHttpsUrl(url))
        return nullptr;
    QNetworkReply* reply = network.get(siteRequest(url));
    QObject::connect(
        reply, &QNetworkReply::redirected, reply, [reply, url, redirects](const QUrl& target) {
            const bool sameHost = target.host() == url.host() && target.port(443) == url.port(443);
            if (isHttpsUrl(target) && (redirects == Redirects::AnyHttps || sameHost))
                emit reply->redirectAllowed();
            else
                reply->abort();
        });
    return reply;
}

bool isConnected() {
    if (!QNetworkInformation::instance() && !QNetworkInformation::loadDefaultBackend() &&
        !QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability))
        return true;
    const QNetworkInformation* state = QNetworkInformation::instance();
    return !state || state->reachability() != QNetworkInformation::Reachability::Disconnected;
}

}  // namespace una::app
