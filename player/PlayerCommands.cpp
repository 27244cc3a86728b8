// SPDX-License-Identifier: GPL-3.0-or-later
// What the owner and the bindings change: each control's behaviour when it
// is set, and the presets recalled.
#include "player/ControlCodes.h"
#include "player/Player.h"

namespace vlx {

using codes::voiceOf;

// ---- the owner's side ----

void Player::Set(Control control, std::int32_t value) { link_.Post({PlayerCommand::Kind::Set, control, value}); }

void Player::AllNotesOff() { link_.Post({PlayerCommand::Kind::AllNotesOff, Control::Arpeggiate, 0}); }

void Player::ReleasePassed() { link_.Post({PlayerCommand::Kind::ReleasePassed, Control::Arpeggiate, 0}); }

void Player::Recall(std::uint8_t program) { link_.Post({PlayerCommand::Kind::Recall, Control::Arpeggiate, program}); }

void Player::Learn(bool on) { link_.Post({PlayerCommand::Kind::Learn, Control::Arpeggiate, on ? 1 : 0}); }

// Each control's behaviour when the owner sets it.
void Player::apply(const PlayerCommand& command) {
    if (command.kind == PlayerCommand::Kind::AllNotesOff) {
        ringing_.EndAll(*Arp);
        return band_.StopEverything();
    }
    if (command.kind == PlayerCommand::Kind::ReleasePassed) return input_.ReleasePassed();
    if (command.kind == PlayerCommand::Kind::Recall) return recall(static_cast<std::uint8_t>(command.value));
    if (command.kind == PlayerCommand::Kind::Learn) return hands_.Learn(command.value != 0);
    const Control c = command.control;
    state_.controls[c] = command.value;
    const bool on = command.value != 0;
    switch (c) {
    case Control::Arpeggiate: Enable_Click(on); break;
    case Control::Divert: Divert_Click(); break;
    case Control::FollowClock: band_.FollowSwitched(vlx->HostTime()); break;
    case Control::SustainHold:
    case Control::Latch: band_.HoldSwitched(c, on); break;
    case Control::ShuffleEveryPass: Arp->ShuffleEveryPass(on); break;
    case Control::Tempo: tempoGiven_ = true; break;
    // What a step sends changes at once.
    case Control::Velocity:
    case Control::VelocityValue:
    case Control::AccentEvery:
    case Control::OutChannel: Arp->SetVoice(voiceOf(state_.controls)); break;
    // The lists and the pattern's shape reach the engine at its settings
    // poll; the split and the other switches are read where they matter.
    default: break;
    }
}

// ---- hands-free control ----

void Player::handsFree(const HandsFreeAction& action) {
    switch (action.kind) {
    case HandsFreeAction::Kind::Set:
        apply({PlayerCommand::Kind::Set, action.control, action.value});
        ++changedInCycle_;
        break;
    case HandsFreeAction::Kind::Recall: recall(action.program); break;
    case HandsFreeAction::Kind::Learnt: {
        PlayerReport r;
        r.kind = PlayerReport::Kind::Learnt;
        r.status = action.status;
        r.data1 = action.data1;
        link_.Report(r);
        break;
    }
    case HandsFreeAction::Kind::Pass:
    case HandsFreeAction::Kind::Taken: break;
    }
}

// Every control the preset sets, in the table's order. With the beat kept
// the pattern takes them at its next step, as it takes any setting; else
// it is laid out anew at once, and what sounds rings on to its end.
void Player::recall(std::uint8_t program) {
    const Preset* preset = hands_.PresetOf(program);
    if (!preset) return;
    for (const ControlInfo& info : Controls())
        if (preset->sets.test(static_cast<std::size_t>(info.id)) && preset->values[info.id] != state_.controls[info.id])
            apply({PlayerCommand::Kind::Set, info.id, preset->values[info.id]});
    ++changedInCycle_;
    PlayerReport r;
    r.kind = PlayerReport::Kind::Recalled;
    r.data1 = program;
    link_.Report(r);
    if (!state_.looping || state_.on(Control::KeepBeat)) return;
    BusyGuard busy(input_.lBusy);
    if (!busy.owns()) return;  // the next poll takes them
    ringing_.Take(*Arp);
    PollControls();
    ringing_.Shorten(Arp->Duration());
}

}  // namespace vlx
