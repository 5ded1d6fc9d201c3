#include "foundation/unaList.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>

namespace una {

namespace {

constexpr uint32_t kKeepBlockLimit = 4096;  // entries; larger blocks go back on clear

uint32_t roundToStep(uint32_t count) {
    return (count + kListStep - 1) / kListStep * kListStep;
}

// Leaves the list on every way out of a scope whose lock succeeded.
class ListLock {
  public:
    ListLock(unaList& list, uint32_t timeoutMs = kInfinite)
        : list_(list), locked_(list.lock(timeoutMs)) {}
    ~ListLock() {
        if (locked_)
            list_.unlock();
    }
    ListLock(const ListLock&) = delete;
    ListLock& operator=(const ListLock&) = delete;
    explicit operator bool() const { return locked_; }

  private:
    unaList& list_;
    bool locked_;
};

void destroyObject(unaListItem item) {
    unaObjectDeleter{}(static_cast<unaObject*>(item));
}

char lowerAscii(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// unaList

unaList::unaList(bool freeObjects) : autoFree(freeObjects), itemsAreObjects(freeObjects) {}

unaList::~unaList() {
    dropItemsQuietly();
}

void unaList::dropItemsQuietly() {
    if (willFree(kReleaseDefault)) {
        for (uint32_t i = count_; i-- > 0;) {
            unaListItem item = items_[i];
            items_[i] = nullptr;
            if (!item)
                continue;
            if (itemsAreObjects)
                destroyObject(item);
            else
                freeItem(item);
        }
    }
    count_ = 0;
}

void unaList::beforeDestruction() {
    destroying = true;
    clear(kReleaseDefault);
    if (gate_.enter(1000)) {
        closed = true;
        gate_.leave();
    }
    unaObject::beforeDestruction();
}

bool unaList::lock(uint32_t timeoutMs) {
    if (closed)
        return false;
    if (noLocking)
        return true;
    return gate_.enter(timeoutMs == kInfinite ? lockTimeout : timeoutMs);
}

void unaList::unlock() {
    if (!noLocking)
        gate_.leave();
}

bool unaList::lockNonEmpty(uint32_t timeoutMs) {
    if (!lock(timeoutMs))
        return false;
    if (count_ > 0)
        return true;
    unlock();
    return false;
}

void unaList::setCapacity(uint32_t count) {
    count = std::max(count, count_);
    const uint32_t wanted = roundToStep(count);
    const size_t held = storage_.size();
    const auto heldEntries = static_cast<uint32_t>(held / sizeof(unaListItem));
    if (wanted == capacity_ && !destroying && head_ + count <= heldEntries)
        return;
    if (wanted == 0 && capacity_ <= kKeepBlockLimit && !destroying) {
        // Lists that empty and refill all the time (stream queues) keep their block.
        capacity_ = 0;
        head_ = 0;
        items_ = reinterpret_cast<unaListItem*>(storage_.data());
        return;
    }
    const size_t needed = size_t{wanted} * sizeof(unaListItem);
    // A block one step too large is kept, so a count that swings across a step boundary
    // does not reallocate on every add and remove.
    const bool resize =
        needed > held || wanted == 0 || held > needed + kListStep * sizeof(unaListItem);
    if (head_ > 0 && (resize || head_ + count > heldEntries)) {
        auto* base = reinterpret_cast<unaListItem*>(storage_.data());
        std::memmove(base, items_, count_ * sizeof(unaListItem));
        std::memset(base + count_, 0, head_ * sizeof(unaListItem));
        head_ = 0;
    }
    if (resize) {
        mrealloc(storage_, needed);
        if (storage_.size() > held)
            std::memset(storage_.data() + held, 0, storage_.size() - held);
    }
    items_ = reinterpret_cast<unaListItem*>(storage_.data()) + (storage_.size() ? head_ : 0);
    capacity_ = wanted;
}

int32_t unaList::add(unaListItem item) {
    ListLock guard(*this);
    if (!guard)
        return -1;
    setCapacity(count_ + 1);
    const int32_t index = static_cast<int32_t>(count_);
    ++count_;
    items_[index] = nullptr;
    setItem(index, item, kReleaseDefault);
    dataEvent_.setState(true);
    return index;
}

int32_t unaList::insert(int32_t index, unaListItem item) {
    ListLock guard(*this);
    if (!guard || index < 0 || static_cast<uint32_t>(index) > count_)
        return -1;
    setCapacity(count_ + 1);
    std::memmove(items_ + index + 1, items_ + index, (count_ - index) * sizeof(unaListItem));
    ++count_;
    items_[index] = nullptr;
    setItem(index, item, kReleaseDefault);
    dataEvent_.setState(true);
    return index;
}

void unaList::setItem(int32_t index, unaListItem item, int32_t action) {
    ListLock guard(*this);
    if (!guard || index < 0 || static_cast<uint32_t>(index) >= count_)
        return;
    // Storing the same item again must not free it on the way.
    if (items_[index] && items_[index] != item)
        releaseItem(index, action);
    if (static_cast<uint32_t>(index) < count_)
        items_[index] = item;
}

void unaList::reverse() {
    ListLock guard(*this);
    if (guard)
        std::reverse(items_, items_ + count_);
}

void unaList::copyFrom(const unaListItem* items, int32_t byteCount, int32_t index, int32_t mode) {
    if (!items || byteCount == 0)
        return;
    const unaListItem* source = items;
    uint32_t n;
    if (byteCount < 0) {
        uint32_t counted;
        std::memcpy(&counted, items, sizeof counted);
        n = counted;
        source = items + 1;
    } else {
        n = static_cast<uint32_t>(byteCount) / sizeof(unaListItem);
    }
    if (n == 0 || mode < kCopyAppend || mode > kCopyReplace)
        return;

    ListLock guard(*this);
    if (!guard)
        return;
    // Copying from our own storage: take the items out before the block may move.
    std::vector<unaListItem> own;
    const auto* block = reinterpret_cast<const unaListItem*>(storage_.data());
    if (block && source < block + storage_.size() / sizeof(unaListItem) && source + n > block) {
        own.assign(source, source + n);
        source = own.data();
    }
    const uint32_t at = static_cast<uint32_t>(std::clamp<int64_t>(index, 0, count_));
    switch (mode) {
        case kCopyAppend:
            setCapacity(count_ + n);
            std::memcpy(items_ + count_, source, n * sizeof(unaListItem));
            count_ += n;
            break;
        case kCopyOverwrite: {
            const uint32_t end = std::max(count_, at + n);
            setCapacity(end);
            std::memcpy(items_ + at, source, n * sizeof(unaListItem));
            count_ = end;
            break;
        }
        case kCopyInsert:
            setCapacity(count_ + n);
            std::memmove(items_ + at + n, items_ + at, (count_ - at) * sizeof(unaListItem));
            std::memcpy(items_ + at, source, n * sizeof(unaListItem));
            count_ += n;
            break;
        case kCopyReplace:
            if (count_ > n) {
                std::memset(items_ + n, 0, (count_ - n) * sizeof(unaListItem));
                count_ = n;
            }
            setCapacity(n);
            std::memcpy(items_, source, n * sizeof(unaListItem));
            count_ = n;
            break;
    }
    if (count_ > 0)
        dataEvent_.setState(true);
}

int32_t unaList::indexOf(unaListItem item) {
    ListLock guard(*this);
    if (!guard)
        return -1;
    for (uint32_t i = 0; i < count_; ++i)
        if (items_[i] == item)
            return static_cast<int32_t>(i);
    return -1;
}

bool unaList::removeByIndex(int32_t index, int32_t action) {
    if (index < 0 || static_cast<uint32_t>(index) >= count_)
        return false;
    ListLock guard(*this);
    if (!guard || static_cast<uint32_t>(index) >= count_)
        return false;
    notifyBeforeRemove(index);
    releaseItem(index, action);
    // A handler may have emptied the list under us; never move past its end.
    if (static_cast<uint32_t>(index) >= count_)
        return true;
    if (index == 0) {
        // Queues take from the front: step over the entry instead of moving all the others.
        items_[0] = nullptr;
        ++items_;
        ++head_;
    } else {
        std::memmove(items_ + index, items_ + index + 1,
                     (count_ - index - 1) * sizeof(unaListItem));
        items_[count_ - 1] = nullptr;
    }
    --count_;
    setCapacity(count_);
    if (count_ == 0)
        dataEvent_.setState(false);
    return true;
}

bool unaList::removeItem(unaListItem item, int32_t action) {
    ListLock guard(*this);
    if (!guard)
        return false;
    const int32_t index = indexOf(item);
    return index >= 0 && removeByIndex(index, action);
}

void unaList::clear(int32_t action) {
    ListLock guard(*this);
    if (!guard)
        return;
    while (count_ > 0) {
        const int32_t last = static_cast<int32_t>(count_ - 1);
        notifyBeforeRemove(last);
        releaseItem(last, action);
        if (count_ == 0)
            break;
        items_[count_ - 1] = nullptr;
        --count_;
    }
    setCapacity(0);
    dataEvent_.setState(false);
}

bool unaList::willFree(int32_t action) const {
    if (action == kReleaseFree)
        return true;
    if (action == kReleaseDefault)
        return autoFree;
    return false;
}

void unaList::releaseItem(int32_t index, int32_t action) {
    if (onItemRelease) {
        try {
            onItemRelease(index, action);
        } catch (...) {
        }
    }
    if (!willFree(action) || static_cast<uint32_t>(index) >= count_)
        return;
    unaListItem item = items_[index];
    items_[index] = nullptr;
    if (!item)
        return;
    if (itemsAreObjects)
        destroyObject(item);
    else
        freeItem(item);
}

void unaList::notifyBeforeRemove(int32_t index) {
    if (!onItemBeforeRemove)
        return;
    try {
        onItemBeforeRemove(index);
    } catch (...) {
    }
}

// ---------------------------------------------------------------------------------------------
// unaRecordList

unaRecordList::unaRecordList(bool autoFree) : unaList(false) {
    this->autoFree = autoFree;
}

unaRecordList::~unaRecordList() {
    dropItemsQuietly();
}

unaListItem unaRecordList::newRecord(size_t size) {
    void* block = std::calloc(size ? size : 1, 1);
    if (!block)
        throw std::bad_alloc();
    return block;
}

void unaRecordList::freeItem(unaListItem item) {
    std::free(item);
}

// ---------------------------------------------------------------------------------------------
// unaObjectList

unaObjectList::unaObjectList(bool autoFree) : unaList(true) {
    this->autoFree = autoFree;
}

int32_t unaObjectList::add(unaPtr<unaObject> object) {
    const int32_t index = add(static_cast<unaListItem>(object.get()));
    if (index >= 0)
        object.release();
    return index;
}

void unaObjectList::freeItem(unaListItem item) {
    destroyObject(item);
}

// ---------------------------------------------------------------------------------------------
// unaIdList

unaIdList::unaIdList(bool freeObjects) : unaList(freeObjects) {}

void unaIdList::setCapacity(uint32_t count) {
    unaList::setCapacity(count);
    if (ids_.size() < capacity_)
        ids_.resize(capacity_, -1);
}

int32_t unaIdList::add(unaListItem item) {
    ListLock guard(*this);
    if (!guard)
        return -1;
    if (!allowDuplicateIds) {
        const int32_t same = indexOfId(getId(item));
        // The very item again is only moved, never freed.
        if (same >= 0)
            removeByIndex(same, items_[same] == item ? kReleaseKeep : kReleaseDefault);
    }
    return unaList::add(item);
}

int32_t unaIdList::insert(int32_t index, unaListItem item) {
    ListLock guard(*this);
    if (!guard || index < 0 || static_cast<uint32_t>(index) > count_)
        return -1;
    if (ids_.size() < roundToStep(count_ + 1))
        ids_.resize(roundToStep(count_ + 1), -1);
    std::copy_backward(ids_.begin() + index, ids_.begin() + count_, ids_.begin() + count_ + 1);
    ids_[index] = -1;
    return unaList::insert(index, item);
}

void unaIdList::setItem(int32_t index, unaListItem item, int32_t action) {
    ListLock guard(*this);
    if (!guard)
        return;
    unaList::setItem(index, item, action);
    if (index >= 0 && static_cast<uint32_t>(index) < count_)
        ids_[index] = getId(item);
}

void unaIdList::reverse() {
    ListLock guard(*this);
    if (!guard)
        return;
    unaList::reverse();
    std::reverse(ids_.begin(), ids_.begin() + count_);
}

void unaIdList::copyFrom(const unaListItem* items, int32_t byteCount, int32_t index, int32_t mode) {
    ListLock guard(*this);
    if (!guard)
        return;
    unaList::copyFrom(items, byteCount, index, mode);
    for (uint32_t i = 0; i < count_; ++i)
        ids_[i] = getId(items_[i]);
}

void unaIdList::notifyBeforeRemove(int32_t index) {
    unaList::notifyBeforeRemove(index);
    if (index < 0 || static_cast<uint32_t>(index) >= count_)
        return;
    std::copy(ids_.begin() + index + 1, ids_.begin() + count_, ids_.begin() + index);
    ids_[count_ - 1] = -1;
}

int32_t unaIdList::indexOfId(int64_t id, int32_t startIndex) {
    ListLock guard(*this);
    if (!guard)
        return -1;
    for (uint32_t i = static_cast<uint32_t>(std::max(startIndex, 0)); i < count_; ++i)
        if (ids_[i] == id)
            return static_cast<int32_t>(i);
    return -1;
}

unaListItem unaIdList::itemById(int64_t id, uint32_t timeoutMs) {
    ListLock guard(*this, timeoutMs);
    if (!guard)
        return nullptr;
    const int32_t index = indexOfId(id);
    return index >= 0 ? items_[index] : nullptr;
}

// ---------------------------------------------------------------------------------------------
// unaStringList

namespace {

unaListItem newTextRecord(std::string_view text) {
    const auto length = static_cast<uint32_t>(text.size());
    unaListItem record = unaRecordList::newRecord(sizeof length + length);
    std::memcpy(record, &length, sizeof length);
    if (length)
        std::memcpy(static_cast<uint8_t*>(record) + sizeof length, text.data(), length);
    return record;
}

std::string_view recordText(unaListItem record) {
    if (!record)
        return {};
    uint32_t length;
    std::memcpy(&length, record, sizeof length);
    return {reinterpret_cast<const char*>(record) + sizeof length, length};
}

bool startsWithName(std::string_view text, std::string_view name) {
    if (text.size() <= name.size() || text[name.size()] != '=')
        return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (lowerAscii(text[i]) != lowerAscii(name[i]))
            return false;
    return true;
}

}  // namespace

unaStringList::unaStringList(bool autoFree) : unaRecordList(autoFree) {}

int32_t unaStringList::add(std::string_view text) {
    unaListItem record = newTextRecord(text);
    const int32_t index = unaRecordList::add(record);
    if (index < 0)
        freeItem(record);
    return index;
}

std::string unaStringList::getString(uint32_t index) {
    ListLock guard(*this);
    if (!guard || index >= count_)
        return {};
    return std::string(recordText(items_[index]));
}

void unaStringList::setString(uint32_t index, std::string_view text) {
    ListLock guard(*this);
    if (!guard || index >= count_)
        return;
    setItem(static_cast<int32_t>(index), newTextRecord(text), kReleaseDefault);
}

int32_t unaStringList::indexOfName(std::string_view name) {
    if (!lockNonEmpty())
        return -1;
    int32_t found = -1;
    for (uint32_t i = 0; i < count_; ++i) {
        if (startsWithName(recordText(items_[i]), name)) {
            found = static_cast<int32_t>(i);
            break;
        }
    }
    unlock();
    return found;
}

std::string unaStringList::getValue(std::string_view name) {
    ListLock guard(*this);
    if (!guard)
        return {};
    const int32_t index = indexOfName(name);
    if (index < 0)
        return {};
    const std::string_view text = recordText(items_[index]);
    return std::string(text.substr(text.find('=') + 1));
}

void unaStringList::setValue(std::string_view name, std::string_view value) {
    ListLock guard(*this);
    if (!guard)
        return;
    std::string entry;
    entry.reserve(name.size() + 1 + value.size());
    entry.append(name).append("=").append(value);
    const int32_t index = indexOfName(name);
    if (index >= 0)
        setString(static_cast<uint32_t>(index), entry);
    else
        add(std::string_view(entry));
}

void unaStringList::setText(std::string_view text) {
    ListLock guard(*this);
    if (!guard)
        return;
    clear(kReleaseDefault);
    const auto isEnd = [](char c) { return c == '\r' || c == '\n'; };
    size_t start = 0;
    size_t i = 0;
    while (i < text.size()) {
        if (!isEnd(text[i])) {
            ++i;
            continue;
        }
        add(text.substr(start, i - start));
        ++i;
        if (i < text.size() && isEnd(text[i]))
            ++i;
        start = i;
    }
    if (start < text.size())
        add(text.substr(start));
}

}  // namespace una
