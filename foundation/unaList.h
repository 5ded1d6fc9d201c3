#pragma once
// Locked growable lists of pointer-sized items with a release policy per removal.
//
// Threading: every operation but `get` and `getCount` takes the list's gate (re-entrantly;
// time-out -1 means lockTimeout, 1000 ms); a list with noLocking relies on its owner's gate.
// A lock time-out gives the neutral result named at each operation and changes nothing.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/unaEvent.h"
#include "foundation/unaGate.h"
#include "foundation/unaHeap.h"
#include "foundation/unaObject.h"

namespace una {

using unaListItem = void*;

// Release actions for removing operations.
inline constexpr int32_t kReleaseKeep = 0;
inline constexpr int32_t kReleaseFree = 1;
inline constexpr int32_t kReleaseDefault = 2;  // the list's autoFree

// copyFrom modes.
inline constexpr int32_t kCopyAppend = 0;
inline constexpr int32_t kCopyOverwrite = 1;
inline constexpr int32_t kCopyInsert = 2;
inline constexpr int32_t kCopyReplace = 3;

inline constexpr uint32_t kListStep = 256;

class unaList : public unaObject {
  public:
    explicit unaList(bool freeObjects = false);
    ~unaList() override;                // frees what beforeDestruction did not get to
    void beforeDestruction() override;  // clear (2), then closes the list

    bool lock(uint32_t timeoutMs = kInfinite);  // false once closed
    void unlock();
    // Locks and keeps the lock only when the list holds items.
    bool lockNonEmpty(uint32_t timeoutMs = kInfinite);

    virtual void setCapacity(uint32_t count);
    virtual int32_t add(unaListItem item);                    // index, -1 when the lock failed
    virtual int32_t insert(int32_t index, unaListItem item);  // negative past count or lock failure
    virtual void setItem(int32_t index, unaListItem item, int32_t action = kReleaseDefault);
    virtual void reverse();
    // byteCount < 0: items starts with a 32-bit item count. Items are copied as values.
    virtual void copyFrom(const unaListItem* items, int32_t byteCount, int32_t index, int32_t mode);

    unaListItem get(uint32_t index) const { return items_[index]; }  // no lock, no range check
    int32_t indexOf(unaListItem item);  // -1 when absent or the lock failed
    bool removeByIndex(int32_t index, int32_t action = kReleaseDefault);
    bool removeItem(unaListItem item, int32_t action = kReleaseDefault);
    void clear(int32_t action = kReleaseDefault);
    uint32_t getCount() const { return count_; }
    uint32_t getCapacity() const { return capacity_; }
    bool willFree(int32_t action) const;

    unaEvent& dataEvent() { return dataEvent_; }

    uint32_t lockTimeout = 1000;
    bool autoFree;
    bool noLocking = false;
    std::function<void(int32_t index, int32_t& action)> onItemRelease;
    std::function<void(int32_t index)> onItemBeforeRemove;

  protected:
    virtual void releaseItem(int32_t index, int32_t action);
    virtual void notifyBeforeRemove(int32_t index);
    // What freeing an item means for this class; nothing for plain values.
    virtual void freeItem(unaListItem /*item*/) {}
    // Frees every item the list's policy owns, without handlers or locking (for destructors).
    void dropItemsQuietly();

    const bool itemsAreObjects;
    bool destroying = false;
    bool closed = false;

    uint32_t count_ = 0;
    uint32_t capacity_ = 0;
    unaListItem* items_ = nullptr;  // points into storage_

  private:
    unaHeapBlock storage_;
    uint32_t head_ = 0;  // entries before items_ freed by removals at the front
    unaInProcessGate gate_;
    unaEvent dataEvent_{false, false};
};

// Items are heap blocks owned by the list (made with `newRecord`); freeing releases them.
class unaRecordList : public unaList {
  public:
    explicit unaRecordList(bool autoFree = true);
    ~unaRecordList() override;
    // A zero-filled block of size bytes (at least one); raises std::bad_alloc when memory runs out.
    static unaListItem newRecord(size_t size);

  protected:
    void freeItem(unaListItem item) override;
};

// Items are library objects; freeing destroys them through their life cycle (exceptions
// from the destruction are swallowed). `add` of an owning pointer hands it to the list.
class unaObjectList : public unaList {
  public:
    explicit unaObjectList(bool autoFree = true);
    using unaList::add;
    int32_t add(unaPtr<unaObject> object);
    template <class T>
    T* getAs(uint32_t index) const {
        return static_cast<T*>(static_cast<unaObject*>(get(index)));
    }

  protected:
    void freeItem(unaListItem item) override;
};

// Items carry 64-bit ids, kept beside them; with allowDuplicateIds false one item per id.
class unaIdList : public unaList {
  public:
    explicit unaIdList(bool freeObjects = false);

    void setCapacity(uint32_t count) override;
    // Replaces an item of the same id first unless allowDuplicateIds; -1 when the lock failed.
    int32_t add(unaListItem item) override;
    int32_t insert(int32_t index, unaListItem item) override;
    void setItem(int32_t index, unaListItem item, int32_t action = kReleaseDefault) override;
    void reverse() override;
    void copyFrom(const unaListItem* items, int32_t byteCount, int32_t index,
                  int32_t mode) override;

    int32_t indexOfId(int64_t id, int32_t startIndex = 0);             // -1 when absent
    unaListItem itemById(int64_t id, uint32_t timeoutMs = kInfinite);  // null when absent

    bool allowDuplicateIds = false;

  protected:
    void notifyBeforeRemove(int32_t index) override;
    virtual int64_t getId(unaListItem /*item*/) { return -1; }
    std::vector<int64_t> ids_;
};

// Texts of the form name=value; names compare without regard to case.
class unaStringList : public unaRecordList {
  public:
    explicit unaStringList(bool autoFree = true);

    using unaRecordList::add;
    int32_t add(std::string_view text);
    std::string getString(uint32_t index);  // empty when the lock fails
    void setString(uint32_t index, std::string_view text);
    int32_t indexOfName(std::string_view name);   // -1 when none
    std::string getValue(std::string_view name);  // empty when not found
    void setValue(std::string_view name, std::string_view value);
    // One entry per line; CR, LF, CR LF and LF CR each end one line.
    void setText(std::string_view text);
};

}  // namespace una
