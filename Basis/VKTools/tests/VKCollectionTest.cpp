#include "VKCollection.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// An element that reports its destruction and orders by a key.
class Item : public VKObject
{
public:
    Item(int k, int* destroyed = nullptr, int t = 0) : key(k), tag(t), m_destroyed(destroyed) {}
    ~Item() override
    {
        if (m_destroyed != nullptr) {
            ++*m_destroyed;
        }
    }
    int compare(const VKObject& other) const override
    {
        const int o = static_cast<const Item&>(other).key;
        return key < o ? -1 : (key > o ? 1 : 0);
    }
    bool isEqual(const VKObject& other) const override { return key == static_cast<const Item&>(other).key; }
    void onCommand(int command, int value) override { commands.push_back(command * 1000 + value); }

    int key;
    int tag;
    std::vector<int> commands;

private:
    int* m_destroyed;
};

// Returns raw compare results far outside -1..1.
class WideCompare : public VKObject
{
public:
    explicit WideCompare(int k) : key(k) {}
    int compare(const VKObject& other) const override
    {
        return (key - static_cast<const WideCompare&>(other).key) * 100;
    }
    int key;
};

} // namespace

TEST(VKObject, ReferenceCountDestroysAtZeroOnly)
{
    int destroyed = 0;
    auto* item = new Item(1, &destroyed);
    EXPECT_EQ(item->incReferences(), 1);
    EXPECT_EQ(item->incReferences(), 2);
    EXPECT_EQ(item->decReferences(), 1);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(item->decReferences(), 0);
    EXPECT_EQ(destroyed, 1);

    VKObject plain;
    EXPECT_EQ(plain.compare(plain), 0);
    EXPECT_TRUE(plain.isEqual(plain));
    EXPECT_TRUE(plain == plain);
    VKObject copy(plain);
    EXPECT_EQ(copy.getReferences(), 0);
}

TEST(VKCollection, NewCollectionIsEmpty)
{
    VKCollection c;
    Item probe(1);
    EXPECT_EQ(c.count(), 0);
    EXPECT_EQ(c.getCapacity(), 5);
    EXPECT_EQ(c.atPos(0), nullptr);
    EXPECT_EQ(c.atPos(-1), nullptr);
    EXPECT_EQ(c.find(&probe), nullptr);
    EXPECT_FALSE(c.add(nullptr));
    EXPECT_EQ(c.findIndex(nullptr), -1);
    EXPECT_FALSE(c.findSame(nullptr));
    EXPECT_EQ(c.findSameIndex(nullptr), -1);
    c.remove(nullptr);
    c.remove(&probe);
    EXPECT_EQ(c.count(), 0);
}

TEST(VKCollection, HoldsOneReferencePerSlot)
{
    int destroyed = 0;
    auto* item = new Item(1, &destroyed);
    {
        VKCollection c;
        ASSERT_TRUE(c.add(item));
        ASSERT_TRUE(c.add(item));
        EXPECT_EQ(item->getReferences(), 2);
        EXPECT_EQ(c.count(), 2);
        c.remove(item);
        EXPECT_EQ(c.count(), 1);
        EXPECT_EQ(c.atPos(0), item);
        EXPECT_EQ(item->getReferences(), 1);
        EXPECT_EQ(destroyed, 0);
    }
    EXPECT_EQ(destroyed, 1);

    VKCollection c;
    auto* other = new Item(2, &destroyed);
    c.add(other);
    c.remove(other);
    EXPECT_EQ(destroyed, 2);
    EXPECT_EQ(c.count(), 0);
}

TEST(VKCollection, GrowsByDoublingAndStopsAt32767)
{
    VKCollection c;
    std::vector<int> capacities;
    int destroyed = 0;
    for (int i = 0; i < VKCollection::kMaxCount; ++i) {
        ASSERT_TRUE(c.add(new Item(i, &destroyed)));
        if (capacities.empty() || capacities.back() != c.getCapacity()) {
            capacities.push_back(c.getCapacity());
        }
    }
    EXPECT_EQ(capacities,
              (std::vector<int>{5, 10, 20, 40, 80, 160, 320, 640, 1280, 2560, 5120, 10240, 20480, 32767}));
    Item extra(0);
    EXPECT_FALSE(c.add(&extra));
    EXPECT_EQ(c.count(), VKCollection::kMaxCount);
    EXPECT_EQ(extra.getReferences(), 0);
    c.removeAll();
    EXPECT_EQ(destroyed, VKCollection::kMaxCount);
    EXPECT_EQ(c.getCapacity(), 32767);
}

TEST(VKCollection, SearchesAndBroadcasts)
{
    VKCollection c;
    auto* a = new Item(1);
    auto* b = new Item(2);
    auto* b2 = new Item(2);
    c.add(a);
    c.add(b);
    c.add(b2);
    Item probe(2);
    EXPECT_EQ(c.findIndex(&probe), 1);
    EXPECT_EQ(c.find(&probe), b);
    EXPECT_EQ(c.findSameIndex(b2), 2);
    EXPECT_FALSE(c.findSame(&probe));
    c.forEach(7, 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(static_cast<Item*>(c.atPos(i))->commands, std::vector<int>{7003});
    }

    // The default isEqual matches anything.
    VKCollection plain;
    plain.add(new VKObject);
    VKObject any;
    EXPECT_EQ(plain.findIndex(&any), 0);

    c.expand(0);
    EXPECT_EQ(c.getCapacity(), 10);
    c.expand(7);
    EXPECT_EQ(c.getCapacity(), 15);
    c.expand(40);
    EXPECT_EQ(c.getCapacity(), 40);
    EXPECT_EQ(c.count(), 3);
}

namespace {

std::string keys(const VKCollection& c)
{
    std::string s;
    for (int i = 0; i < c.count(); ++i) {
        const auto* item = static_cast<const Item*>(c.atPos(i));
        s += std::to_string(item->key);
        if (item->tag != 0) {
            s += "'";
        }
    }
    return s;
}

} // namespace

TEST(VKSortedCollection, InsertsInOrderAndFindsFirstOfEquals)
{
    VKSortedCollection c;
    auto* d = new Item(4);
    c.add(new Item(2));
    c.add(d);
    c.add(new Item(3));
    EXPECT_EQ(keys(c), "234");
    c.add(new Item(4, nullptr, 1));
    EXPECT_EQ(keys(c), "234'4"); // directly before the equal element met
    Item probe(4);
    EXPECT_EQ(c.findIndex(&probe), 2);
    Item missing(9);
    EXPECT_EQ(c.findIndex(&missing), -1);
    EXPECT_EQ(c.find(&missing), nullptr);
    c.add(new Item(1));
    c.add(new Item(9));
    EXPECT_EQ(keys(c), "1234'49");
}

TEST(VKSortedCollection, UnsortedAddsAppendUntilResorted)
{
    VKSortedCollection c;
    c.add(new Item(5));
    c.addUnsorted(new Item(1));
    c.add(new Item(3));
    EXPECT_FALSE(c.isSorted());
    EXPECT_EQ(keys(c), "513");
    Item probe(3);
    EXPECT_EQ(c.findIndex(&probe), 2); // linear isEqual while unsorted
    c.setSorted(true);
    EXPECT_TRUE(c.isSorted());
    EXPECT_EQ(keys(c), "135");
    c.addUnsorted(new Item(0));
    c.forceResort();
    EXPECT_EQ(keys(c), "0135");
}

TEST(VKSortedCollection, CompareResultsOutsideMinusOneToOneStillTerminate)
{
    VKSortedCollection c;
    for (int key : {50, 10, 40, 20, 30, 10}) {
        ASSERT_TRUE(c.add(new WideCompare(key)));
    }
    for (int i = 1; i < c.count(); ++i) {
        EXPECT_LE(static_cast<WideCompare*>(c.atPos(i - 1))->key, static_cast<WideCompare*>(c.atPos(i))->key);
    }
    WideCompare probe(40);
    EXPECT_EQ(c.findIndex(&probe), 4);
    c.addUnsorted(new WideCompare(0));
    c.doSort();
    EXPECT_EQ(static_cast<WideCompare*>(c.atPos(0))->key, 0);
}

TEST(VKSortedCollection, GrowsPastThePlainLimit)
{
    VKSortedCollection c;
    for (int i = 0; i < VKCollection::kMaxCount + 10; ++i) {
        ASSERT_TRUE(c.add(new Item(i)));
    }
    EXPECT_EQ(c.count(), VKCollection::kMaxCount + 10);
}
