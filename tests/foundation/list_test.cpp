// ctest-labels: threaded
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/unaList.h"

using namespace una;

namespace {

// Records the order of its life-cycle steps in a shared log.
class Tracked : public unaObject {
  public:
    Tracked(std::vector<std::string>& log, int id) : log_(log), id_(id) {}
    ~Tracked() override { log_.push_back("delete " + std::to_string(id_)); }
    void beforeDestruction() override { log_.push_back("before " + std::to_string(id_)); }
    int id() const { return id_; }

  private:
    std::vector<std::string>& log_;
    int id_;
};

// Gives tests a view of where the items live.
class ProbeList : public unaList {
  public:
    using unaList::unaList;
    const void* storage() const { return items_; }
    const unaListItem* items() const { return items_; }
};

unaListItem value(uintptr_t v) {
    return reinterpret_cast<unaListItem>(v);
}

std::vector<uintptr_t> contents(unaList& list) {
    std::vector<uintptr_t> out;
    for (uint32_t i = 0; i < list.getCount(); ++i)
        out.push_back(reinterpret_cast<uintptr_t>(list.get(i)));
    return out;
}

struct Keyed {
    int64_t key;
};

class KeyedList : public unaIdList {
  public:
    using unaIdList::unaIdList;

  protected:
    int64_t getId(unaListItem item) override { return static_cast<Keyed*>(item)->key; }
};

class KeyedObject : public unaObject {
  public:
    KeyedObject(int64_t key, int& deleted) : key(key), deleted_(deleted) {}
    ~KeyedObject() override { ++deleted_; }
    int64_t key;

  private:
    int& deleted_;
};

class KeyedObjectList : public unaIdList {
  public:
    KeyedObjectList() : unaIdList(true) {}

  protected:
    int64_t getId(unaListItem item) override {
        return static_cast<KeyedObject*>(static_cast<unaObject*>(item))->key;
    }
};

}  // namespace

TEST(ObjectList, AutoFreeDestroysThroughTheLifeCycle) {
    std::vector<std::string> log;
    {
        auto list = make<unaObjectList>(true);
        list->add(make<Tracked>(log, 1));
        list->add(make<Tracked>(log, 2));
        list->clear(kReleaseDefault);
        EXPECT_EQ(list->getCount(), 0u);
        EXPECT_EQ(log, (std::vector<std::string>{"before 2", "delete 2", "before 1", "delete 1"}));
        log.clear();
        list->add(make<Tracked>(log, 3));
    }
    EXPECT_EQ(log, (std::vector<std::string>{"before 3", "delete 3"}))
        << "destroying the list frees what it still holds";
}

TEST(ObjectList, WithoutAutoFreeOnlyActionOneFrees) {
    std::vector<std::string> log;
    auto kept = make<Tracked>(log, 1);
    auto freed = make<Tracked>(log, 2);
    {
        auto list = make<unaObjectList>(false);
        list->add(kept.get());
        list->add(freed.get());
        EXPECT_TRUE(list->removeByIndex(1, kReleaseFree));
        freed.release();
        EXPECT_EQ(log, (std::vector<std::string>{"before 2", "delete 2"}));
        list->clear(kReleaseDefault);
        list->add(kept.get());
    }
    EXPECT_EQ(log.size(), 2u) << "the list never owned the kept object";
    EXPECT_EQ(kept->id(), 1);
}

TEST(ObjectList, ListHeldWithoutLifeCycleStillFreesItsObjects) {
    std::vector<std::string> log;
    {
        unaObjectList list(true);
        list.add(make<Tracked>(log, 7));
    }
    EXPECT_EQ(log, (std::vector<std::string>{"before 7", "delete 7"}));
}

TEST(ObjectList, SetItemReleasesTheOldItemButNeverTheSameOne) {
    std::vector<std::string> log;
    auto list = make<unaObjectList>(true);
    list->add(make<Tracked>(log, 1));
    list->setItem(0, make<Tracked>(log, 2).release());
    EXPECT_EQ(log, (std::vector<std::string>{"before 1", "delete 1"}));
    list->setItem(0, list->get(0));
    EXPECT_EQ(log.size(), 2u);
    EXPECT_EQ(list->getAs<Tracked>(0)->id(), 2);
}

TEST(List, CapacityGrowsInStepsAndSmallBlocksSurviveClear) {
    auto list = make<ProbeList>(false);
    for (uintptr_t i = 1; i <= 256; ++i)
        list->add(value(i));
    EXPECT_EQ(list->getCapacity(), 256u);
    list->add(value(257));
    EXPECT_EQ(list->getCapacity(), 512u);
    for (uintptr_t i = 258; i <= 300; ++i)
        list->add(value(i));

    const void* block = list->storage();
    list->clear();
    EXPECT_EQ(list->getCount(), 0u);
    EXPECT_EQ(list->getCapacity(), 0u);
    EXPECT_EQ(list->storage(), block) << "a cleared list of 300 keeps its block";
    list->add(value(1));
    EXPECT_EQ(list->get(0), value(1));

    auto big = make<ProbeList>(false);
    for (uintptr_t i = 1; i <= 5000; ++i)
        big->add(value(i));
    EXPECT_EQ(big->getCapacity(), 5120u);
    EXPECT_EQ(big->get(4999), value(5000));
    big->clear();
    EXPECT_EQ(big->storage(), nullptr) << "a cleared list of 5000 gives its block back";
}

TEST(List, CountSwingingAcrossAStepKeepsItsBlock) {
    auto list = make<ProbeList>(false);
    for (uintptr_t i = 1; i <= 512; ++i)
        list->add(value(i));
    list->add(value(9));
    list->removeByIndex(512);
    const void* block = list->storage();
    for (int round = 0; round < 50; ++round) {
        list->add(value(9));
        EXPECT_EQ(list->getCapacity(), 768u);
        list->removeByIndex(static_cast<int32_t>(list->getCount() - 1));
        EXPECT_EQ(list->getCapacity(), 512u);
    }
    EXPECT_EQ(list->storage(), block);
    EXPECT_EQ(list->getCount(), 512u);
}

TEST(List, BehavesLikeAQueueUnderMixedEdits) {
    auto list = make<unaList>(false);
    std::deque<uintptr_t> model;
    uint32_t seed = 12345;
    const auto next = [&] { return (seed = seed * 1103515245u + 12345u) >> 16; };
    uintptr_t serial = 1;
    for (int step = 0; step < 20000; ++step) {
        const uint32_t roll = next() % 100;
        if (roll < 45 || model.size() < 2) {
            list->add(value(serial));
            model.push_back(serial++);
        } else if (roll < 85) {
            ASSERT_TRUE(list->removeByIndex(0));
            model.pop_front();
        } else if (roll < 92) {
            const uint32_t at = next() % model.size();
            ASSERT_TRUE(list->removeByIndex(static_cast<int32_t>(at)));
            model.erase(model.begin() + at);
        } else {
            const uint32_t at = next() % (model.size() + 1);
            ASSERT_EQ(list->insert(static_cast<int32_t>(at), value(serial)),
                      static_cast<int32_t>(at));
            model.insert(model.begin() + at, serial++);
        }
        ASSERT_EQ(list->getCount(), model.size());
        ASSERT_GE(list->getCapacity(), list->getCount());
        if (step % 97 == 0) {
            ASSERT_EQ(contents(*list), std::vector<uintptr_t>(model.begin(), model.end()));
        }
    }
    EXPECT_EQ(contents(*list), std::vector<uintptr_t>(model.begin(), model.end()));
    EXPECT_EQ(list->indexOf(value(model.back())), static_cast<int32_t>(model.size() - 1));
}

TEST(List, RemovalAndInsertionBounds) {
    auto list = make<unaList>(false);
    for (uintptr_t i = 1; i <= 4; ++i)
        list->add(value(i));
    EXPECT_FALSE(list->removeByIndex(4));
    EXPECT_FALSE(list->removeByIndex(-1));
    EXPECT_EQ(contents(*list), (std::vector<uintptr_t>{1, 2, 3, 4}));

    EXPECT_EQ(list->insert(5, value(9)), -1);
    EXPECT_EQ(list->insert(4, value(5)), 4);
    EXPECT_EQ(list->insert(0, value(0)), 0);
    EXPECT_TRUE(list->removeByIndex(2));
    EXPECT_TRUE(list->removeItem(value(4)));
    EXPECT_FALSE(list->removeItem(value(4)));
    EXPECT_EQ(contents(*list), (std::vector<uintptr_t>{0, 1, 3, 5}));
    EXPECT_EQ(list->indexOf(value(5)), 3);
    EXPECT_EQ(list->indexOf(value(42)), -1);
    list->reverse();
    EXPECT_EQ(contents(*list), (std::vector<uintptr_t>{5, 3, 1, 0}));
}

TEST(List, CopyFromModes) {
    auto list = make<ProbeList>(false);
    const unaListItem three[] = {value(7), value(8), value(9)};
    const auto bytes = static_cast<int32_t>(sizeof three);
    list->add(value(1));
    list->add(value(2));

    list->copyFrom(three, bytes, 0, kCopyAppend);
    EXPECT_EQ(contents(*list), (std::vector<uintptr_t>{1, 2, 7, 8, 9}));
    list->copyFrom(three, bytes, 4, kCopyOverwrite);
    EXPECT_EQ(contents(*list), (std::vector<uintptr_t>{1, 2, 7, 8, 7, 8, 9}));
    list->copyFrom(three, bytes, 1, kCopyInsert);
    EXPECT_EQ(contents(*list), (std::vector<uintptr_t>{1, 7, 8, 9, 2, 7, 8, 7, 8, 9}));
    list->copyFrom(three, bytes, 99, kCopyInsert);  // clamped to the end
    EXPECT_EQ(list->getCount(), 13u);
    list->copyFrom(three, 2 * sizeof(unaListItem), 0, kCopyReplace);
    EXPECT_EQ(contents(*list), (std::vector<uintptr_t>{7, 8}));

    // A negative count means the array starts with its own item count.
    unaListItem counted[3] = {nullptr, value(5), value(6)};
    const uint32_t two = 2;
    std::memcpy(&counted[0], &two, sizeof two);
    list->copyFrom(counted, -1, 1, kCopyInsert);
    EXPECT_EQ(contents(*list), (std::vector<uintptr_t>{7, 5, 6, 8}));

    list->copyFrom(nullptr, bytes, 0, kCopyReplace);
    list->copyFrom(three, 0, 0, kCopyReplace);
    EXPECT_EQ(list->getCount(), 4u);

    // Copying the list onto itself while it has to grow.
    for (int i = 0; i < 300; ++i)
        list->add(value(1));
    auto before = contents(*list);
    list->copyFrom(list->items(), static_cast<int32_t>(before.size() * sizeof(unaListItem)), 0,
                   kCopyAppend);
    ASSERT_EQ(list->getCount(), 2 * before.size());
    before.insert(before.end(), before.begin(), before.end());
    EXPECT_EQ(contents(*list), before);
}

TEST(ObjectList, CopyFromNeverFreesItems) {
    std::vector<std::string> log;
    auto a = make<Tracked>(log, 1);
    auto b = make<Tracked>(log, 2);
    {
        auto list = make<unaObjectList>(true);
        const unaListItem items[] = {a.get()};
        list->add(b.get());
        list->copyFrom(items, sizeof items, 0, kCopyReplace);
        EXPECT_TRUE(log.empty()) << "replacing the contents drops entries without freeing";
        list->clear(kReleaseKeep);
    }
    EXPECT_TRUE(log.empty());
}

TEST(List, DataEventFollowsContents) {
    auto list = make<unaList>(false);
    EXPECT_FALSE(list->dataEvent().waitFor(0));
    list->add(value(1));
    list->add(value(2));
    EXPECT_TRUE(list->dataEvent().waitFor(0));
    list->add(value(3));
    list->removeByIndex(0);
    list->removeByIndex(0);
    list->removeByIndex(0);
    EXPECT_FALSE(list->dataEvent().waitFor(0)) << "emptying resets it";
    const unaListItem one[] = {value(4)};
    list->copyFrom(one, sizeof one, 0, kCopyAppend);
    EXPECT_TRUE(list->dataEvent().waitFor(0));
}

TEST(List, HandlersSeeEveryRemovalAndMayForceFreeing) {
    std::vector<std::string> log;
    auto list = make<unaObjectList>(false);
    std::vector<int32_t> before;
    list->onItemBeforeRemove = [&](int32_t index) { before.push_back(index); };
    list->onItemRelease = [&](int32_t index, int32_t& action) {
        if (index == 1)
            action = kReleaseFree;
        throw std::runtime_error("handler faults are contained");
    };
    auto kept0 = make<Tracked>(log, 0);
    auto kept2 = make<Tracked>(log, 2);
    list->add(kept0.get());
    list->add(make<Tracked>(log, 1).release());
    list->add(kept2.get());
    list->clear(kReleaseDefault);
    EXPECT_EQ(before, (std::vector<int32_t>{2, 1, 0}));
    EXPECT_EQ(log, (std::vector<std::string>{"before 1", "delete 1"}));
    EXPECT_EQ(list->getCount(), 0u);
}

TEST(List, LockingRules) {
    auto list = make<unaList>(false);
    EXPECT_FALSE(list->lockNonEmpty());
    list->add(value(1));
    ASSERT_TRUE(list->lockNonEmpty());

    list->lockTimeout = 20;
    std::atomic<int32_t> added{0}, found{0};
    std::atomic<bool> removed{true};
    std::thread other([&] {
        added = list->add(value(2));
        found = list->indexOf(value(1));
        removed = list->removeByIndex(0);
    });
    other.join();
    EXPECT_EQ(added.load(), -1);
    EXPECT_EQ(found.load(), -1);
    EXPECT_FALSE(removed.load());
    EXPECT_EQ(list->getCount(), 1u);
    list->unlock();

    std::thread after([&] { added = list->add(value(2)); });
    after.join();
    EXPECT_EQ(added.load(), 1) << "the empty-list check left no lock behind";
}

TEST(List, ClosedAfterDestructionStep) {
    auto list = make<unaObjectList>(true);
    std::vector<std::string> log;
    list->add(make<Tracked>(log, 1));
    list->beforeDestruction();
    EXPECT_EQ(log.size(), 2u);
    EXPECT_FALSE(list->lock());
    EXPECT_EQ(list->add(value(5)), -1);
    EXPECT_EQ(list->getCount(), 0u);
}

TEST(List, NoLockingNeedsNoGate) {
    auto list = make<unaList>(false);
    list->noLocking = true;
    list->lockTimeout = 20;
    ASSERT_TRUE(list->lock());
    std::atomic<int32_t> added{-1};
    std::thread other([&] { added = list->add(value(3)); });
    other.join();
    EXPECT_EQ(added.load(), 0);
    list->unlock();
}

TEST(RecordList, FreesItsBlocks) {
    // Leaks show under the address sanitizer.
    auto list = make<unaRecordList>(true);
    list->add(unaRecordList::newRecord(64));
    list->add(unaRecordList::newRecord(0));
    list->removeByIndex(0);
    list->setItem(0, unaRecordList::newRecord(8));
    unaRecordList byValue(true);
    byValue.add(unaRecordList::newRecord(16));
}

TEST(IdList, DuplicateIdsAreReplaced) {
    Keyed a{1}, b{2}, a2{1};
    auto list = make<KeyedList>(false);
    list->add(&a);
    list->add(&b);
    list->add(&a2);
    EXPECT_EQ(list->getCount(), 2u);
    EXPECT_EQ(list->itemById(1), &a2);
    EXPECT_EQ(list->indexOfId(1), 1);
    EXPECT_EQ(list->indexOfId(3), -1);
    EXPECT_EQ(list->itemById(3), nullptr);

    list->allowDuplicateIds = true;
    list->add(&a);
    EXPECT_EQ(list->getCount(), 3u);
    EXPECT_EQ(list->indexOfId(1), 1);
    EXPECT_EQ(list->indexOfId(1, 2), 2);
}

TEST(IdList, IdsStayBesideTheirItems) {
    Keyed k[5] = {{10}, {11}, {12}, {13}, {14}};
    auto list = make<KeyedList>(false);
    list->add(&k[1]);
    list->add(&k[3]);
    list->insert(0, &k[0]);
    list->insert(2, &k[2]);
    EXPECT_EQ(list->indexOfId(10), 0);
    EXPECT_EQ(list->indexOfId(12), 2);
    EXPECT_EQ(list->indexOfId(13), 3);
    list->removeByIndex(1);
    EXPECT_EQ(list->indexOfId(11), -1);
    EXPECT_EQ(list->indexOfId(12), 1);
    list->setItem(0, &k[4]);
    EXPECT_EQ(list->indexOfId(10), -1);
    EXPECT_EQ(list->indexOfId(14), 0);
    list->reverse();
    EXPECT_EQ(list->indexOfId(14), 2);
    EXPECT_EQ(list->indexOfId(13), 0);
    const unaListItem more[] = {&k[1]};
    list->copyFrom(more, sizeof more, 1, kCopyInsert);
    EXPECT_EQ(list->indexOfId(11), 1);
    EXPECT_EQ(list->indexOfId(14), 3);
    for (int i = 0; i < 600; ++i)
        list->insert(0, &k[0]);
    EXPECT_EQ(list->indexOfId(14), 603);
    list->clear();
    EXPECT_EQ(list->indexOfId(14), -1);
}

TEST(IdList, ReplacedDuplicatesAreFreedButTheSameItemIsNot) {
    int deleted = 0;
    auto list = make<KeyedObjectList>();
    auto* first = make<KeyedObject>(5, deleted).release();
    list->add(first);
    list->add(make<KeyedObject>(5, deleted).release());
    EXPECT_EQ(deleted, 1);
    unaListItem same = list->get(0);
    list->add(same);
    EXPECT_EQ(deleted, 1);
    EXPECT_EQ(list->getCount(), 1u);
    list.reset();
    EXPECT_EQ(deleted, 2);
}

TEST(StringList, NamesIgnoreCase) {
    auto list = make<unaStringList>(true);
    list->add("channels=2");
    list->add("rate=44100");
    list->add("ra=1");
    list->add("tag=a=b");
    EXPECT_EQ(list->getValue("Rate"), "44100");
    EXPECT_EQ(list->indexOfName("RA"), 2);
    EXPECT_EQ(list->getValue("tag"), "a=b");
    EXPECT_EQ(list->getValue("bits"), "");
    EXPECT_EQ(list->indexOfName("rate=44100"), -1);

    list->setValue("Bits", "16");
    EXPECT_EQ(list->getString(4), "Bits=16");
    list->setValue("RATE", "48000");
    EXPECT_EQ(list->getCount(), 5u);
    EXPECT_EQ(list->getString(1), "RATE=48000");
    EXPECT_EQ(list->getString(9), "");

    auto empty = make<unaStringList>(true);
    EXPECT_EQ(empty->indexOfName("x"), -1);
    EXPECT_EQ(empty->getValue("x"), "");
}

TEST(StringList, SetTextSplitsLines) {
    auto list = make<unaStringList>(true);
    const auto lines = [&] {
        std::vector<std::string> out;
        for (uint32_t i = 0; i < list->getCount(); ++i)
            out.push_back(list->getString(i));
        return out;
    };
    list->setText("a\r\nb\n\nc");
    EXPECT_EQ(lines(), (std::vector<std::string>{"a", "b", "c"}));
    list->setText("one\rtwo\n\rthree\n");
    EXPECT_EQ(lines(), (std::vector<std::string>{"one", "two", "three"}));
    list->setText("x\r\n\r\ny");
    EXPECT_EQ(lines(), (std::vector<std::string>{"x", "", "y"}));
    list->setText("");
    EXPECT_EQ(list->getCount(), 0u);
    list->setText("\nlast");
    EXPECT_EQ(lines(), (std::vector<std::string>{"", "last"}));
}
