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
    for (const ControlInfo& info : Controls()) {
        // The menu's switches are shown here too, as check boxes that follow
        // their entries both ways, so that they can be seen.
        const bool menuEntry = info.place == ControlPlace::Menu;
        if (info.place != ControlPlace::Panel && !menuEntry) continue;
        const std::string group = menuEntry ? "Band" : info.group ? info.group : "";
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
            auto* box = new QCheckBox(tr(info.label), Panel);
            box->setObjectName(QStringLiteral("Panel%1").arg(QString::fromLatin1(info.settingsName)));
            box->setToolTip(tr(info.help));
            auto* entry = qobject_cast<QAction*>(widget(info.id));
            connect(box, &QCheckBox::toggled, entry, &QAction::setChecked);
            connect(entry, &QAction::toggled, box, [box](bool on) {
                const QSignalBlocker quiet(box);
                box->setChecked(on);
            });
            form->addRow(box);
            continue;
        }
        QWidget* w = nullptr;
        switch (info.kind) {
        case ControlKind::Switch: w = new QCheckBox(tr(info.label), Panel); break;
        case ControlKind::List: w = new QComboBox(Panel); break;
        case ControlKind::Steps: w = new StepsEditor(info.steps, Panel); break;
        case ControlKind::Value:
            if (info.decimals > 0) {
                auto* box = new QDoubleSpinBox(Panel);
                box->setDecimals(info.decimals);
                box->setRange(ToNumber(info.id, info.minimum), ToNumber(info.id, info.maximum));
                w = box;
            } else {
                auto* box = new QSpinBox(Panel);
                box->setRange(info.minimum, info.maximum);
                const bool percent = info.unit && std::string_view(info.unit) == "pc";
                if (info.unit) box->setSuffix(percent ? QStringLiteral(" %") : QStringLiteral(" %1").arg(QString::fromLatin1(info.unit)));
                if (info.offText) box->setSpecialValueText(tr(info.offText));
                w = box;
            }
            break;
        }
        w->setObjectName(QString::fromLatin1(info.settingsName ? info.settingsName : info.option));
        w->setToolTip(tr(info.help));
        widgets_[static_cast<std::size_t>(info.id)] = w;
        if (info.kind == ControlKind::Switch) {
            form->addRow(w);
        } else {
            auto* label = new QLabel(tr(info.label), Panel);
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
    for (const ControlInfo& info : Controls()) {
        QObject* w = widget(info.id);
        if (!w) continue;  // not the window's
        const Control c = info.id;
        const auto changed = [this, c] { handleCall([this, c] { controlChanged(c); }); };
        if (auto* list = qobject_cast<QComboBox*>(w)) {
            for (const ControlChoice& choice : info.choices) list->addItem(QString::fromLatin1(choice.label), choice.code);
            connect(list, &QComboBox::currentIndexChanged, this, changed);
        } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            button->setCheckable(true);
            connect(button, &QAbstractButton::toggled, this, changed);
        } else if (auto* action = qobject_cast<QAction*>(w)) {
            connect(action, &QAction::toggled, this, changed);
        } else if (auto* slider = qobject_cast<QAbstractSlider*>(w)) {
            slider->setRange(info.minimum, info.maximum);
            connect(slider, &QAbstractSlider::valueChanged, this, changed);
        } else if (auto* spin = qobject_cast<QSpinBox*>(w)) {
            connect(spin, &QSpinBox::valueChanged, this, changed);
        } else if (auto* number = qobject_cast<QDoubleSpinBox*>(w)) {
            connect(number, &QDoubleSpinBox::valueChanged, this, changed);
        } else if (auto* steps = dynamic_cast<StepsEditor*>(w)) {
            steps->onChanged(changed);
        }
        if (auto* control = qobject_cast<QWidget*>(w); control && info.kind == ControlKind::Switch)
            control->setToolTip(tr(info.help));
    }
}

std::int32_t Form1::valueOf(Control c) const {
    QObject* w = widget(c);
    if (!w) return InfoOf(c).byDefault;
    switch (InfoOf(c).kind) {
    case ControlKind::Switch: return w->property("checked").toBool() ? 1 : 0;
    case ControlKind::List: return qobject_cast<QComboBox*>(w)->currentData().toInt();
    case ControlKind::Value:
        if (auto* spin = qobject_cast<QSpinBox*>(w)) return spin->value();
        if (auto* number = qobject_cast<QDoubleSpinBox*>(w))
            return static_cast<std::int32_t>(std::lround(number->value() * std::pow(10.0, InfoOf(c).decimals)));
        return qobject_cast<QAbstractSlider*>(w)->value();
    case ControlKind::Steps: return dynamic_cast<StepsEditor*>(w)->value();
    }
    return 0;
}

void Form1::setValue(Control c, std::int32_t value) {
    QObject* w = widget(c);
    if (!w) return;
    switch (InfoOf(c).kind) {
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
    for (const ControlInfo& info : Controls()) v[info.id] = valueOf(info.id);
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
    for (const ControlInfo& info : Controls()) {
        if (!info.settingsName) continue;
        const auto i = static_cast<std::size_t>(info.id);
        Util::Value value;
        const std::int32_t read = Util::GetKeyValue(kKeyPath, info.settingsName, value);
        fileHad_[i] = read == Util::Success || read == Util::OtherType;
        std::optional<std::int32_t> usable;
        if (read == Util::Success) usable = FromText(info.id, Util::ToText(value));
        if (fileHad_[i] && !usable)
            refused << QStringLiteral("%1 (%2)").arg(QString::fromLatin1(info.settingsName),
                                                     read == Util::Success ? QString::fromStdString(Util::ToText(value))
                                                                           : Util::Describe(read));
        stored_[info.id] = usable.value_or(info.byDefault);
        setValue(info.id, stored_[info.id]);
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
    for (const ControlInfo& info : Controls())
        if (const auto value = options_.of(info.id)) setValue(info.id, *value);
    wholeTempoUnlessExact();
    restoring_ = false;
}

// What the window shows, but for a control the command line set for this
// run and the user left alone: that keeps what the file had. A control the
// file lacked is written only when it differs from its default, or always
// is (an older file stays as it was).
void Form1::saveControls(const std::function<void(const char*, const Util::Value&, std::int32_t)>& save) {
    for (const ControlInfo& info : Controls()) {
        if (!info.settingsName) continue;
        const auto i = static_cast<std::size_t>(info.id);
        const bool shown = touched_[i] || !options_.of(info.id);
        const std::int32_t value = shown ? valueOf(info.id) : stored_[info.id];
        if (!fileHad_[i] && !info.alwaysSaved && value == info.byDefault) continue;
        const auto stored = Util::StoredForm(info, info.id == Control::Tempo && shown ? tempoToSave() : value);
        save(info.settingsName, stored.value, stored.type);
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
    for (const ControlInfo& info : Controls()) {
        const std::int32_t value = view.controls[info.id];
        if (!widget(info.id) || valueOf(info.id) == value) continue;
        if (info.id == Control::Tempo && clockShown()) {
            // The box shows the clock's tempo: the typed one waits behind it.
            typedTempo_ = QString::fromStdString(ToText(info.id, value));
            const QSignalBlocker quiet(VScrollTempo);
            VScrollTempo->setValue(value);
            touched_[static_cast<std::size_t>(info.id)] = true;
            continue;
        }
        setValue(info.id, value);
    }
}

}  // namespace vlx
