// SPDX-License-Identifier: GPL-3.0-or-later
// The window's controls as the control table describes them: each one's
// widget, its value, its reaction to a change, and what the settings file
// and the command line give it.
#include <algorithm>
#include <memory>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QElapsedTimer>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTimer>

#include "model/Checked.h"

#include "app/Form1.h"
#include "app/WindowControls.h"

namespace vlx {

// The table's second-page controls, by group, in two columns.
void Form1::createPanel() {
    Panel = new QWidget(this);
    Panel->setObjectName(QStringLiteral("Panel"));
    auto* columns = new QHBoxLayout(Panel);
    QVBoxLayout* column[2] = {new QVBoxLayout, new QVBoxLayout};
    for (QVBoxLayout* c : column) columns->addLayout(c);
    std::vector<std::pair<std::string, QFormLayout*>> groups;
    for (const ControlSpec& spec : Controls()) {
        // The menu's switches are shown here too, as check boxes that follow
        // their entries both ways, so that they can be seen.
        const bool menuEntry = spec.place == ControlPlace::Menu;
        if (spec.place != ControlPlace::Panel && !menuEntry) continue;
        const std::string group = menuEntry ? "Band" : spec.group ? spec.group : "";
        auto found = std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == group; });
        if (found == groups.end()) {
            auto* box = new QGroupBox(tr(group.c_str()), Panel);
            box->setObjectName(QString::fromStdString(group));
            groups.emplace_back(group, new QFormLayout(box));
            column[(groups.size() - 1) % 2]->addWidget(box);
            found = groups.end() - 1;
        }
        QFormLayout* form = found->second;
        if (menuEntry) {
            auto* box = new QCheckBox(tr(spec.label), Panel);
            box->setObjectName(QStringLiteral("Panel%1").arg(QString::fromLatin1(spec.settingsName)));
            box->setToolTip(tr(spec.help));
            auto* entry = qobject_cast<QAction*>(widget(spec.id));
            connect(box, &QCheckBox::toggled, entry, &QAction::setChecked);
            connect(entry, &QAction::toggled, box, [box](bool on) {
                const QSignalBlocker quiet(box);
                box->setChecked(on);
            });
            form->addRow(box);
            continue;
        }
        QWidget* w = nullptr;
        switch (spec.kind) {
        case ControlKind::Switch: w = new QCheckBox(tr(spec.label), Panel); break;
        case ControlKind::List: w = new QComboBox(Panel); break;
        case ControlKind::Steps: w = new StepsEditor(spec.steps, Panel); break;
        case ControlKind::Value:
            if (spec.decimals > 0) {
                auto* box = new QDoubleSpinBox(Panel);
                box->setDecimals(spec.decimals);
                box->setRange(ToNumber(spec.id, spec.minimum), ToNumber(spec.id, spec.maximum));
                w = box;
            } else {
                auto* box = new QSpinBox(Panel);
                box->setRange(spec.minimum, spec.maximum);
                const bool percent = spec.unit && std::string_view(spec.unit) == "pc";
                if (spec.unit) box->setSuffix(percent ? QStringLiteral(" %") : QStringLiteral(" %1").arg(QString::fromLatin1(spec.unit)));
                if (spec.offText) box->setSpecialValueText(tr(spec.offText));
                w = box;
            }
            break;
        }
        w->setObjectName(QString::fromLatin1(spec.settingsName ? spec.settingsName : spec.option));
        w->setToolTip(tr(spec.help));
        widgets_[static_cast<std::size_t>(spec.id)] = w;
        if (spec.kind == ControlKind::Switch) {
            form->addRow(w);
        } else {
            auto* label = new QLabel(tr(spec.label), Panel);
            label->setBuddy(w);
            form->addRow(label, w);
        }
    }
    // Tap tempo, with the tempo's own controls' group.
    if (auto* time = Panel->findChild<QGroupBox*>(QStringLiteral("Time"))) {
        auto* tap = new QPushButton(tr("Ta&p tempo"), Panel);
        tap->setObjectName(QStringLiteral("Tap"));
        tap->setToolTip(tr("Four taps a beat apart set the tempo (also Ctrl+T)"));
        qobject_cast<QFormLayout*>(time->layout())->addRow(tap);
        auto* clock = new QElapsedTimer;
        clock->start();
        const auto tapped = [this, clock = std::shared_ptr<QElapsedTimer>(clock)] {
            handleCall([this, clock] { Tap(clock->elapsed()); });
        };
        connect(tap, &QPushButton::clicked, this, tapped);
        auto* key = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_T), this);
        connect(key, &QShortcut::activated, this, tapped);
    }
    for (QVBoxLayout* c : column) c->addStretch();
    Panel->hide();
    More->setVisible(!groups.empty());
    connect(More, &QPushButton::toggled, this, [this](bool on) { handleCall([this, on] { showPanel(on); }); });
}

// Beside the first page, which keeps its size and places.
void Form1::showPanel(bool shown) {
    const QSize first = twipsSize();
    More->setText(shown ? tr("L&ess \u25C2") : tr("Mor&e \u25B8"));
    if (!shown) {
        Panel->hide();
        setFixedSize(first);
        return;
    }
    const QSize wanted = Panel->sizeHint();
    Panel->setGeometry(first.width(), 0, wanted.width(), std::max(wanted.height(), first.height()));
    Panel->show();
    setFixedSize(first.width() + wanted.width(), std::max(first.height(), wanted.height()));
}

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
        } else if (auto* spin = qobject_cast<QSpinBox*>(w)) {
            connect(spin, &QSpinBox::valueChanged, this, changed);
        } else if (auto* number = qobject_cast<QDoubleSpinBox*>(w)) {
            connect(number, &QDoubleSpinBox::valueChanged, this, changed);
        } else if (auto* steps = dynamic_cast<StepsEditor*>(w)) {
            steps->onChanged(changed);
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
    case ControlKind::Value:
        if (auto* spin = qobject_cast<QSpinBox*>(w)) return spin->value();
        if (auto* number = qobject_cast<QDoubleSpinBox*>(w))
            return static_cast<std::int32_t>(std::lround(number->value() * std::pow(10.0, SpecOf(c).decimals)));
        return qobject_cast<QAbstractSlider*>(w)->value();
    case ControlKind::Steps: return dynamic_cast<StepsEditor*>(w)->value();
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
        if (auto* spin = qobject_cast<QSpinBox*>(w))
            spin->setValue(value);
        else if (auto* number = qobject_cast<QDoubleSpinBox*>(w))
            number->setValue(ToNumber(c, value));
        else
            qobject_cast<QAbstractSlider*>(w)->setValue(value);
        break;
    case ControlKind::Steps: dynamic_cast<StepsEditor*>(w)->setValue(value); break;
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
    case Control::ExactSteps:
        if (!restoring_) wholeTempoUnlessExact();
        if (player_ && !unloaded_) player_->Set(c, valueOf(c));
        break;
    default:
        // The window's own (CloseOnExit) too: the player holds every control.
        if (c == Control::CloseOnExit) CloseOnExit_Click();
        if (player_ && !unloaded_ && !fromPlayer_) player_->Set(c, valueOf(c));
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
    wholeTempoUnlessExact();
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

// Whole bpm without exact steps: a tenth (stored, given on the command
// line, typed before) is rounded, half to even.
void Form1::wholeTempoUnlessExact() {
    if (valueOf(Control::ExactSteps) == 0 && VScrollTempo->value() % 10 != 0)
        VScrollTempo->setValue(static_cast<int>(checked::roundHalfEven(VScrollTempo->value() / 10.0)) * 10);
}

// For this run: the settings keep what the file had, unless the user
// changes the control in the window.
void Form1::applyCommandLine() {
    restoring_ = true;
    for (const ControlSpec& spec : Controls())
        if (const auto value = options_.of(spec.id)) setValue(spec.id, *value);
    wholeTempoUnlessExact();
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
        const auto stored = Util::StoredForm(spec, spec.id == Control::Tempo && shown ? tempoToSave() : value);
        save(spec.settingsName, stored.value, stored.type);
    }
}

// A view from before the window's last change took effect would undo that
// change in the window: it waits for one that has it.
void Form1::showChangedInCycle() {
    if (!player_ || unloaded_) return;
    const PlayerView& view = player_->View();
    if (view.changedInCycle == changedShown_) return;
    if (view.commandsTaken != player_->Posted()) {
        QTimer::singleShot(5, this, [this] { handleCall([this] { showChangedInCycle(); }); });
        return;
    }
    changedShown_ = view.changedInCycle;
    struct Showing {
        bool& flag;
        ~Showing() { flag = false; }
    } showing{fromPlayer_ = true};
    for (const ControlSpec& spec : Controls()) {
        const std::int32_t value = view.controls[spec.id];
        if (!widget(spec.id) || valueOf(spec.id) == value) continue;
        if (spec.id == Control::Tempo && clockShown()) {
            // The box shows the clock's tempo: the typed one waits behind it.
            typedTempo_ = QString::fromStdString(ToText(spec.id, value));
            const QSignalBlocker quiet(VScrollTempo);
            VScrollTempo->setValue(value);
            touched_[static_cast<std::size_t>(spec.id)] = true;
            continue;
        }
        setValue(spec.id, value);
    }
}

}  // namespace vlx
