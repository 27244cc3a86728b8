// SPDX-License-Identifier: GPL-3.0-or-later
// Playing with a band: the window's menu with its switches (following a MIDI
// clock, holding the pattern with the sustain pedal, keeping the beat, a new
// random order every pass) and all notes off, the latch, and what the window
// shows of the clock the player follows.
#include <cmath>
#include <utility>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QSignalBlocker>
#include <QTimer>

#include "app/Form1.h"
#include "app/HandsFreePanel.h"

namespace vlx {

void Form1::createMenu() {
    Menu = new QMenu(this);
    Menu->setObjectName(QStringLiteral("Menu"));
    // The switches the table places in the menu, in its order.
    for (const ControlInfo& info : Controls()) {
        if (info.place != ControlPlace::Menu) continue;
        QAction* entry = Menu->addAction(tr(info.label));
        entry->setObjectName(QString::fromLatin1(info.settingsName));
        entry->setCheckable(true);
        entry->setToolTip(tr(info.help));
        widgets_[static_cast<std::size_t>(info.id)] = entry;
    }
    Menu->setToolTipsVisible(true);
    FollowClock = qobject_cast<QAction*>(widget(Control::FollowClock));
    SustainHold = qobject_cast<QAction*>(widget(Control::SustainHold));
    KeepBeat = qobject_cast<QAction*>(widget(Control::KeepBeat));
    ShuffleEveryPass = qobject_cast<QAction*>(widget(Control::ShuffleEveryPass));
    Menu->addSeparator();
    AllNotesOff = Menu->addAction(tr("All notes off"));
    AllNotesOff->setObjectName(QStringLiteral("AllNotesOff"));
    // Escape works with the menu closed, wherever the focus is.
    AllNotesOff->setShortcut(QKeySequence(Qt::Key_Escape));
    AllNotesOff->setShortcutContext(Qt::WindowShortcut);
    addAction(AllNotesOff);
    // Shown over a control only: the entry names it.
    Menu->addSeparator();
    LearnMidi = Menu->addAction(tr("Learn MIDI..."));
    LearnMidi->setObjectName(QStringLiteral("LearnMidi"));
    LearnMidi->setVisible(false);
    connect(LearnMidi, &QAction::triggered, this, [this] {
        handleCall([this] {
            if (!learnFor_) return;
            More->setChecked(true);  // where learning shows what it does
            Hands->Learn(*learnFor_);
        });
    });

    connect(AllNotesOff, &QAction::triggered, this, [this] { handleCall([this] { AllNotesOff_Click(); }); });

    // The keyboard's ways to a context menu; Qt maps neither on every platform.
    for (const QKeySequence& keys : {QKeySequence(Qt::Key_Menu), QKeySequence(Qt::SHIFT | Qt::Key_F10)}) {
        auto* shortcut = new QShortcut(keys, this);
        connect(shortcut, &QShortcut::activated, this, [this] { openMenuFromKeyboard(); });
    }
    // Every control shows the window's menu, except the tempo box, whose
    // editing menu gets the window's entries below its own.
    for (QWidget* control : {static_cast<QWidget*>(Divert), static_cast<QWidget*>(Label1),
                             static_cast<QWidget*>(VScrollTempo), static_cast<QWidget*>(Label4),
                             static_cast<QWidget*>(Octaves), static_cast<QWidget*>(Enable),
                             static_cast<QWidget*>(CloseOnExit), static_cast<QWidget*>(Retrigger),
                             static_cast<QWidget*>(Label2), static_cast<QWidget*>(Resolution),
                             static_cast<QWidget*>(Label3), static_cast<QWidget*>(Sustain),
                             static_cast<QWidget*>(Label5), static_cast<QWidget*>(Cycle), static_cast<QWidget*>(Status),
                             static_cast<QWidget*>(Latch), static_cast<QWidget*>(Live)})
        control->setContextMenuPolicy(Qt::NoContextMenu);
    Tempo->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(Tempo, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        learnFor_ = Control::Tempo;
        LearnMidi->setText(tr("Learn MIDI for %1...").arg(QString::fromStdString(PlainLabel(InfoOf(Control::Tempo)))));
        LearnMidi->setVisible(true);
        QMenu* edit = Tempo->createStandardContextMenu();
        edit->setObjectName(QStringLiteral("TempoMenu"));
        edit->setAttribute(Qt::WA_DeleteOnClose);
        edit->addSeparator();
        edit->addActions(Menu->actions());
        edit->popup(Tempo->mapToGlobal(at));
    });
}

// A popup, never a menu with its own event loop: while arpeggiating,
// playback runs in the timer loop's message pump.
void Form1::contextMenuEvent(QContextMenuEvent* event) {
    QWidget* at = event->reason() == QContextMenuEvent::Keyboard ? focusWidget() : childAt(event->pos());
    learnFor_ = controlAt(at);
    if (learnFor_)
        LearnMidi->setText(tr("Learn MIDI for %1...").arg(QString::fromStdString(PlainLabel(InfoOf(*learnFor_)))));
    LearnMidi->setVisible(learnFor_.has_value());
    Menu->popup(event->globalPos());
    event->accept();
}

std::optional<Control> Form1::controlAt(QWidget* at) const {
    for (; at && at != this; at = at->parentWidget()) {
        if (at == Tempo) return Control::Tempo;
        if (auto* label = qobject_cast<QLabel*>(at); label && label->buddy()) return controlAt(label->buddy());
        for (const ControlInfo& info : Controls()) {
            if (widget(info.id) == at) return info.id;
            // The menu's switches, shown on the second page too.
            if (info.place == ControlPlace::Menu && at->objectName() == QStringLiteral("Panel%1").arg(QString::fromLatin1(info.settingsName)))
                return info.id;
        }
    }
    return std::nullopt;
}

void Form1::openMenuFromKeyboard() {
    QWidget* at = focusWidget() ? focusWidget() : this;
    const QPoint centre = at->rect().center();
    QContextMenuEvent ask(QContextMenuEvent::Keyboard, centre, at->mapToGlobal(centre));
    QCoreApplication::sendEvent(at, &ask);  // a control that has no menu passes it to the window
}

void Form1::FollowClock_Click() {
    // What the tempo box shows changes with the switch: a tempo refused
    // there is corrected first, whichever way the switch is reached.
    if (focusWidget() == Tempo && tempoRefused()) {
        {
            const QSignalBlocker quiet(FollowClock);
            FollowClock->setChecked(!FollowClock->isChecked());
        }
        bool cancel = false;
        Tempo_Validate(cancel);
        return;
    }
    if (unloaded_ || !player_) return;
    if (!fromPlayer_) player_->Set(Control::FollowClock, FollowClock->isChecked() ? 1 : 0);
    clock_ = PlayerReport{};
    showClock();
}

void Form1::AllNotesOff_Click() {
    if (!unloaded_) player_->AllNotesOff();
}

// The tempo box shows the clock's tempo, read-only, while a clock is
// followed; the status line says when there is none.
void Form1::showClock() {
    const bool following = FollowClock->isChecked() && Enable->isChecked();
    const auto state = clock_.clockState;
    // The box shows the tempo that plays: a running clock's (read-only), or
    // a lost clock's last, which plays on until a tempo is given there.
    const bool running = following && state != ClockFollower::State::Absent;
    const bool lostPlaying = following && state == ClockFollower::State::Absent && clock_.clockLost &&
                             clock_.clockTempo > 0;
    if (running || lostPlaying) {
        if (!clockShown())
            typedTempo_ = tempoRefused() ? QString::fromStdString(ToText(Control::Tempo, VScrollTempo->value()))
                                         : Tempo->text();
        Tempo->setReadOnly(running);
        VScrollTempo->setEnabled(!running);
        if (clock_.clockTempo > 0) {
            const QString text = QString::number(std::lround(clock_.clockTempo));
            if (Tempo->text() != text && !Tempo->hasFocus()) Tempo->setText(text);
        }
        Tempo->setToolTip(running ? tr("The MIDI clock's tempo")
                                  : tr("The lost MIDI clock's last tempo, playing on until the clock is back or a "
                                       "tempo is given here (Return)"));
    } else if (clockShown()) {
        Tempo->setText(std::exchange(typedTempo_, QString()));
        Tempo->setReadOnly(false);
        VScrollTempo->setEnabled(true);
        Tempo->setToolTip(QString());
    }

    if (connectionLost_) return;  // that says more
    QString text = hostStatus_;
    QString tip = hostStatus_;
    if (following && state == ClockFollower::State::Stopped) {
        text = tr("MIDI clock stopped");
        tip = tr("The MIDI clock said Stop: the pattern waits for its Start or Continue");
    } else if (following && state == ClockFollower::State::Absent) {
        text = clock_.clockLost ? tr("MIDI clock lost") : tr("No MIDI clock");
        if (clock_.clockLost && clock_.clockTempo > 0)
            tip = tr("The MIDI clock stopped arriving: playing on at its last tempo, %1 bpm, until it is back or a "
                     "tempo is given (Return in the Tempo box)")
                      .arg(std::lround(clock_.clockTempo));
        else
            tip = tr("%1: playing at the typed tempo")
                      .arg(clock_.clockLost ? tr("The MIDI clock stopped arriving")
                                            : tr("No MIDI clock arrives at VLXArp:in"));
    }
    if (Status->text() != text) Status->setText(text);
    if (Status->toolTip() != tip) Status->setToolTip(tip);
}

}  // namespace vlx
