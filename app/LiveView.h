// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the window shows of the player while it plays: the held notes by
// name, the note sounding now, whether MIDI arrives, the followed clock's
// state and the player's switches that are on. Drawn only from what the player publishes at the end of
// its cycles, read at the screen's pace; nothing here touches the engine.
// One widget that paints its rows itself: a new note every step repaints a
// line, never lays the window out again.
#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

#include <QHash>
#include <QStaticText>
#include <QString>
#include <QWidget>

#include "player/Player.h"

namespace vlx {

// "C4" for MIDI note 60, "F#2", "G9" for 127.
QString NoteName(int pitch);

class LiveView : public QWidget {
public:
    using Clock = std::chrono::steady_clock;
    // How long the light stays on after a message: long enough to be seen
    // at any frame rate.
    static constexpr std::chrono::milliseconds kLightHold{120};
    enum Row { Held, Playing, ClockState, Switches, Input, kRows };

    explicit LiveView(QWidget* parent = nullptr);
    // Shows `view` as of `now`; only a row whose text changed is redrawn.
    void show(const PlayerView& view, Clock::time_point now);

    // What a row says (the input row: "receiving" while lit, else empty).
    const QString& text(Row row) const { return texts_[row]; }
    bool inputLit() const noexcept { return lit_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QRect rowRect(int row) const;
    int valueLeft() const;
    void set(Row row, const QString& text);
    void prepare(int row);

    std::array<QString, kRows> captions_;
    std::array<QString, kRows> texts_;
    std::array<QStaticText, kRows> captionShown_;
    std::array<QStaticText, kRows> shown_;  // texts_, cut to fit
    QHash<QString, QStaticText> playingShown_;
    std::optional<PlayerView> shownView_;  // the view the rows show
    int valueLeft_ = 0;
    bool lit_ = false;
    std::uint64_t inputs_ = 0;
    Clock::time_point lastInput_{};
};

}  // namespace vlx
