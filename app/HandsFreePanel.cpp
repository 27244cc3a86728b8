// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/HandsFreePanel.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>
#include <set>

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QVBoxLayout>

#include "app/Form1.h"
#include "app/LiveView.h"

namespace vlx {

namespace {

QString tr(const char* text) { return Form1::tr(text); }

// "Binding<n>", n from 1: its number.
std::optional<long> bindingNumber(const std::string& name) {
    constexpr std::string_view prefix = "binding";
    if (name.size() <= prefix.size() || name.size() > prefix.size() + 4) return std::nullopt;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(name[i])) != prefix[i]) return std::nullopt;
    long n = 0;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return std::nullopt;
        n = n * 10 + (name[i] - '0');
    }
    return n > 0 ? std::optional<long>(n) : std::nullopt;
}

QString folded(const std::string& name) { return QString::fromStdString(name).toCaseFolded(); }

// The Program Change channel as the settings keep it: Off, All, or 1 to 16.
std::string channelText(int channel) {
    if (channel == HandsFreeTables::kNoChannel) return "Off";
    if (channel == HandsFreeTables::kAnyChannel) return "All";
    return std::to_string(channel + 1);
}

std::optional<int> channelOf(const std::string& text) {
    for (int c = HandsFreeTables::kNoChannel; c <= HandsFreeTables::kAnyChannel; ++c)
        if (QString::fromStdString(channelText(c)).compare(QString::fromStdString(text), Qt::CaseInsensitive) == 0)
            return c;
    return std::nullopt;
}

bool sameSource(const Binding& a, const Binding& b) {
    return a.source == b.source && a.channel == b.channel && a.number == b.number;
}

QString controlName(Control c, int place) {
    const ControlInfo& info = InfoOf(c);
    QString name = tr(PlainLabel(info).c_str());
    if (info.kind == ControlKind::Steps) name += QStringLiteral(" %1").arg(place + 1);
    return name;
}

}  // namespace

QString Describe(const Binding& b) {
    const ControlInfo& info = InfoOf(b.control);
    const bool controller = b.source == Binding::Source::Controller;
    const QString source = controller ? QStringLiteral("CC %1").arg(b.number) : tr("Note %1").arg(NoteName(b.number));
    QString how;
    if (info.kind == ControlKind::Switch)
        how = b.mode == Binding::Mode::Toggle ? tr("toggles") : tr("while held");
    else
        how = controller ? tr("sweeps") : tr("steps on");
    return tr("%1, channel %2: %3, %4").arg(source).arg(b.channel + 1).arg(controlName(b.control, b.place), how);
}

HandsFreePanel::HandsFreePanel(Form1& form, Tell tell) : QObject(&form), form_(form), tell_(std::move(tell)) {
    build(form.Panel);
}

void HandsFreePanel::build(QWidget* panel) {
    auto* column = new QVBoxLayout;
    qobject_cast<QBoxLayout*>(panel->layout())->addLayout(column);

    auto* presetsBox = new QGroupBox(tr("Presets"), panel);
    auto* presetsForm = new QFormLayout(presetsBox);
    PresetList = new QComboBox(presetsBox);
    PresetList->setObjectName(QStringLiteral("PresetList"));
    PresetName = new QLineEdit(presetsBox);
    PresetName->setObjectName(QStringLiteral("PresetName"));
    PresetName->setMaxLength(64);
    PresetProgram = new QSpinBox(presetsBox);
    PresetProgram->setObjectName(QStringLiteral("PresetProgram"));
    PresetProgram->setRange(1, 128);
    PresetProgram->setToolTip(tr("The Program Change that recalls the preset"));
    auto* buttons = new QHBoxLayout;
    for (auto [button, name, text] : {std::tuple{&PresetRecall, "PresetRecall", "Recall"},
                                      std::tuple{&PresetSave, "PresetSave", "Save"},
                                      std::tuple{&PresetDelete, "PresetDelete", "Delete"}}) {
        *button = new QPushButton(tr(text), presetsBox);
        (*button)->setObjectName(QString::fromLatin1(name));
        buttons->addWidget(*button);
    }
    ProgramChannel = new QComboBox(presetsBox);
    ProgramChannel->setObjectName(QString::fromLatin1(kChannelName));
    ProgramChannel->addItem(tr("Off"), HandsFreeTables::kNoChannel);
    ProgramChannel->addItem(tr("Every channel"), HandsFreeTables::kAnyChannel);
    for (int c = 0; c < 16; ++c) ProgramChannel->addItem(tr("Channel %1").arg(c + 1), c);
    ProgramChannel->setToolTip(tr("Where a Program Change recalls the preset of its number"));
    presetsForm->addRow(tr("Preset:"), PresetList);
    presetsForm->addRow(tr("Name:"), PresetName);
    presetsForm->addRow(tr("Program:"), PresetProgram);
    presetsForm->addRow(buttons);
    presetsForm->addRow(tr("Program Change:"), ProgramChannel);

    auto* learnBox = new QGroupBox(tr("MIDI learn"), panel);
    auto* learnForm = new QFormLayout(learnBox);
    LearnControl = new QComboBox(learnBox);
    LearnControl->setObjectName(QStringLiteral("LearnControl"));
    for (const ControlInfo& info : Controls()) {
        if (!form_.widget(info.id)) continue;  // not the window's
        for (int place = 0; place < std::max(1, info.kind == ControlKind::Steps ? info.steps : 1); ++place)
            LearnControl->addItem(controlName(info.id, place), static_cast<int>(info.id) * 256 + place);
    }
    LearnMode = new QComboBox(learnBox);
    LearnMode->setObjectName(QStringLiteral("LearnMode"));
    LearnMode->addItem(tr("Toggles"), static_cast<int>(Binding::Mode::Toggle));
    LearnMode->addItem(tr("While held"), static_cast<int>(Binding::Mode::Momentary));
    LearnMode->setToolTip(tr("What a note or a pedal does to a switch: each press flips it, or it is on while held"));
    LearnButton = new QPushButton(tr("Learn"), learnBox);
    LearnButton->setObjectName(QStringLiteral("Learn"));
    LearnButton->setCheckable(true);
    BindingList = new QListWidget(learnBox);
    BindingList->setObjectName(QStringLiteral("Bindings"));
    BindingRemove = new QPushButton(tr("Remove"), learnBox);
    BindingRemove->setObjectName(QStringLiteral("BindingRemove"));
    Said = new QLabel(learnBox);
    Said->setObjectName(QStringLiteral("HandsFreeSaid"));
    Said->setWordWrap(true);
    learnForm->addRow(tr("Control:"), LearnControl);
    learnForm->addRow(tr("Switch:"), LearnMode);
    learnForm->addRow(LearnButton);
    learnForm->addRow(BindingList);
    learnForm->addRow(BindingRemove);
    learnForm->addRow(Said);
    column->addWidget(presetsBox);
    column->addWidget(learnBox);
    column->addStretch();

    const auto on = [this](auto body) { return [this, body](auto&&...) { form_.handleCall([&] { body(); }); }; };
    connect(PresetList, &QComboBox::activated, this, on([this] { presetChosen(); }));
    connect(PresetName, &QLineEdit::textEdited, this, on([this] {
                const auto same = std::find_if(presets_.begin(), presets_.end(), [&](const presets::Stored& p) {
                    return QString::fromStdString(p.name).compare(PresetName->text(), Qt::CaseInsensitive) == 0;
                });
                PresetProgram->setValue((same != presets_.end() ? same->program : std::max(freeProgram(), 0)) + 1);
            }));
    connect(PresetRecall, &QPushButton::clicked, this, on([this] { recallPreset(); }));
    connect(PresetSave, &QPushButton::clicked, this, on([this] { savePreset(); }));
    connect(PresetDelete, &QPushButton::clicked, this, on([this] { deletePreset(); }));
    connect(ProgramChannel, &QComboBox::activated, this, on([this] {
                channel_ = ProgramChannel->currentData().toInt();
                channelChanged_ = true;
                handOver();
            }));
    connect(LearnButton, &QPushButton::toggled, this, [this](bool down) { form_.handleCall([&] { learnSwitched(down); }); });
    connect(BindingRemove, &QPushButton::clicked, this, on([this] { removeBinding(); }));
}

void HandsFreePanel::Start() {
    QStringList refused;
    presets_ = presets::Load(refused);
    std::vector<std::pair<long, std::string>> numbered;
    for (const std::string& name : Util::ValueNames(Form1::kKeyPath))
        if (const auto n = bindingNumber(name)) numbered.emplace_back(*n, name);
    std::stable_sort(numbered.begin(), numbered.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [n, name] : numbered) {
        Util::Value value;
        const bool read = Util::GetKeyValue(Form1::kKeyPath, name, value) == Util::Success;
        const auto b = read ? BindingFromText(Util::ToText(value)) : std::nullopt;
        if (b && std::none_of(bindings_.begin(), bindings_.end(), [&](const Binding& x) { return sameSource(x, *b); }) &&
            bindings_.size() < HandsFreeTables::kMaxBindings) {
            bindings_.push_back(*b);
        } else {
            keptBindings_ << folded(name);
            refused << QStringLiteral("%1 (%2)").arg(QString::fromStdString(name), QString::fromStdString(Util::ToText(value)));
        }
    }
    Util::Value value;
    const std::int32_t read = Util::GetKeyValue(Form1::kKeyPath, kChannelName, value);
    channelFileHad_ = read == Util::Success || read == Util::OtherType;
    if (const auto c = read == Util::Success ? channelOf(Util::ToText(value)) : std::nullopt)
        channel_ = *c;
    else if (channelFileHad_)
        refused << QStringLiteral("%1 (%2)").arg(QString::fromLatin1(kChannelName), QString::fromStdString(Util::ToText(value)));
    {
        const QSignalBlocker quiet(ProgramChannel);
        ProgramChannel->setCurrentIndex(ProgramChannel->findData(channel_));
    }
    if (!refused.isEmpty())
        std::fprintf(stderr, "VLXArp: the settings file holds presets or bindings VLXArp cannot use, left as they are: %s\n",
                     qPrintable(refused.join(QStringLiteral(", "))));
    showPresets();
    showBindings();
    started_ = true;
    handOver();
    if (const QString problem = presets::WriteBundle(presets_); !problem.isEmpty())
        std::fprintf(stderr, "VLXArp: the presets for the LV2 plugin were not written: %s\n", qPrintable(problem));
}

// One table for the player, made here: the cycles never allocate.
void HandsFreePanel::handOver() {
    if (!started_ || !form_.player()) return;
    auto tables = std::make_unique<HandsFreeTables>();
    for (const Binding& b : bindings_) tables->Bind(b);
    for (const presets::Stored& p : presets_) tables->presets[p.program] = p.preset;
    tables->programChannel = channel_;
    if (!form_.player()->SetHandsFree(std::move(tables)))
        std::fprintf(stderr, "VLXArp: the player took no new bindings or presets: its MIDI system stands still\n");
}

void HandsFreePanel::showPresets(int program) {
    if (program < 0 && PresetList->currentIndex() >= 0) program = PresetList->currentData().toInt();
    const QSignalBlocker quiet(PresetList);
    PresetList->clear();
    for (const presets::Stored& p : presets_)
        PresetList->addItem(QStringLiteral("%1: %2").arg(p.program + 1).arg(QString::fromStdString(p.name)), p.program);
    PresetList->setCurrentIndex(std::max(0, PresetList->findData(program)));
    PresetRecall->setEnabled(!presets_.empty());
    PresetDelete->setEnabled(!presets_.empty());
    presetChosen();
}

void HandsFreePanel::showBindings() {
    BindingList->clear();
    for (const Binding& b : bindings_) BindingList->addItem(Describe(b));
    BindingRemove->setEnabled(!bindings_.empty());
}

void HandsFreePanel::presetChosen() {
    const int i = PresetList->currentIndex();
    if (i < 0 || static_cast<std::size_t>(i) >= presets_.size()) {
        PresetProgram->setValue(std::max(freeProgram(), 0) + 1);
        return;
    }
    PresetName->setText(QString::fromStdString(presets_[static_cast<std::size_t>(i)].name));
    PresetProgram->setValue(presets_[static_cast<std::size_t>(i)].program + 1);
}

int HandsFreePanel::freeProgram() const {
    for (int program = 0; program < 128; ++program)
        if (std::none_of(presets_.begin(), presets_.end(), [&](const presets::Stored& p) { return p.program == program; }))
            return program;
    return -1;
}

// What the window shows, under the name and number given: every control
// the settings keep.
void HandsFreePanel::savePreset() {
    const QString name = PresetName->text();
    if (const QString problem = presets::NameProblem(name); !problem.isEmpty()) return tell_(problem);
    const auto program = static_cast<std::uint8_t>(PresetProgram->value() - 1);
    presets::Stored s{name.toStdString(), program, {}};
    auto same = presets_.end();
    for (auto p = presets_.begin(); p != presets_.end(); ++p) {
        // Keys are named in any case: the file's own name stays.
        if (QString::fromStdString(p->name).compare(name, Qt::CaseInsensitive) == 0) {
            same = p;
            s.name = p->name;
        } else if (p->program == program) {
            return tell_(tr("Program %1 recalls the preset %2: choose another number")
                             .arg(program + 1)
                             .arg(QString::fromStdString(p->name)));
        }
    }
    const ControlValues shown = form_.values();
    for (const ControlInfo& info : Controls()) {
        if (!info.settingsName) continue;
        s.preset.sets.set(static_cast<std::size_t>(info.id));
        s.preset.values[info.id] = shown[info.id];
    }
    if (const auto unsaved = presets::Save(s); !unsaved.empty())
        return tell_(tr("The preset %1 was not saved: %2").arg(name, unsaved.front().reason));
    if (same != presets_.end()) presets_.erase(same);
    presets_.insert(std::upper_bound(presets_.begin(), presets_.end(), s,
                                     [](const presets::Stored& a, const presets::Stored& b) { return a.program < b.program; }),
                    s);
    showPresets(program);
    handOver();
    say(tr("Saved as program %1").arg(program + 1));
    if (const QString problem = presets::WriteBundle(presets_); !problem.isEmpty())
        say(tr("Saved, but not for the LV2 plugin: %1").arg(problem));
}

void HandsFreePanel::deletePreset() {
    const int i = PresetList->currentIndex();
    if (i < 0 || static_cast<std::size_t>(i) >= presets_.size()) return;
    const presets::Stored gone = presets_[static_cast<std::size_t>(i)];
    if (const std::int32_t error = presets::Remove(gone.name); error != Util::Success)
        return tell_(tr("The preset %1 was not deleted: %2").arg(QString::fromStdString(gone.name), Util::Describe(error)));
    presets_.erase(presets_.begin() + i);
    showPresets();
    handOver();
    say(tr("Deleted %1").arg(QString::fromStdString(gone.name)));
    presets::WriteBundle(presets_);
}

// As its Program Change would: in the player's cycle.
void HandsFreePanel::recallPreset() {
    const int i = PresetList->currentIndex();
    if (i < 0 || static_cast<std::size_t>(i) >= presets_.size() || !form_.player()) return;
    form_.player()->Recall(presets_[static_cast<std::size_t>(i)].program);
}

void HandsFreePanel::Recalled(const PlayerReport& r) {
    const auto p = std::find_if(presets_.begin(), presets_.end(), [&](const presets::Stored& s) { return s.program == r.data1; });
    if (p == presets_.end()) return;
    showPresets(p->program);
    say(tr("Recalled %1: %2").arg(p->program + 1).arg(QString::fromStdString(p->name)));
}

void HandsFreePanel::Learn(Control c, int place) {
    LearnControl->setCurrentIndex(std::max(0, LearnControl->findData(static_cast<int>(c) * 256 + place)));
    if (LearnButton->isChecked()) learnSwitched(true);  // another control
    LearnButton->setChecked(true);
}

void HandsFreePanel::learnSwitched(bool on) {
    if (form_.player()) form_.player()->Learn(on);
    if (on)
        say(tr("Move a controller, or press a key or a pedal, for %1").arg(LearnControl->currentText()));
    else
        say({});
}

void HandsFreePanel::Learnt(const PlayerReport& r) {
    // Given up meanwhile: the player lets the source go with the next table.
    if (!LearnButton->isChecked()) return handOver();
    {
        const QSignalBlocker quiet(LearnButton);  // the player has stopped learning
        LearnButton->setChecked(false);
    }
    Binding b;
    b.source = (r.status & 0xF0) == 0xB0 ? Binding::Source::Controller : Binding::Source::Note;
    b.channel = static_cast<std::uint8_t>(r.status & 0x0F);
    b.number = r.data1;
    b.control = static_cast<Control>(LearnControl->currentData().toInt() / 256);
    b.place = static_cast<std::uint8_t>(LearnControl->currentData().toInt() % 256);
    b.mode = static_cast<Binding::Mode>(LearnMode->currentData().toInt());
    std::erase_if(bindings_, [&](const Binding& x) { return sameSource(x, b); });
    if (bindings_.size() >= HandsFreeTables::kMaxBindings) {
        tell_(tr("At most %1 controllers and notes can be bound").arg(HandsFreeTables::kMaxBindings));
        return handOver();  // the learnt source is let go
    }
    bindings_.push_back(b);
    bindingsChanged_ = true;
    showBindings();
    BindingList->setCurrentRow(static_cast<int>(bindings_.size()) - 1);
    handOver();
    say(Describe(b));
}

void HandsFreePanel::removeBinding() {
    const int row = BindingList->currentRow();
    if (row < 0 || static_cast<std::size_t>(row) >= bindings_.size()) return;
    bindings_.erase(bindings_.begin() + row);
    bindingsChanged_ = true;
    showBindings();
    handOver();
}

// Numbered from 1, round the values left as they were; the list as a
// whole is this instance's, as the close's other values are.
void HandsFreePanel::StageSettings(const Save& save) {
    if (channelChanged_ && (channelFileHad_ || channel_ != HandsFreeTables::kNoChannel))
        save(kChannelName, channelText(channel_), Util::TypeText);
    if (!bindingsChanged_) return;
    std::set<QString> written;
    int n = 0;
    for (const Binding& b : bindings_) {
        std::string name;
        do name = "Binding" + std::to_string(++n);
        while (keptBindings_.contains(folded(name)));
        save(name.c_str(), BindingText(b), Util::TypeText);
        written.insert(folded(name));
    }
    for (const std::string& name : Util::ValueNames(Form1::kKeyPath))
        if (bindingNumber(name) && !written.contains(folded(name)) && !keptBindings_.contains(folded(name)))
            Util::DeleteKeyValue(Form1::kKeyPath, name);
}

void HandsFreePanel::say(const QString& text) {
    Said->setText(text);
    Said->setToolTip(text);
}

}  // namespace vlx
