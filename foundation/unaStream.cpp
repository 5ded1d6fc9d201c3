#include "foundation/unaStream.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace una {

namespace {

// Leaves the stream on every way out of a scope whose lock succeeded.
class StreamLock {
  public:
    explicit StreamLock(unaAbstractStream& stream, uint32_t timeoutMs = kInfinite)
        : stream_(stream), locked_(stream.lock(timeoutMs)) {}
    ~StreamLock() {
        if (locked_)
            stream_.unlock();
    }
    StreamLock(const StreamLock&) = delete;
    StreamLock& operator=(const StreamLock&) = delete;
    explicit operator bool() const { return locked_; }

  private:
    unaAbstractStream& stream_;
    bool locked_;
};

constexpr uint32_t kMaxStreamBytes = std::numeric_limits<int32_t>::max();

}  // namespace

// ---------------------------------------------------------------------------------------------
// unaAbstractStream

unaAbstractStream::unaAbstractStream(uint32_t lockTimeout) : lockTimeout(lockTimeout) {}

bool unaAbstractStream::lock(uint32_t timeoutMs) {
    return gate_.enter(timeoutMs == kInfinite ? lockTimeout : timeoutMs);
}

void unaAbstractStream::unlock() {
    gate_.leave();
}

int32_t unaAbstractStream::write(std::span<const uint8_t> data) {
    if (!data.empty())
        dataEvent_.setState(true);
    return static_cast<int32_t>(std::min<size_t>(data.size(), kMaxStreamBytes));
}

// ---------------------------------------------------------------------------------------------
// unaStreamChunk

void unaStreamChunk::setData(const void* source, uint32_t len) {
    if (capacity < len) {
        mrealloc(data, len);
        capacity = len;
    }
    if (source && len)
        std::memcpy(data.data(), source, len);
    size = source ? len : 0;
    offset = 0;
}

uint32_t unaStreamChunk::read(void* dest, uint32_t len, bool advance) {
    if (!dest)
        return 0;
    const uint32_t n = std::min(remaining(), len);
    if (n)
        std::memcpy(dest, data.data() + offset, n);
    if (advance)
        offset += n;
    return n;
}

// ---------------------------------------------------------------------------------------------
// unaMemoryStream

// Both lists hand their chunks back and forth under the stream's gate; every move passes
// kReleaseKeep, so only clear and destruction free chunks.
unaMemoryStream::unaMemoryStream(uint32_t lockTimeout)
    : unaAbstractStream(lockTimeout),
      chunks_(make<unaObjectList>(true)),
      pool_(make<unaObjectList>(true)) {
    chunks_->noLocking = true;
    pool_->noLocking = true;
}

void unaMemoryStream::afterConstruction() {
    unaAbstractStream::afterConstruction();
}

void unaMemoryStream::beforeDestruction() {
    clear();
    chunks_.reset();
    pool_.reset();
    unaAbstractStream::beforeDestruction();
}

void unaMemoryStream::clear() {
    StreamLock guard(*this);
    if (!guard || !chunks_)
        return;
    chunks_->clear(kReleaseFree);
    pool_->clear(kReleaseFree);
    size = 0;
}

int32_t unaMemoryStream::write(std::span<const uint8_t> data) {
    int32_t result = 0;
    const size_t len = data.size();
    if (data.data() && len > 0 && len <= kMaxStreamBytes) {
        StreamLock guard(*this);
        if (guard && chunks_ && size + len <= kMaxStreamBytes) {
            const auto bytes = static_cast<uint32_t>(len);
            unaStreamChunk* chunk = nullptr;
            const uint32_t pooled = pool_->getCount();
            if (pooled > 0) {
                uint32_t pick = pooled - 1;
                for (uint32_t i = 0; i < pooled; ++i) {
                    if (pool_->getAs<unaStreamChunk>(i)->capacity >= bytes) {
                        pick = i;
                        break;
                    }
                }
                chunk = pool_->getAs<unaStreamChunk>(pick);
                pool_->removeByIndex(static_cast<int32_t>(pick), kReleaseKeep);
                try {
                    chunk->setData(data.data(), bytes);
                } catch (...) {
                    unaObjectDeleter{}(chunk);
                    throw;
                }
            } else {
                chunk = make<unaStreamChunk>(data.data(), bytes).release();
            }
            if (chunks_->add(chunk) >= 0) {
                size += bytes;
                result = static_cast<int32_t>(bytes);
            } else {
                unaObjectDeleter{}(chunk);
            }
        }
    }
    unaAbstractStream::write(data);
    return result;
}

int32_t unaMemoryStream::read(std::span<uint8_t> dest, bool remove) {
    if (dest.empty() || !dest.data())
        return 0;
    StreamLock guard(*this);
    if (!guard || !chunks_)
        return 0;
    uint32_t wanted = static_cast<uint32_t>(std::min<size_t>(size, dest.size()));
    uint32_t total = 0;
    uint32_t index = 0;
    while (wanted > 0 && index < chunks_->getCount()) {
        auto* chunk = chunks_->getAs<unaStreamChunk>(index);
        const uint32_t got = chunk->read(dest.data() + total, wanted, remove);
        total += got;
        wanted -= got;
        if (!remove || chunk->remaining() > 0) {
            ++index;
            continue;
        }
        chunks_->removeByIndex(static_cast<int32_t>(index), kReleaseKeep);
        if (pool_->getCount() < maxPoolSize) {
            pool_->add(chunk);
            continue;
        }
        // A full pool keeps the larger buffers: the chunk replaces the first smaller one.
        bool placed = false;
        for (uint32_t i = 0; i < pool_->getCount(); ++i) {
            if (pool_->getAs<unaStreamChunk>(i)->capacity < chunk->capacity) {
                pool_->setItem(static_cast<int32_t>(i), chunk, kReleaseFree);
                placed = true;
                break;
            }
        }
        if (!placed)
            unaObjectDeleter{}(chunk);
    }
    if (remove)
        size -= total;
    return static_cast<int32_t>(total);
}

int32_t unaMemoryStream::getSize() {
    StreamLock guard(*this);
    return guard ? static_cast<int32_t>(size) : 0;
}

uint32_t unaMemoryStream::getFirstChunkSize() {
    StreamLock guard(*this);
    if (!guard || !chunks_ || chunks_->getCount() == 0)
        return 0;
    return chunks_->getAs<unaStreamChunk>(0)->remaining();
}

uint32_t unaMemoryStream::getPoolCount() {
    StreamLock guard(*this);
    return guard && pool_ ? pool_->getCount() : 0;
}

uint32_t unaMemoryStream::getChunkCount() {
    StreamLock guard(*this);
    return guard && chunks_ ? chunks_->getCount() : 0;
}

// ---------------------------------------------------------------------------------------------
// unaFileStream

unaFileStream::unaFileStream(std::string fileName, uint32_t access, uint32_t shareMode, bool loop,
                             uint32_t attributes)
    : unaAbstractStream(1000),
      fileName_(std::move(fileName)),
      access_(access),
      shareMode_(shareMode),
      loop_(loop),
      attributes_(attributes) {
    open_ = false;
}

unaFileStream::~unaFileStream() {
    close();
}

void unaFileStream::afterConstruction() {
    unaAbstractStream::afterConstruction();
    if (!fileName_.empty())
        open(fileName_, access_, attributes_, loop_, shareMode_);
}

bool unaFileStream::open(std::string fileName, uint32_t access, uint32_t attributes, bool loop,
                         uint32_t shareMode) {
    StreamLock guard(*this);
    if (!guard)
        return false;
    close();
    fileName_ = std::move(fileName);
    loop_ = loop;
    access_ = access;
    attributes_ = attributes;
    shareMode_ = shareMode;
    const bool writable = (access & kFileWrite) != 0;
    // A read-only stream has nothing to put in a new file, so it only opens existing ones.
    const bool ok =
        !fileName_.empty() &&
        file_.open(
            fileName_, writable ? platform::FileAccess::readWrite : platform::FileAccess::read,
            writable ? platform::FileCreation::createIfMissing : platform::FileCreation::existing);
    if (ok) {
        file_.seek(0, platform::SeekOrigin::begin);
        const int64_t length = file_.size();
        size = length > 0 ? static_cast<uint32_t>(std::min<int64_t>(length, kMaxStreamBytes)) : 0;
    } else {
        size = 0;
    }
    open_ = ok;
    return ok;
}

void unaFileStream::close() {
    file_.close();
    open_ = false;
}

int32_t unaFileStream::seek(int32_t position, bool fromBeginning) {
    StreamLock guard(*this);
    if (!guard || !open_)
        return 0;
    int64_t now = file_.seek(
        position, fromBeginning ? platform::SeekOrigin::begin : platform::SeekOrigin::end);
    if (now < 0)
        now = file_.position();
    return static_cast<int32_t>(std::clamp<int64_t>(now, 0, kMaxStreamBytes));
}

int32_t unaFileStream::seekRelative(int32_t delta) {
    StreamLock guard(*this);
    if (!guard || !open_)
        return 0;
    const int64_t target = static_cast<int64_t>(getPosition()) + delta;
    return seek(static_cast<int32_t>(std::clamp<int64_t>(target, 0, kMaxStreamBytes)), true);
}

int32_t unaFileStream::getPosition() {
    StreamLock guard(*this);
    if (!guard || !open_)
        return 0;
    const int64_t now = file_.position();
    return static_cast<int32_t>(std::clamp<int64_t>(now, 0, kMaxStreamBytes));
}

void unaFileStream::clear() {
    StreamLock guard(*this);
    if (!guard || !open_)
        return;
    file_.truncate(0);
    size = 0;
}

bool unaFileStream::sync() {
    StreamLock guard(*this);
    return guard && open_ && file_.syncData();
}

bool unaFileStream::truncateAt(int64_t position) {
    StreamLock guard(*this);
    if (!guard || !open_ || !file_.truncate(position))
        return false;
    size = static_cast<uint32_t>(std::min<int64_t>(position, kMaxStreamBytes));
    return true;
}

int32_t unaFileStream::write(std::span<const uint8_t> data) {
    int32_t result = 0;
    if (!data.empty() && data.size() <= kMaxStreamBytes) {
        StreamLock guard(*this);
        if (guard && open_) {
            const int64_t written = file_.write(data.data(), data.size());
            const int64_t length = file_.size();
            if (length >= 0)
                size = static_cast<uint32_t>(std::min<int64_t>(length, kMaxStreamBytes));
            if (written == static_cast<int64_t>(data.size()))
                result = static_cast<int32_t>(data.size());
        }
    }
    unaAbstractStream::write(data);
    return result;
}

int32_t unaFileStream::read(std::span<uint8_t> dest, bool remove) {
    if (dest.empty() || !dest.data())
        return 0;
    StreamLock guard(*this);
    if (!guard || !open_)
        return 0;
    const size_t len = std::min<size_t>(dest.size(), kMaxStreamBytes);
    const int64_t start = file_.position();
    size_t total = 0;
    bool wrapped = false;
    for (;;) {
        const int64_t got = file_.read(dest.data() + total, len - total);
        if (got > 0)
            total += static_cast<size_t>(got);
        // An empty or unreadable file would wrap for ever.
        if (!loop_ || total >= len || (wrapped && got <= 0) || file_.size() <= 0)
            break;
        wrapped = true;
        if (file_.seek(0, platform::SeekOrigin::begin) < 0)
            break;
    }
    // A peek leaves the position where it was, also when the read wrapped.
    if (!remove && start >= 0)
        file_.seek(start, platform::SeekOrigin::begin);
    return static_cast<int32_t>(total);
}

int32_t unaFileStream::getSize() {
    StreamLock guard(*this);
    if (!guard || !open_)
        return 0;
    const int64_t length = file_.size();
    if (length >= 0)
        size = static_cast<uint32_t>(std::min<int64_t>(length, kMaxStreamBytes));
    return static_cast<int32_t>(size);
}

int32_t unaFileStream::getAvailableSize() {
    StreamLock guard(*this);
    if (!guard || !open_)
        return 0;
    const int32_t length = getSize();
    if (loop_)
        return length;
    return std::max(0, length - getPosition());
}

}  // namespace una
