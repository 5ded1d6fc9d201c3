#pragma once
// Requests to the vendor's web site. Every request is HTTPS with the platform's certificate
// checks, asks for a fresh copy, gives up after a stretch without data, and follows a redirect
// only to another HTTPS address. User-interface thread only (the replies belong to the
// access manager's thread).

#include <QtGlobal>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;
class QUrl;

namespace una::app {

inline constexpr int kSiteMaxRedirects = 5;
// Without a byte for this long a transfer fails.
inline constexpr int kSiteTransferTimeoutMs = 30000;

// True for an absolute https address with a host.
bool isHttpsUrl(const QUrl& url);

// The request for url with the settings above.
QNetworkRequest siteRequest(const QUrl& url);

// Where a request's redirects may lead.
enum class Redirects { AnyHttps, SameHost };

// Starts a GET of url on network; the reply belongs to network and ends in an error when a
// redirect leads off HTTPS or, with Redirects::SameHost, to another host or port than url's.
// None (and no traffic) when url itself is not an https address.
QNetworkReply* getFromSite(QNetworkAccessManager& network, const QUrl& url,
                           Redirects redirects = Redirects::AnyHttps);

// Whether the platform reports a network connection. Where it cannot tell (no backend for
// the network state), true: the request then simply fails when there is none.
bool isConnected();

}  // namespace una::app
