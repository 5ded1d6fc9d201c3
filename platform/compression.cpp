#include "platform/compression.h"

#include <mutex>

#include "platform/builtinCompression.h"

namespace platform {

namespace {
std::mutex managerMutex;
std::shared_ptr<Compression> currentManager;
}  // namespace

std::shared_ptr<Compression> compression() {
    std::lock_guard lock(managerMutex);
    if (!currentManager)
        currentManager = std::make_shared<BuiltinCompression>();
    return currentManager;
}

void setCompression(std::shared_ptr<Compression> manager) {
    std::lock_guard lock(managerMutex);
    currentManager = std::move(manager);
}

}  // namespace platform
