#pragma once
// A POSIX file descriptor that closes itself. One owner; it can be moved, not copied.
// Not thread-safe: callers that share a handle serialise their calls.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace platform {

enum class FileAccess { read, readWrite };
enum class FileCreation { existing, createIfMissing };  // neither ever truncates
enum class SeekOrigin { begin, current, end };

class FileHandle {
  public:
    FileHandle() = default;
    ~FileHandle() { close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    FileHandle(FileHandle&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)), error_(other.error_) {}
    FileHandle& operator=(FileHandle&& other) noexcept;

    // Opens (and with createIfMissing creates) the file; an open handle is closed first.
    // False on failure, with error() telling why.
    bool open(const std::string& path, FileAccess access, FileCreation creation);
    // The same as a value; check isOpen().
    static FileHandle openFile(const std::string& path, FileAccess access, FileCreation creation);

    bool isOpen() const { return fd_ >= 0; }
    // errno of the last call that failed, 0 when none did.
    int error() const { return error_; }
    int descriptor() const { return fd_; }
    // Closing a closed handle does nothing.
    void close();

    // Bytes read, fewer than size only at the end of the file; -1 on failure.
    int64_t read(void* data, size_t size);
    // Bytes written, all of them unless the platform refuses (then -1, or the count so far).
    int64_t write(const void* data, size_t size);
    // The new position from the beginning; -1 on failure (the position is then unchanged).
    int64_t seek(int64_t offset, SeekOrigin origin);
    // -1 on failure.
    int64_t position() const;
    // -1 on failure.
    int64_t size() const;
    // Moves to position and cuts the file there; false on failure.
    bool truncate(int64_t position);
    // Waits until the data written so far (and the size) is on the disk; false on failure.
    bool syncData();

  private:
    int fd_ = -1;
    mutable int error_ = 0;
};

}  // namespace platform
