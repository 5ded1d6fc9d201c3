#include "app/site.h"

#include <QString>
#include <QUrl>

#include <cstdlib>

namespace una::app {

namespace {

std::string& settingsAddress() {
    static std::string address;
    return address;
}

std::string withoutTrailingSlashes(std::string_view address) {
    while (!address.empty() && address.back() == '/')
        address.remove_suffix(1);
    return std::string(address);
}

}  // namespace

bool isUsableSiteAddress(std::string_view address) {
    constexpr std::string_view scheme = "https://";
    if (address.size() <= scheme.size() || address.substr(0, scheme.size()) != scheme)
        return false;
    const std::string_view rest = address.substr(scheme.size());
    if (rest.front() == '/')
        return false;
    for (const char c : rest)
        if (static_cast<unsigned char>(c) <= ' ' || c == '\x7f')
            return false;
    // Paths are appended to the address as text: after a query or a fragment they would no
    // longer be paths ("https://h#" + "/update/update.exe" asks for "/"), and credentials have
    // no business in an address that is shown and logged.
    const QUrl url(QString::fromUtf8(address.data(), qsizetype(address.size())), QUrl::StrictMode);
    return url.isValid() && url.scheme() == QLatin1String("https") && !url.host().isEmpty() &&
           !url.hasQuery() && !url.hasFragment() && url.userInfo().isEmpty() &&
           rest.substr(0, rest.find('/')).find('@') == std::string_view::npos;
}

void setSiteAddressFromSettings(std::string_view address) {
    settingsAddress() = isUsableSiteAddress(address) ? withoutTrailingSlashes(address) : std::string();
}

std::string siteAddress() {
    if (const char* env = std::getenv(kSiteEnvironmentVariable); env && isUsableSiteAddress(env))
        return withoutTrailingSlashes(env);
    if (!settingsAddress().empty())
        return settingsAddress();
    return kDefaultSiteAddress;
}

std::string siteUrl(std::string_view path) {
    std::string url = siteAddress();
    if (path.empty() || path.front() != '/')
        url += '/';
    url += path;
    return url;
}

}  // namespace una::app
