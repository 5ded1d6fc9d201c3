#include "remote/remoteQr.h"

#include <qrencode.h>

#include <memory>

namespace una::remote {

QrModules qrModules(std::string_view text) {
    const std::string copy(text);  // the library wants a terminated string
    std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeString(copy.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1), &QRcode_free);
    QrModules modules;
    if (!code)
        return modules;
    modules.size = code->width;
    modules.dark.resize(size_t(code->width) * size_t(code->width));
    for (size_t i = 0; i < modules.dark.size(); ++i)
        modules.dark[i] = code->data[i] & 1;  // bit 0: dark
    return modules;
}

std::string qrTerminalText(const QrModules& code) {
    if (code.size == 0)
        return {};
    constexpr int kQuiet = 2;
    // A light cell is drawn, a dark one left blank: terminals are dark more often than light.
    auto light = [&](int x, int y) { return !code.at(x, y); };
    std::string out;
    for (int y = -kQuiet; y < code.size + kQuiet; y += 2) {
        for (int x = -kQuiet; x < code.size + kQuiet; ++x) {
            const bool top = light(x, y);
            const bool bottom = y + 1 < code.size + kQuiet && light(x, y + 1);
            out += top && bottom ? "\u2588" : top ? "\u2580" : bottom ? "\u2584" : " ";
        }
        out += '\n';
    }
    return out;
}

}  // namespace una::remote
