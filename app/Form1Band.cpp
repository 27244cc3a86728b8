// Playing with a band: the window's menu with its two switches, following a
// MIDI clock, holding the pattern with the sustain pedal, and all notes off.
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
#include "model/HostTime.h"

namespace vlx {

namespace {
const char* const kFollowClock = "FollowClock";
const char* const kSustainHold = "SustainHold";
}  // namespace

void Form1::createMenu() {
    Menu = new QMenu(this);
    Menu->setObjectName(QStringLiteral("Menu"));
    FollowClock = Menu->addAction(tr("Follow MIDI clock"));
    FollowClock->setObjectName(QString::fromLatin1(kFollowClock));
    FollowClock->setCheckable(true);
    SustainHold = Menu->addAction(tr("Hold with sustain pedal"));
    SustainHold->setObjectName(QString::fromLatin1(kSustainHold));
    SustainHold->setCheckable(true);
    Menu->addSeparator();
    AllNotesOff = Menu->addAction(tr("All notes off"));
    AllNotesOff->setObjectName(QStringLiteral("AllNotesOff"));
    // Escape works with the menu closed, wherever the focus is.
    AllNotesOff->setShortcut(QKeySequence(Qt::Key_Escape));
    AllNotesOff->setShortcutContext(Qt::WindowShortcut);
    addAction(AllNotesOff);

    connect(FollowClock, &QAction::toggled, this, [this] { handleCall([this] { FollowClock_Click(); }); });
    connect(SustainHold, &QAction::toggled, this, [this] { handleCall([this] { SustainHold_Click(); }); });
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
                             static_cast<QWidget*>(Label5), static_cast<QWidget*>(Cycle), static_cast<QWidget*>(Status)})
        control->setContextMenuPolicy(Qt::NoContextMenu);
    Tempo->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(Tempo, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
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
    Menu->popup(event->globalPos());
    event->accept();
}

void Form1::openMenuFromKeyboard() {
    QWidget* at = focusWidget() ? focusWidget() : this;
    const QPoint centre = at->rect().center();
    QContextMenuEvent ask(QContextMenuEvent::Keyboard, centre, at->mapToGlobal(centre));
    QCoreApplication::sendEvent(at, &ask);  // a control that has no menu passes it to the window
}

// Older settings files lack the switches: off. The command line switches
// them on for the run; either way the state at the close is kept.
void Form1::restoreSwitches() {
    struct Switch {
        const char* name;
        QAction* action;
        bool asked;
        bool& stored;
    };
    for (const Switch& s : {Switch{kFollowClock, FollowClock, options_.followClock, followClockStored_},
                            Switch{kSustainHold, SustainHold, options_.sustainHold, sustainHoldStored_}}) {
        Util::Value value;
        std::int32_t state = 0;
        s.stored = Util::GetKeyValue(kKeyPath, s.name, value) == Util::Success;
        if (!s.stored || !Util::ToInt32(value, state)) state = 0;
        s.action->setChecked(s.asked || state == 1);
    }
}

// Only what the file had, or a switch that is on, is written: a file
// older than the switches stays as it was while they are off.
void Form1::saveSwitches(const std::function<void(const char*, const Util::Value&)>& save) {
    if (FollowClock->isChecked() || followClockStored_) save(kFollowClock, std::int32_t{FollowClock->isChecked()});
    if (SustainHold->isChecked() || sustainHoldStored_) save(kSustainHold, std::int32_t{SustainHold->isChecked()});
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
    withEngine([this] {
        clock_.Reset();
        clockLost_ = false;
        stepsByTypedTempo(vlx->HostTime());
        showClock();
    });
}

void Form1::SustainHold_Click() {
    withEngine([this] {
        for (const auto& [chan, note] : latch_.Hold(SustainHold->isChecked())) Arp->Remove(chan, note);
    });
}

void Form1::AllNotesOff_Click() {
    withEngine([this] {
        if (Arp) stopEverything();
    });
}

// Runs `body` owning the engine; when a handler further down the stack owns
// it, from the event loop once it is free again.
void Form1::withEngine(std::function<void()> body) {
    if (unloaded_) return;
    if (++lBusy > 0) {
        --lBusy;
        QTimer::singleShot(1, this, [this, body = std::move(body)]() mutable {
            handleCall([&] { withEngine(std::move(body)); });
        });
        return;
    }
    struct Release {
        std::atomic<std::int32_t>& count;
        ~Release() { --count; }
    } release{lBusy};
    body();
}

// Nothing the pattern started sounds on, nothing is held, nothing is
// pending; arpeggiation stays on for the next chord.
void Form1::stopEverything() {
    Arp->StopPlay();
    Arp->RemoveAll();
    latch_.Forget();
}

void Form1::resetBand() {
    clock_.Reset();
    clockLost_ = false;
    latch_.ForgetAll();
    if (Arp) Arp->HoldSteps(false);
    showClock();
}

bool Form1::bandInput(std::int32_t lTime, std::int32_t status, std::int32_t data1, std::int32_t data2) {
    const auto chan = static_cast<std::uint8_t>(status & 0x0F);
    if ((status & 0xF0) == 0xB0) {
        if (data1 == 64) {
            for (const std::uint8_t note : latch_.Pedal(chan, data2)) Arp->Remove(chan, note);
            // Passed on, the pedal would sustain the arpeggio's own notes.
            return latch_.holding();
        }
        if (data1 == 120 || data1 == 123) stopEverything();  // All Sound Off, All Notes Off
        return false;
    }
    if (!FollowClock->isChecked()) return false;
    switch (status) {
    case 0xF8: clockTick(lTime); break;
    case 0xFA:
        clock_.Start(lTime);
        clockLost_ = false;
        Arp->HoldSteps(true);
        Arp->Retrigger(lTime);  // the first step falls on the next tick
        break;
    case 0xFB:
        clock_.Continue(lTime);
        clockLost_ = false;
        Arp->HoldSteps(true);
        break;
    case 0xFC:
        clock_.Stop();
        Arp->HoldSteps(true);
        Arp->StopPlay();
        break;
    case 0xF2: clock_.SongPosition((data2 & 0x7F) << 7 | (data1 & 0x7F)); break;
    default: return false;
    }
    showClock();
    return false;
}

std::int32_t Form1::ticksPerStep() const { return ClockFollower::TicksPerStep(Arp->Resolution()); }

std::int16_t Form1::typedPeriod() const { return Arpeggiator::CalcPeriod(nLastTempo, Arp->Resolution()); }

void Form1::clockTick(std::int32_t lTime) {
    const std::int32_t ticks = ticksPerStep();
    const bool step = clock_.Tick(lTime, ticks);
    clockLost_ = false;
    if (!Arp->StepsHeld()) Arp->HoldSteps(true);
    if (!step) return;
    // Until two ticks have been measured, a step is as long as the typed tempo makes it.
    const std::int16_t period = clock_.StepPeriod(ticks).value_or(typedPeriod());
    Arp->PlaceNextStep(lTime, period, Arpeggiator::CalcDuration(period, Arp->Sustain()));
}

// The pump's check, every pass: a running clock that has stopped arriving
// hands the pattern back to the typed tempo.
void Form1::followClockAt(std::int32_t lNow) {
    if (!FollowClock->isChecked()) return;
    if (!clock_.CheckLost(lNow, clock_.StepPeriod(ticksPerStep()).value_or(typedPeriod()))) return;
    clockLost_ = true;
    stepsByTypedTempo(lNow);
    showClock();
}

std::optional<std::int32_t> Form1::clockDeadline() const {
    if (!FollowClock->isChecked()) return std::nullopt;
    return clock_.LossDeadline(clock_.StepPeriod(ticksPerStep()).value_or(typedPeriod()));
}

// The pattern goes on from its next step, 5 ms from now, at the typed tempo.
void Form1::stepsByTypedTempo(std::int32_t lNow) {
    if (!Arp->StepsHeld()) return;
    Arp->Tempo(nLastTempo);
    Arp->PlaceNextStep(hosttime::after(lNow, 5), Arp->period(), Arp->Duration());
    Arp->HoldSteps(false);
}

// The tempo box shows the clock's tempo, read-only, while a clock is
// followed; the status line says when there is none.
void Form1::showClock() {
    const bool following = FollowClock->isChecked() && Enable->isChecked();
    const auto state = clock_.state();
    if (following && state != ClockFollower::State::Absent) {
        if (!clockShown()) {
            typedTempo_ = tempoRefused() ? QString::number(VScrollTempo->value()) : Tempo->text();
            Tempo->setReadOnly(true);
            VScrollTempo->setEnabled(false);
        }
        if (const auto bpm = clock_.Tempo()) {
            const QString text = QString::number(std::lround(*bpm));
            if (Tempo->text() != text) Tempo->setText(text);
        }
    } else if (clockShown()) {
        Tempo->setText(std::exchange(typedTempo_, QString()));
        Tempo->setReadOnly(false);
        VScrollTempo->setEnabled(true);
    }

    if (connectionLost_) return;  // that says more
    QString text = hostStatus_;
    QString tip = hostStatus_;
    if (following && state == ClockFollower::State::Stopped) {
        text = tr("MIDI clock stopped");
        tip = tr("The MIDI clock said Stop: the pattern waits for its Start or Continue");
    } else if (following && state == ClockFollower::State::Absent) {
        text = clockLost_ ? tr("MIDI clock lost") : tr("No MIDI clock");
        tip = tr("%1: playing at the typed tempo").arg(clockLost_ ? tr("The MIDI clock stopped arriving")
                                                                   : tr("No MIDI clock arrives at VLXArp:in"));
    }
    if (Status->text() != text) Status->setText(text);
    if (Status->toolTip() != tip) Status->setToolTip(tip);
}

}  // namespace vlx
