// The language tables and the web site's address.

#include <gtest/gtest.h>

#include <cstdlib>

#include "app/site.h"
#include "app/texts.h"

namespace una::app {
namespace {

TEST(Texts, EveryEntryHasBothLanguagesAndPlaceholdersAreFilled) {
    for (int i = 0; i < static_cast<int>(Msg::Count); ++i) {
        const auto id = static_cast<Msg>(i);
        EXPECT_FALSE(msg(id, "es").empty()) << i;
        EXPECT_FALSE(msg(id, "uk").empty()) << i;
        EXPECT_NE(msg(id, "es"), msg(id, "uk")) << i;
    }
    EXPECT_EQ(msg(Msg::FileNotCreated, "uk", {"a%1b.wav"}),
              "The file \"a%1b.wav\" could not be created; nothing is being saved");
    // Only "uk" is English; an empty or unknown code is Spanish.
    EXPECT_EQ(msg(Msg::NoFileName, ""), msg(Msg::NoFileName, "es"));
    EXPECT_EQ(msg(Msg::NoFileName, "en"), msg(Msg::NoFileName, "es"));
    // A placeholder without an argument stays.
    EXPECT_NE(msg(Msg::FileNotCreated, "uk").find("%1"), std::string::npos);
    EXPECT_EQ(msg(Msg::Count, "uk"), "");
}

TEST(Site, OnlyHttpsAddressesAreUsedAndTheEnvironmentWins) {
    unsetenv(kSiteEnvironmentVariable);
    setSiteAddressFromSettings("");
    EXPECT_EQ(siteAddress(), kDefaultSiteAddress);
    // Appended, not added: GCC 12 warns falsely of a bound on `string + literal` here.
    EXPECT_EQ(siteUrl("publicidad.htm"),
              std::string(kDefaultSiteAddress).append("/publicidad.htm"));

    setSiteAddressFromSettings("http://plain.example");  // never plain HTTP
    EXPECT_EQ(siteAddress(), kDefaultSiteAddress);
    setSiteAddressFromSettings("https://");
    EXPECT_EQ(siteAddress(), kDefaultSiteAddress);
    setSiteAddressFromSettings("https://a b.example");
    EXPECT_EQ(siteAddress(), kDefaultSiteAddress);
    // Whatever would make an appended path no path, or carries credentials.
    for (const char* refused :
         {"https://h#", "https://h/#x", "https://h?", "https://h/?a=1", "https://u:p@h",
          "https://@h", "https://h:x", "https://[::1", "https://h\\x"})
        EXPECT_FALSE(isUsableSiteAddress(refused)) << refused;
    for (const char* usable :
         {"https://h", "https://h:8443/sub/", "https://[::1]:8443", "https://h/a@b"})
        EXPECT_TRUE(isUsableSiteAddress(usable)) << usable;

    setSiteAddressFromSettings("https://mirror.example/sub//");
    EXPECT_EQ(siteUrl("/x.pdf"), "https://mirror.example/sub/x.pdf");

    setenv(kSiteEnvironmentVariable, "https://127.0.0.1:8443", 1);
    EXPECT_EQ(siteAddress(), "https://127.0.0.1:8443");
    setenv(kSiteEnvironmentVariable, "ftp://x", 1);
    EXPECT_EQ(siteAddress(), "https://mirror.example/sub");
    unsetenv(kSiteEnvironmentVariable);
    setSiteAddressFromSettings("");
}

}  // namespace
}  // namespace una::app
