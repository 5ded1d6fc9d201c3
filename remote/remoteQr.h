#pragma once
// The remote's address as a QR code a phone's camera reads (libqrencode), as a square of
// modules and as text for a terminal. Pure functions; any thread.

#include <string>
#include <string_view>
#include <vector>

namespace una::remote {

struct QrModules {
    int size = 0;             // modules per side, without the quiet zone; 0: no code
    std::vector<bool> dark;   // size * size, row by row
    bool at(int x, int y) const {
        return x >= 0 && y >= 0 && x < size && y < size && dark[size_t(y * size + x)];
    }
};

// The code of `text` at error correction level M; size 0 when it cannot be made (too long).
QrModules qrModules(std::string_view text);

// The code drawn with half blocks, two module rows a line, dark modules as blanks on a light
// ground with a quiet zone of two modules, so it reads on a dark terminal. "" for no code.
std::string qrTerminalText(const QrModules& code);

}  // namespace una::remote
