#pragma once
// The vendor's web site: the home page, the manual, the advertising page, banner line 0 and
// the update downloads all hang off this one address. Only HTTPS addresses are ever used.
// Packagers and tests change it through the environment variable or the settings file;
// the environment wins. Owner's (user-interface) thread only.

#include <string>
#include <string_view>

namespace una::app {

inline constexpr char kDefaultSiteAddress[] = "https://www.sorvalen.com";
// Environment variable that replaces the address.
inline constexpr char kSiteEnvironmentVariable[] = "RUZIZAVUVODIDEZA_SITE";
// Settings section and key that replace the address (the environment still wins).
inline constexpr char kSiteSettingsSection[] = "main";
inline constexpr char kSiteSettingsKey[] = "site";

// True for an address the program may use: "https://" followed by a host, an optional port
// and path; no user credentials, query or fragment, blanks or control characters.
bool isUsableSiteAddress(std::string_view address);

// Remembers the address read from the settings file; an unusable or empty one is ignored.
void setSiteAddressFromSettings(std::string_view address);

// The address in force, without a trailing "/": the environment variable's when usable, else
// the settings file's when usable, else kDefaultSiteAddress.
std::string siteAddress();

// siteAddress() followed by path ("/publicidad.htm"); a path without a leading "/" gets one.
std::string siteUrl(std::string_view path);

}  // namespace una::app
