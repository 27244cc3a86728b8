// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Controls of the window that behave as a player expects where Qt's own do
// not quite: a switch that shows at a glance that it is on, the tempo's
// scroll bar whose upper end is the fast end, and a gate that checks a typed
// text before anything the player does can take the focus out of its box.
#include <cstdint>
#include <functional>
#include <vector>

#include <QLineEdit>
#include <QObject>
#include <QPushButton>
#include <QScrollBar>

#include "player/Controls.h"

namespace vlx {

// A checkable push button that, while down, is drawn in the palette's
// selection colours whatever the style: some styles draw a checked button
// barely darker than a raised one.
class SwitchButton : public QPushButton {
public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A vertical scroll bar that counts upwards: its upper arrow, the track above
// the handle, Up, Page Up, Home and the wheel turned away from the player
// raise the value; the lower ones lower it. One wheel notch is one step.
//
// Qt names a scroll bar's actions for its value (the upper arrow triggers
// SliderSingleStepSub); this one turns each such action round before it
// takes effect, so an action names the end it moves towards, not the value.
class UpwardScrollBar : public QScrollBar {
public:
    explicit UpwardScrollBar(QWidget* parent = nullptr);

protected:
    bool event(QEvent* event) override;

private:
    int wheelAngle_ = 0;  // eighths of a degree not yet turned into steps
};

// Checks a text box before a player's action would move the focus out of it:
// a click or wheel turn on another control of its window, a mnemonic, Tab or
// Shift+Tab. A refusal eats that event, so the focus stays in the box and
// the other control never hears of it. The events are caught as they reach
// the window, before Qt moves the focus for them.
class FocusLeaveGate : public QObject {
public:
    // `refuse` checks the text (and tells the player why it is refused);
    // true keeps the focus in the box.
    FocusLeaveGate(QWidget* box, std::function<bool()> refuse);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool leaves(QObject* watched, QEvent* event) const;
    bool isOtherControl(QWidget* widget, bool byMnemonic) const;

    QWidget* box_;
    std::function<bool()> refuse_;
    bool checking_ = false;
};

// Up, Down, Page Up, Page Down and the wheel in a text box move a scroll
// bar as its own would, once `accept` has taken what was typed in the box
// (false: the text was refused and nothing moves). Not while the box is
// read-only.
class StepKeysTo : public QObject {
public:
    StepKeysTo(QLineEdit* box, QScrollBar* bar, std::function<bool()> accept);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit* box_;
    QScrollBar* bar_;
    std::function<bool()> accept_;
};

// A row of places, each a button that a click moves on from play (x) to
// rest (.) to tie (-): what the steps of a pattern do. Its value is as the
// control table keeps a row of steps.
class StepsEditor : public QWidget {
public:
    StepsEditor(int places, QWidget* parent = nullptr);
    std::int32_t value() const noexcept { return value_; }
    void setValue(std::int32_t value);
    // Called after the user changed a place.
    void onChanged(std::function<void()> changed) { changed_ = std::move(changed); }

private:
    void show(int place);
    std::vector<QPushButton*> places_;
    std::int32_t value_ = 0;
    std::function<void()> changed_;
};

}  // namespace vlx
