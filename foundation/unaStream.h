#pragma once
// Chunk streams: thread-safe byte queues with a gate and an event signalled by writes.
//
// Threading: every operation takes the stream's gate (time-out -1 means lockTimeout); a
// writer and a reader on different threads need nothing else. A lock time-out gives 0 and
// changes nothing (a write's data is then lost).

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "foundation/unaEvent.h"
#include "foundation/unaGate.h"
#include "foundation/unaHeap.h"
#include "foundation/unaList.h"
#include "foundation/unaObject.h"
#include "platform/fileHandle.h"

namespace una {

class unaAbstractStream : public unaObject {
  public:
    explicit unaAbstractStream(uint32_t lockTimeout);

    bool lock(uint32_t timeoutMs = kInfinite);
    void unlock();

    virtual int32_t seek(int32_t position, bool fromBeginning = true) = 0;
    virtual int32_t seekRelative(int32_t delta) = 0;
    virtual int32_t getPosition() = 0;
    virtual void clear() {}
    // Bytes accepted (0 when nothing was). Every write of more than 0 bytes signals dataEvent,
    // also one whose data was dropped.
    virtual int32_t write(std::span<const uint8_t> data);
    // Bytes copied into dest; remove false peeks.
    virtual int32_t read(std::span<uint8_t> dest, bool remove = true) = 0;
    virtual int32_t getSize() { return static_cast<int32_t>(size); }
    virtual int32_t getAvailableSize() = 0;

    int32_t write(const void* data, uint32_t len) {
        return write(std::span<const uint8_t>(static_cast<const uint8_t*>(data), data ? len : 0));
    }
    int32_t read(void* dest, uint32_t len, bool remove = true) {
        return read(std::span<uint8_t>(static_cast<uint8_t*>(dest), dest ? len : 0), remove);
    }

    unaEvent& dataEvent() { return dataEvent_; }
    bool isOpen() const { return open_; }

    uint32_t lockTimeout;

  protected:
    uint32_t size = 0;
    bool open_ = true;

  private:
    unaInProcessGate gate_;
    unaEvent dataEvent_{false, false};
};

// One queued write: an owned buffer that only grows, and a read offset.
class unaStreamChunk : public unaObject {
  public:
    unaStreamChunk(const void* data, uint32_t len) { setData(data, len); }
    void setData(const void* data, uint32_t len);  // null data makes size 0
    uint32_t remaining() const { return size - offset; }
    uint32_t read(void* dest, uint32_t len, bool advance);

    unaHeapBlock data;
    uint32_t capacity = 0;
    uint32_t size = 0;
    uint32_t offset = 0;
};

// An unbounded FIFO of chunks, one per write, with a pool of spare chunks so a steady flow
// of equal writes and reads allocates nothing. Every memory stream of the program is made
// with a lock time-out of 100 ms.
class unaMemoryStream : public unaAbstractStream {
  public:
    explicit unaMemoryStream(uint32_t lockTimeout = 100);
    void afterConstruction() override;
    void beforeDestruction() override;

    int32_t seek(int32_t, bool = true) override { return 0; }
    int32_t seekRelative(int32_t) override { return 0; }
    int32_t getPosition() override { return 0; }
    void clear() override;
    using unaAbstractStream::read;
    using unaAbstractStream::write;
    int32_t write(std::span<const uint8_t> data) override;
    int32_t read(std::span<uint8_t> dest, bool remove = true) override;
    int32_t getAvailableSize() override { return getSize(); }
    int32_t getSize() override;

    // Bytes left in the oldest chunk; 0 when empty or the lock fails.
    uint32_t getFirstChunkSize();
    uint32_t getPoolCount();
    uint32_t getChunkCount();

    uint32_t maxPoolSize = 10;

  private:
    unaPtr<unaObjectList> chunks_;
    unaPtr<unaObjectList> pool_;
};

// File access flags of unaFileStream.
inline constexpr uint32_t kFileRead = 1;
inline constexpr uint32_t kFileWrite = 2;
inline constexpr uint32_t kFileShareRead = 1;
inline constexpr uint32_t kFileShareWrite = 2;

// A positioned stream over one file; optionally loops back to the start when reading past
// its end. Opening never truncates an existing file.
class unaFileStream : public unaAbstractStream {
  public:
    explicit unaFileStream(std::string fileName = {}, uint32_t access = kFileRead | kFileWrite,
                           uint32_t shareMode = kFileShareRead | kFileShareWrite, bool loop = false,
                           uint32_t attributes = 0);
    ~unaFileStream() override;
    void afterConstruction() override;  // opens when a name was given

    // False when the file can be neither opened nor created.
    bool open(std::string fileName, uint32_t access = kFileRead | kFileWrite,
              uint32_t attributes = 0, bool loop = false,
              uint32_t shareMode = kFileShareRead | kFileShareWrite);
    void close();

    int32_t seek(int32_t position, bool fromBeginning = true) override;
    int32_t seekRelative(int32_t delta) override;
    int32_t getPosition() override;
    void clear() override;  // truncates to 0 bytes
    // Makes what was written so far durable; false when closed or the disk refuses.
    bool sync();
    // Cuts the file at position (any size, unlike seek) and moves there; false on failure.
    bool truncateAt(int64_t position);
    using unaAbstractStream::read;
    using unaAbstractStream::write;
    int32_t write(std::span<const uint8_t> data) override;
    int32_t read(std::span<uint8_t> dest, bool remove = true) override;
    int32_t getSize() override;
    int32_t getAvailableSize() override;

    const std::string& fileName() const { return fileName_; }

  private:
    platform::FileHandle file_;
    std::string fileName_;
    uint32_t access_;
    uint32_t shareMode_;
    bool loop_;
    uint32_t attributes_;
};

}  // namespace una
