// SPDX-License-Identifier: GPL-3.0-or-later
// The keyed store and the collections that wrap it: 1-based positions, shared
// records, keys, and failures that leave the collection as it was.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "model/InputQ.h"
#include "model/KeyedCollection.h"
#include "model/NoteAry.h"
#include "model/StepQueue.h"

namespace vlx {
namespace {

std::vector<int> values(const KeyedCollection<int>& c) {
    std::vector<int> out;
    for (const auto& item : c.NewEnum()) out.push_back(*item);
    return out;
}

TEST(KeyedCollection, PositionsKeysAndFailures) {
    KeyedCollection<int> c;
    EXPECT_EQ(c.Count(), 0);
    EXPECT_THROW(c.Item(1), OutOfRangeError);
    EXPECT_THROW(c.Remove(1), OutOfRangeError);
    EXPECT_THROW(c.Add(std::make_shared<int>(1), {}, IndexKey(1)), OutOfRangeError);  // no item to go before
    EXPECT_EQ(c.Count(), 0);

    c.Add(std::make_shared<int>(10));
    c.Add(std::make_shared<int>(30), "thirty");
    c.Add(std::make_shared<int>(20), {}, IndexKey("thirty"));  // before a key
    c.Add(std::make_shared<int>(5), "five", IndexKey(1));
    EXPECT_EQ(values(c), (std::vector<int>{5, 10, 20, 30}));
    EXPECT_EQ(*c.Item("thirty"), 30);
    EXPECT_EQ(*c.Item(4), 30);

    EXPECT_THROW(c.Item(0), OutOfRangeError);
    EXPECT_THROW(c.Item(5), OutOfRangeError);
    EXPECT_THROW(c.Item(-1), OutOfRangeError);
    EXPECT_THROW(c.Item("Thirty"), MissingKeyError);  // keys compare exactly
    EXPECT_THROW(c.Remove("nothing"), MissingKeyError);
    EXPECT_THROW(c.Add(std::make_shared<int>(99), "five"), DuplicateKeyError);
    EXPECT_THROW(c.Add(std::make_shared<int>(99), {}, IndexKey(5)), OutOfRangeError);
    EXPECT_THROW(c.Add(std::make_shared<int>(99), "new", IndexKey("nothing")), MissingKeyError);
    EXPECT_EQ(values(c), (std::vector<int>{5, 10, 20, 30}));
    // A failed Add with a fresh key must not have claimed that key.
    c.Add(std::make_shared<int>(40), "new");
    EXPECT_EQ(*c.Item("new"), 40);

    c.Remove("five");  // later items move down
    EXPECT_EQ(*c.Item(1), 10);
    c.Add(std::make_shared<int>(6), "five");  // a removed key is free again
    c.Remove(2);
    EXPECT_EQ(values(c), (std::vector<int>{10, 30, 40, 6}));
    EXPECT_EQ(*c.Item("thirty"), 30);
    EXPECT_EQ(c.Count(), 4);
}

TEST(NoteAry, StoresWhereToldAndSharesItsRecords) {
    NoteAry ary;
    EXPECT_EQ(ary.Count(), 0);
    EXPECT_THROW(ary.Item(1), OutOfRangeError);
    EXPECT_THROW(ary.Insert(1, 0, 60, 100, 331, 1), OutOfRangeError);  // appending is Add's job
    EXPECT_EQ(ary.Count(), 0);

    const auto first = ary.Add(-1, 15, 64, 127, 32767);
    EXPECT_EQ(first->ID, -1);
    EXPECT_EQ(first->chan, 15);
    EXPECT_EQ(first->Note, 64);
    EXPECT_EQ(first->Velocity, 127);
    EXPECT_EQ(first->Duration, 32767);
    first->ID = 1;
    ary.Add(2, 0, 60, 100, 331);
    ary.Add(3, 0, 67, 100, 331);
    // The list does not sort.
    EXPECT_EQ(ary.Item(1)->Note, 64);
    EXPECT_EQ(ary.Item(2)->Note, 60);
    EXPECT_EQ(ary.Item(3)->Note, 67);
    EXPECT_EQ(ary.Item(1), first);
    EXPECT_EQ(ary.Item(1)->ID, 1);

    ary.Remove(1);  // 60 and 67 move to positions 1 and 2
    EXPECT_EQ(ary.Item(1)->Note, 60);
    EXPECT_EQ(ary.Item(2)->Note, 67);
    EXPECT_EQ(first->Note, 64);  // the caller's reference outlives the removal

    ary.Insert(0, 0, 64, 100, 331, 2);
    const auto old2 = ary.Item(2);
    const auto inserted = ary.Insert(4, 0, 62, 90, 331, 2);
    EXPECT_EQ(ary.Item(2), inserted);
    EXPECT_EQ(ary.Item(3), old2);
    std::vector<int> notes;
    for (const auto& n : ary.NewEnum()) notes.push_back(n->Note);
    EXPECT_EQ(notes, (std::vector<int>{60, 62, 64, 67}));

    EXPECT_THROW(ary.Insert(5, 0, 70, 1, 1, 5), OutOfRangeError);  // Count + 1
    EXPECT_THROW(ary.Insert(5, 0, 70, 1, 1, 0), OutOfRangeError);
    EXPECT_THROW(ary.Remove(5), OutOfRangeError);
    EXPECT_EQ(ary.Count(), 4);

    ary.Item(4)->Duration = 498;  // changes through Item are the list's changes
    EXPECT_EQ(ary.Item(4)->Duration, 498);
}

template <class Queue>
class StepQueueTest : public ::testing::Test {};
using Queues = ::testing::Types<NoteOnQ, NoteOffQ, PlayQ>;
TYPED_TEST_SUITE(StepQueueTest, Queues);

template <class Queue>
std::vector<std::int32_t> drainTriggers(Queue& q) {
    std::vector<std::int32_t> out;
    while (auto e = q.Pull()) out.push_back(e->Trigger);
    return out;
}

TYPED_TEST(StepQueueTest, IsFirstInFirstOutWithoutComparingTimes) {
    TypeParam q;
    EXPECT_EQ(q.Peek(), nullptr);
    EXPECT_EQ(q.Pull(), nullptr);
    EXPECT_EQ(q.Count(), 0);

    const auto a = q.Add(-1, 32767, 100);
    EXPECT_EQ(a->Index, -1);
    EXPECT_EQ(a->OctMult, 32767);
    EXPECT_EQ(a->Trigger, 100);
    q.Add(2, 1, 200);
    q.Add(3, 1, 50);  // earlier than the head, still goes to the tail
    EXPECT_EQ(q.Peek(), a);
    EXPECT_EQ(q.Peek(), a);
    const auto pulled = q.Pull();
    EXPECT_EQ(pulled, a);
    EXPECT_EQ(q.Peek()->Index, 2);
    EXPECT_EQ(pulled->Trigger, 100);  // valid after the queue dropped it
    EXPECT_EQ(drainTriggers(q), (std::vector<std::int32_t>{200, 50}));
    EXPECT_EQ(q.Count(), 0);

    q.Add(1, 1, 7);
    q.Add(2, 1, 7);  // equal times leave in the order added
    EXPECT_EQ(q.Pull()->Index, 1);
    EXPECT_EQ(q.Pull()->Index, 2);

    EXPECT_THROW(q.Item(1), OutOfRangeError);
    EXPECT_THROW(q.Remove(1), OutOfRangeError);
    q.Add(1, 1, 1, "one");
    EXPECT_THROW(q.Add(2, 2, 2, "one"), DuplicateKeyError);
    EXPECT_EQ(q.Count(), 1);
    EXPECT_EQ(q.Item("one")->Trigger, 1);
}

TYPED_TEST(StepQueueTest, RecyclingAndSelectiveRemoval) {
    TypeParam q;
    for (std::int32_t t : {0, 100, 200}) q.Add(1, 1, t);
    // The scheduler's recycling: append a copy one cycle later, then drop the head.
    const auto head = q.Peek();
    q.Add(head->Index, head->OctMult, head->Trigger + 300);
    q.Pull();
    EXPECT_EQ(drainTriggers(q), (std::vector<std::int32_t>{100, 200, 300}));

    const std::vector<std::int16_t> indexes{2, 1, 2, 2, 3, 1, 2};
    for (std::size_t i = 0; i < indexes.size(); ++i) q.Add(indexes[i], 1, static_cast<std::int32_t>(i));
    for (auto p = q.Count(); p >= 1; --p)
        if (q.Item(p)->Index == 2) q.Remove(p);
    EXPECT_EQ(drainTriggers(q), (std::vector<std::int32_t>{1, 4, 5}));
}

TEST(InputQ, BuffersInArrivalOrderAndRefusesAnEmptyPull) {
    InputQ q;
    EXPECT_TRUE(q.IsEmpty());
    EXPECT_EQ(q.Count(), 0);
    EXPECT_THROW(q.Pull(), OutOfRangeError);
    EXPECT_TRUE(q.IsEmpty());

    const auto added = q.Add(30, 144, 60, 0);
    EXPECT_FALSE(q.IsEmpty());
    const auto e = q.Pull();
    EXPECT_EQ(e, added);
    EXPECT_EQ(e->lTime, 30);
    EXPECT_EQ(e->Status, 144);
    EXPECT_EQ(e->data1, 60);
    EXPECT_EQ(e->data2, 0);
    EXPECT_TRUE(q.IsEmpty());

    q.Add(30, 0x90, 1, 1);
    q.Add(10, 0x90, 2, 1);
    q.Add(20, 0x90, 3, 1);
    std::vector<std::int32_t> times;
    bool addedDuringDrain = false;
    while (!q.IsEmpty()) {
        times.push_back(q.Pull()->lTime);
        if (!addedDuringDrain) {  // arrives while the drain runs
            q.Add(5, 0x80, 1, 0);
            addedDuringDrain = true;
        }
    }
    EXPECT_EQ(times, (std::vector<std::int32_t>{30, 10, 20, 5}));

    q.Add(1, 2, 3, 4, "key");
    EXPECT_THROW(q.Add(1, 2, 3, 4, "key"), DuplicateKeyError);
    EXPECT_EQ(q.Count(), 1);
    EXPECT_THROW(q.Remove(2), OutOfRangeError);
    q.Remove("key");
    EXPECT_TRUE(q.IsEmpty());
}

}  // namespace
}  // namespace vlx
