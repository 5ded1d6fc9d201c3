#include "foundation/unaFiles.h"

#include <optional>

#include <sys/stat.h>

#include <cerrno>

namespace una {

namespace {

bool statOf(std::string_view name, struct stat& info) {
    if (name.empty())
        return false;
    const std::string path(name);
    return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

bool fileExists(std::string_view name) {
    struct stat info {};
    return statOf(name, info) && !S_ISDIR(info.st_mode);
}

bool directoryExists(std::string_view name) {
    struct stat info {};
    return statOf(name, info) && S_ISDIR(info.st_mode);
}

bool forceDirectories(std::string_view path) {
    while (path.size() > 1 && (path.back() == '/'))
        path.remove_suffix(1);
    if (path.size() < 3 || directoryExists(path))
        return true;
    const size_t slash = path.rfind('/');
    if (slash != std::string_view::npos && slash > 0 && !forceDirectories(path.substr(0, slash)))
        return false;
    const std::string name(path);
    if (::mkdir(name.c_str(), 0777) == 0)
        return true;
    return errno == EEXIST && directoryExists(path);  // made meanwhile by someone else
}

int64_t fileSize(std::string_view name) {
    struct stat info {};
    if (!statOf(name, info) || S_ISDIR(info.st_mode))
        return -1;
    return static_cast<int64_t>(info.st_size);
}

int64_t fileSize(const platform::FileHandle& handle) {
    return handle.isOpen() ? handle.size() : -1;
}

bool fileTruncate(platform::FileHandle& handle, int64_t position) {
    return handle.isOpen() && handle.truncate(position);
}

namespace {

// The common start of a transfer: a result when it ends here (nothing to move, or an error),
// none when the bytes are to be moved.
std::optional<int32_t> startTransfer(platform::FileHandle& handle, const void* data, uint32_t len,
                                     SeekOrigin origin, int64_t offset) {
    if (len == 0 || data == nullptr)
        return kFileOk;
    if (!handle.isOpen())
        return kFileBadHandle;
    if (!(origin == SeekOrigin::current && offset == 0) && handle.seek(offset, origin) < 0)
        return kFileCallFailed;
    return std::nullopt;
}

}  // namespace

int32_t fileWrite(platform::FileHandle& handle, const void* data, uint32_t len, SeekOrigin origin,
                  int64_t offset) {
    if (const auto early = startTransfer(handle, data, len, origin, offset))
        return *early;
    const int64_t written = handle.write(data, len);
    if (written < 0)
        return kFileCallFailed;
    return written == len ? kFileOk : kFileShortTransfer;
}

int32_t fileRead(platform::FileHandle& handle, void* data, uint32_t& len, SeekOrigin origin,
                 int64_t offset) {
    if (const auto early = startTransfer(handle, data, len, origin, offset))
        return *early;
    const int64_t got = handle.read(data, len);
    if (got < 0)
        return kFileCallFailed;
    if (got == len)
        return kFileOk;
    len = static_cast<uint32_t>(got);
    return kFileShortTransfer;
}

int32_t writeToFile(std::string_view name, const void* data, uint32_t len, SeekOrigin origin,
                    int64_t offset) {
    if (name.empty())
        return kFileNoName;
    platform::FileHandle handle;
    if (!handle.open(std::string(name), platform::FileAccess::readWrite,
                     platform::FileCreation::createIfMissing))
        return kFileCannotOpen;
    return fileWrite(handle, data, len, origin, offset);
}

}  // namespace una
