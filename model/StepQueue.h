// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// First-in-first-out queues of pattern steps. NoteOnQ, NoteOffQ and PlayQ are
// one design under three names, so that an engine member cannot be handed the
// wrong queue. A queue never compares times: it is in time order because the
// engine fills and recycles it in time order.
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>

#include "model/KeyedCollection.h"
#include "model/RecordPool.h"
#include "model/Records.h"

namespace vlx {

class StepQueue {
public:
    using Ref = std::shared_ptr<QEvt>;

    // The head, or an empty reference when the queue is empty.
    Ref Peek() const { return col_.Count() > 0 ? col_.Item(1) : nullptr; }
    // Removes and returns the head, or returns an empty reference.
    Ref Pull() {
        if (col_.Count() <= 0) return nullptr;
        Ref head = col_.Item(1);
        col_.Remove(1);
        return head;
    }
    // Appends a new step at the tail, under sKey when that is not empty.
    Ref Add(std::int16_t Index, std::int16_t OctMult, std::int32_t Trigger, std::string_view sKey = {}) {
        auto evt = MakeRecord<QEvt>(pool_);
        evt->Index = Index;
        evt->OctMult = OctMult;
        evt->Trigger = Trigger;
        col_.Add(evt, sKey);
        return evt;
    }

    const Ref& Item(const IndexKey& vntIndexKey) const { return col_.Item(vntIndexKey); }
    std::int32_t Count() const noexcept { return col_.Count(); }
    void Remove(const IndexKey& vntIndexKey) { col_.Remove(vntIndexKey); }
    auto NewEnum() const { return col_.NewEnum(); }
    // Removes every step `drop(step)` picks, in one pass.
    template <class Drop>
    void RemoveIf(Drop&& drop) {
        col_.RemoveIf(std::forward<Drop>(drop));
    }

    // Room for n steps (and their records) made and dropped without asking
    // the system for memory.
    void Reserve(std::size_t n) {
        col_.Reserve(n);
        pool_->Reserve(n);
    }

protected:
    StepQueue() = default;

private:
    PoolRef pool_ = PoolRef::Make();
    KeyedCollection<QEvt> col_;
};

// The running pattern: one step per note-on, at its note-on time.
class NoteOnQ final : public StepQueue {};
// One step per note-off, at its note-off time.
class NoteOffQ final : public StepQueue {};
// Steps whose note-on has been sent and whose note-off has not.
class PlayQ final : public StepQueue {};

}  // namespace vlx
