#include "app/headless.h"

#include <iostream>

namespace una::app {

CommandLine parseCommandLine(std::span<const std::string_view>) {
    CommandLine line;
    line.action = CommandLine::Action::Error;
    line.error = "not built yet";
    return line;
}

bool isCommandLineInvocation(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.starts_with("--") || arg == "-h")
            return true;
    }
    return false;
}

int runCommandLine(int, char**) {
    std::cerr << "not built yet\n";
    return kExitBadUsage;
}

void printUsage(std::ostream&) {}
void printDeviceLists(std::ostream&) {}
int runHeadless(const CommandLine&, std::ostream&, std::ostream&) {
    return kExitBadUsage;
}

}  // namespace una::app
