// The integer parser on arbitrary text, and its agreement with the number writer.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "foundation/unaConvert.h"

using namespace una;

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "conversion invariant broken: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const uint32_t base = in.ConsumeIntegralInRange<uint32_t>(0, 300);
    const bool ignoreInvalid = in.ConsumeBool();
    const int64_t number = in.ConsumeIntegral<int64_t>();
    const uint32_t groupSize = in.ConsumeIntegralInRange<uint32_t>(0, 5);
    const std::string text = in.ConsumeRemainingBytesAsString();

    const int64_t parsed = str2int64(text, base, ignoreInvalid, 12345);
    str2int(text, base, ignoreInvalid, -1);
    str2uint(text, base, ignoreInvalid, 7);
    str2bool(text, base, ignoreInvalid, true);
    if (text.empty())
        check(parsed == 12345, "empty text gives the default");

    const std::string decimal = int2str(number);
    check(str2int64(decimal, 10, false, 0) == number, "decimal round trip");
    check(str2int64(" " + decimal + "\t", 10, false, 0) == number, "blanks around");
    const std::string grouped = int2str(number, 10, groupSize, ',');
    check(str2int64(grouped, 10, true, 0) == number, "grouped text with separators skipped");
    const uint64_t magnitude = number < 0 ? 0 - static_cast<uint64_t>(number) : number;
    const std::string hex = uint2str(magnitude, 16);
    check(static_cast<uint64_t>(str2int64(hex, 16, false, 0)) == magnitude, "base 16");
    check(static_cast<uint64_t>(str2int64("x" + hex, 10, false, 0)) == magnitude, "x prefix");
    check(static_cast<uint64_t>(str2int64(hex + "h", 10, false, 0)) == magnitude, "h suffix");
    if (base >= 2 && base <= 16)
        check(static_cast<uint64_t>(str2int64(uint2str(magnitude, base), base, false, 0)) ==
                  magnitude,
              "any base to 16");

    const int64_t p = percent(number / 3, number);
    check(p >= 0, "percent is never negative");
    if (number >= 100)
        check(p >= 32 && p <= 34, "a third");
    const uint32_t a = static_cast<uint32_t>(number), b = static_cast<uint32_t>(number >> 32);
    const uint32_t g = gcd(a, b);
    if (a != 0 && b != 0)
        check(a % g == 0 && b % g == 0, "gcd divides both");
    return 0;
}
