#include "platform/fileHandle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        error_ = other.error_;
    }
    return *this;
}

bool FileHandle::open(const std::string& path, FileAccess access, FileCreation creation) {
    close();
    int flags = O_CLOEXEC | (access == FileAccess::read ? O_RDONLY : O_RDWR);
    if (creation == FileCreation::createIfMissing)
        flags |= O_CREAT;
    do {
        fd_ = ::open(path.c_str(), flags, 0666);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) {
        error_ = errno;
        return false;
    }
    struct stat info {};
    if (::fstat(fd_, &info) == 0 && S_ISDIR(info.st_mode)) {
        close();
        error_ = EISDIR;
        return false;
    }
    error_ = 0;
    return true;
}

FileHandle FileHandle::openFile(const std::string& path, FileAccess access, FileCreation creation) {
    FileHandle handle;
    handle.open(path, access, creation);
    return handle;
}

void FileHandle::close() {
    if (fd_ >= 0) {
        ::close(fd_);  // not retried on EINTR: the descriptor is gone either way on Linux
        fd_ = -1;
    }
}

int64_t FileHandle::read(void* data, size_t size) {
    if (fd_ < 0) {
        error_ = EBADF;
        return -1;
    }
    auto* bytes = static_cast<char*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd_, bytes + done, size - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error_ = errno;
            return done > 0 ? static_cast<int64_t>(done) : -1;
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

int64_t FileHandle::write(const void* data, size_t size) {
    if (fd_ < 0) {
        error_ = EBADF;
        return -1;
    }
    const auto* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd_, bytes + done, size - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error_ = errno;
            return done > 0 ? static_cast<int64_t>(done) : -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

int64_t FileHandle::seek(int64_t offset, SeekOrigin origin) {
    const int whence = origin == SeekOrigin::begin     ? SEEK_SET
                       : origin == SeekOrigin::current ? SEEK_CUR
                                                       : SEEK_END;
    const off_t at = ::lseek(fd_, static_cast<off_t>(offset), whence);
    if (at < 0) {
        error_ = errno;
        return -1;
    }
    return static_cast<int64_t>(at);
}

int64_t FileHandle::position() const {
    const off_t at = ::lseek(fd_, 0, SEEK_CUR);
    if (at < 0) {
        error_ = errno;
        return -1;
    }
    return static_cast<int64_t>(at);
}

int64_t FileHandle::size() const {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) {
        error_ = errno;
        return -1;
    }
    return static_cast<int64_t>(info.st_size);
}

bool FileHandle::truncate(int64_t position) {
    if (position < 0) {
        error_ = EINVAL;
        return false;
    }
    if (seek(position, SeekOrigin::begin) < 0)
        return false;
    int rc;
    do {
        rc = ::ftruncate(fd_, static_cast<off_t>(position));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        error_ = errno;
        return false;
    }
    return true;
}

bool FileHandle::syncData() {
    int rc;
    do {
        rc = ::fdatasync(fd_);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        error_ = errno;
        return false;
    }
    return true;
}

}  // namespace platform
