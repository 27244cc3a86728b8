// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the window shows of the player while it plays: the held notes by
// name, the note sounding now, whether MIDI arrives, and the followed
// clock's state. Drawn only from what the player publishes at the end of
// its cycles, read at the screen's pace; nothing here touches the engine.
#include <chrono>
#include <cstdint>

#include <QString>
#include <QWidget>

#include "player/Player.h"

class QLabel;

namespace vlx {

// "C4" for MIDI note 60, "F#2", "G9" for 127.
QString NoteName(int pitch);

// A small round light: lit, in the palette's highlight colour; out, a ring.
class InputLight : public QWidget {
public:
    explicit InputLight(QWidget* parent = nullptr);
    void setLit(bool lit);
    bool lit() const noexcept { return lit_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool lit_ = false;
};

class LiveView : public QWidget {
public:
    using Clock = std::chrono::steady_clock;
    // How long the light stays on after a message: long enough to be seen
    // at any frame rate.
    static constexpr std::chrono::milliseconds kLightHold{120};

    explicit LiveView(QWidget* parent = nullptr);
    // Shows `view` as of `now`; a label changes only when its text does.
    void show(const PlayerView& view, Clock::time_point now);

    QLabel* Held = nullptr;
    QLabel* Playing = nullptr;
    QLabel* ClockState = nullptr;
    InputLight* Input = nullptr;

private:
    std::uint64_t inputs_ = 0;
    Clock::time_point lastInput_{};
};

}  // namespace vlx
