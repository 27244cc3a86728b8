// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Notes of the arpeggio that ring on after the pattern was laid out anew
// at once (a preset recalled without Keep the beat): the rebuild would cut
// them, so they leave the pattern and end here, at their own note-off, or
// earlier only when the new settings make a step that short, or when the
// new pattern strikes the same note.
#include <array>
#include <cstdint>
#include <optional>

#include "engine/Arpeggiator.h"

namespace vlx {

class Ringing {
public:
    // The steps that sound now leave the pattern, which forgets them.
    void Take(Arpeggiator& arp);
    // None rings longer than a step of `duration` from its note-on.
    void Shorten(std::int16_t duration) noexcept;
    // Ends what is due at lNow, and a note the pattern is about to strike again.
    void EndDue(Arpeggiator& arp, std::int32_t lNow);
    void EndAll(Arpeggiator& arp);
    void Forget() noexcept { count_ = 0; }
    std::optional<std::int32_t> NextEnd() const noexcept;

private:
    struct Note {
        std::uint8_t chan;
        std::uint8_t pitch;
        std::int32_t on;
        std::int32_t end;
    };
    void end(Arpeggiator& arp, std::size_t i);
    // More than ever sound at once: the arpeggio's notes end before its next step.
    std::array<Note, 32> notes_{};
    std::size_t count_ = 0;
};

}  // namespace vlx
