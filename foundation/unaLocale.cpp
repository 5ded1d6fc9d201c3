#include "foundation/unaLocale.h"

#include <langinfo.h>
#include <locale.h>

#include <string>

namespace una {

char thousandSeparatorFrom(std::string_view localeSeparator) {
    if (localeSeparator.empty())
        return ',';
    const auto first = static_cast<unsigned char>(localeSeparator.front());
    return first < 0x80 ? static_cast<char>(first) : ' ';
}

std::string_view userLocaleThousandSeparator() {
    static const std::string separator = [] {
        std::string text;
        locale_t locale = ::newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0));
        if (locale == static_cast<locale_t>(0))
            return text;
        if (const char* s = ::nl_langinfo_l(THOUSEP, locale))
            text = s;
        ::freelocale(locale);
        return text;
    }();
    return separator;
}

}  // namespace una
