// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The held-note list. It keeps notes where it is told to; the engine keeps
// them in pitch order.
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>

#include "model/KeyedCollection.h"
#include "model/RecordPool.h"
#include "model/Records.h"

namespace vlx {

class NoteAry {
public:
    using Ref = std::shared_ptr<NoteEvt>;

    // Creates a note and puts it in front of the item `Before` names.
    Ref Insert(std::int16_t ID, std::uint8_t chan, std::uint8_t Note, std::uint8_t Velocity,
               std::int16_t Duration, const IndexKey& Before);
    // Creates a note and appends it, under sKey when that is not empty.
    Ref Add(std::int16_t ID, std::uint8_t chan, std::uint8_t Note, std::uint8_t Velocity,
            std::int16_t Duration, std::string_view sKey = {});

    const Ref& Item(const IndexKey& vntIndexKey) const { return col_.Item(vntIndexKey); }
    std::int32_t Count() const noexcept { return col_.Count(); }
    void Remove(const IndexKey& vntIndexKey) { col_.Remove(vntIndexKey); }
    auto NewEnum() const { return col_.NewEnum(); }
    // Removes every note `drop(note)` picks, in one pass.
    template <class Drop>
    void RemoveIf(Drop&& drop) {
        col_.RemoveIf(std::forward<Drop>(drop));
    }

    // Room for n notes without asking the system for memory.
    void Reserve(std::size_t n) {
        col_.Reserve(n);
        pool_->Reserve(n);
    }

private:
    Ref makeNote(std::int16_t ID, std::uint8_t chan, std::uint8_t Note, std::uint8_t Velocity,
                 std::int16_t Duration) const;

    PoolRef pool_ = PoolRef::Make();
    KeyedCollection<NoteEvt> col_;
};

}  // namespace vlx
