// SPDX-License-Identifier: GPL-3.0-or-later
// The window's controls as the control table describes them: each one's
// widget, its value, its reaction to a change, and what the settings file
// and the command line give it.
#include <cstdio>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>

#include "app/Form1.h"

namespace vlx {

void Form1::registerControls() {
    const std::pair<Control, QObject*> own[] = {
        {Control::Tempo, VScrollTempo},    {Control::Octaves, Octaves},   {Control::Resolution, Resolution},
        {Control::Sustain, Sustain},       {Control::Cycle, Cycle},       {Control::Divert, Divert},
        {Control::CloseOnExit, CloseOnExit}, {Control::Retrigger, Retrigger}, {Control::Latch, Latch},
        {Control::Arpeggiate, Enable}};
    for (const auto& [c, w] : own) widgets_[static_cast<std::size_t>(c)] = w;
    for (const ControlSpec& spec : Controls()) {
        QObject* w = widget(spec.id);
        if (!w) continue;  // not the window's
        const Control c = spec.id;
        const auto changed = [this, c] { handleCall([this, c] { controlChanged(c); }); };
        if (auto* list = qobject_cast<QComboBox*>(w)) {
            for (const ControlChoice& choice : spec.choices) list->addItem(QString::fromLatin1(choice.label), choice.code);
            connect(list, &QComboBox::currentIndexChanged, this, changed);
        } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            button->setCheckable(true);
            connect(button, &QAbstractButton::toggled, this, changed);
        } else if (auto* action = qobject_cast<QAction*>(w)) {
            connect(action, &QAction::toggled, this, changed);
        } else if (auto* slider = qobject_cast<QAbstractSlider*>(w)) {
            slider->setRange(spec.minimum, spec.maximum);
            connect(slider, &QAbstractSlider::valueChanged, this, changed);
        }
        if (auto* control = qobject_cast<QWidget*>(w); control && spec.kind == ControlKind::Switch)
            control->setToolTip(tr(spec.help));
    }
}

std::int32_t Form1::valueOf(Control c) const {
    QObject* w = widget(c);
    if (!w) return SpecOf(c).byDefault;
    switch (SpecOf(c).kind) {
    case ControlKind::Switch: return w->property("checked").toBool() ? 1 : 0;
    case ControlKind::List: return qobject_cast<QComboBox*>(w)->currentData().toInt();
    case ControlKind::Value: return qobject_cast<QAbstractSlider*>(w)->value();
    }
    return 0;
}

void Form1::setValue(Control c, std::int32_t value) {
    QObject* w = widget(c);
    if (!w) return;
    switch (SpecOf(c).kind) {
    case ControlKind::Switch: w->setProperty("checked", value != 0); break;
    case ControlKind::List: {
        auto* list = qobject_cast<QComboBox*>(w);
        list->setCurrentIndex(list->findData(value));
        break;
    }
    case ControlKind::Value:
        // The box shows the value even when the scroll bar already holds it.
        if (c == Control::Tempo) Tempo->setText(QString::fromStdString(ToText(c, value)));
        qobject_cast<QAbstractSlider*>(w)->setValue(value);
        break;
    }
}

ControlValues Form1::values() const {
    ControlValues v;
    for (const ControlSpec& spec : Controls()) v[spec.id] = valueOf(spec.id);
    return v;
}

void Form1::controlChanged(Control c) {
    if (!restoring_) touched_[static_cast<std::size_t>(c)] = true;
    switch (c) {
    case Control::Arpeggiate: return Enable_Click();
    case Control::Divert: return Divert_Click();
    case Control::FollowClock: return FollowClock_Click();
    case Control::Tempo: return VScrollTempo_Change();
    default:
        // The window's own (CloseOnExit) too: the player holds every control.
        if (c == Control::CloseOnExit) CloseOnExit_Click();
        if (player_ && !unloaded_) player_->Set(c, valueOf(c));
    }
}

// A value there but unusable is said once, as an unreadable file is, and
// its control starts at its default.
void Form1::restoreControls() {
    restoring_ = true;
    QStringList refused;
    for (const ControlSpec& spec : Controls()) {
        if (!spec.settingsName) continue;
        const auto i = static_cast<std::size_t>(spec.id);
        Util::Value value;
        const std::int32_t read = Util::GetKeyValue(kKeyPath, spec.settingsName, value);
        fileHad_[i] = read == Util::Success || read == Util::OtherType;
        std::optional<std::int32_t> usable;
        if (read == Util::Success) usable = FromText(spec.id, Util::ToText(value));
        if (fileHad_[i] && !usable)
            refused << QStringLiteral("%1 (%2)").arg(QString::fromLatin1(spec.settingsName),
                                                     read == Util::Success ? QString::fromStdString(Util::ToText(value))
                                                                           : Util::Describe(read));
        stored_[spec.id] = usable.value_or(spec.byDefault);
        setValue(spec.id, stored_[spec.id]);
    }
    restoring_ = false;
    if (refused.isEmpty()) return;
    const QString text = tr("The settings file %1 holds values VLXArp cannot use: %2. They start at their "
                            "defaults and are written over at the close.")
                             .arg(Util::KeyFilePath(kKeyPath), refused.join(QStringLiteral(", ")));
    std::fprintf(stderr, "VLXArp: %s\n", qPrintable(text));
    // After the start has shown the host in the status line.
    QMetaObject::invokeMethod(
        this,
        [this, text] {
            if (connectionLost_) return;  // that says more
            Status->setText(tr("Stored settings refused"));
            Status->setToolTip(text);
        },
        Qt::QueuedConnection);
}

// For this run: the settings keep what the file had, unless the user
// changes the control in the window.
void Form1::applyCommandLine() {
    restoring_ = true;
    for (const ControlSpec& spec : Controls())
        if (const auto value = options_.of(spec.id)) setValue(spec.id, *value);
    restoring_ = false;
}

// What the window shows, but for a control the command line set for this
// run and the user left alone: that keeps what the file had. A control the
// file lacked is written only when it differs from its default, or always
// is (an older file stays as it was).
void Form1::saveControls(const std::function<void(const char*, const Util::Value&, std::int32_t)>& save) {
    for (const ControlSpec& spec : Controls()) {
        if (!spec.settingsName) continue;
        const auto i = static_cast<std::size_t>(spec.id);
        const bool shown = touched_[i] || !options_.of(spec.id);
        const std::int32_t value = shown ? valueOf(spec.id) : stored_[spec.id];
        if (!fileHad_[i] && !spec.alwaysSaved && value == spec.byDefault) continue;
        if (spec.id == Control::Tempo)
            save(spec.settingsName, shown ? tempoToSave() : Util::Value(value), Util::TypeDword);
        else if (spec.kind == ControlKind::List)
            save(spec.settingsName, ToText(spec.id, value), Util::TypeText);
        else
            save(spec.settingsName, value, Util::TypeDword);
    }
}

}  // namespace vlx
