#pragma once
// Where the running program lives and where it was started. Safe from any thread.

#include <string>

namespace platform {

// The absolute path of the running executable; empty when the platform cannot tell.
std::string executablePath();

// The current working directory; empty when it cannot be read (for example, removed).
std::string currentDirectory();

}  // namespace platform
