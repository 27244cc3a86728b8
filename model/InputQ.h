// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// MIDI input that arrived while the engine was in use, oldest first.
#include <cstdint>
#include <memory>
#include <string_view>

#include "model/KeyedCollection.h"
#include "model/RecordPool.h"
#include "model/Records.h"

namespace vlx {

class InputQ {
public:
    using Ref = std::shared_ptr<InQEvt>;

    bool IsEmpty() const noexcept { return col_.Count() == 0; }
    // Removes and returns the oldest message; fails with OutOfRangeError when
    // the queue is empty (callers test IsEmpty first).
    Ref Pull() {
        Ref oldest = col_.Item(1);
        Remove(1);
        return oldest;
    }
    Ref Add(std::int32_t lTime, std::int32_t Status, std::int32_t data1, std::int32_t data2,
            std::string_view sKey = {}) {
        auto evt = MakeRecord<InQEvt>(pool_);
        evt->lTime = lTime;
        evt->Status = Status;
        evt->data1 = data1;
        evt->data2 = data2;
        col_.Add(evt, sKey);
        return evt;
    }

    const Ref& Item(const IndexKey& vntIndexKey) const { return col_.Item(vntIndexKey); }
    std::int32_t Count() const noexcept { return col_.Count(); }
    void Remove(const IndexKey& vntIndexKey) { col_.Remove(vntIndexKey); }
    auto NewEnum() const { return col_.NewEnum(); }

    // Room for n messages without asking the system for memory.
    void Reserve(std::size_t n) {
        col_.Reserve(n);
        pool_->Reserve(n);
    }

private:
    PoolRef pool_ = PoolRef::Make();
    KeyedCollection<InQEvt> col_;
};

}  // namespace vlx
