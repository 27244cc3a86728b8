// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The window's hands-free control, on its second page: presets saved under
// a name and recalled from here or by Program Change, and MIDI learn, which
// binds a controller or a note to any control of the window. What it keeps
// lives in the settings file (Presets.h for the presets; the bindings and
// the Program Change channel as values of the program's own key); the
// player gets it all as one table (player/HandsFree.h).
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <QObject>
#include <QString>
#include <QStringList>

#include "app/Presets.h"
#include "app/Util.h"
#include "player/HandsFree.h"
#include "player/PlayerTypes.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPushButton;
class QSpinBox;
class QWidget;

namespace vlx {

class Form1;

class HandsFreePanel : public QObject {
public:
    using Tell = std::function<void(const QString&)>;
    using Save = std::function<void(const char*, const Util::Value&, std::int32_t)>;
    static constexpr const char* kChannelName = "ProgramChannel";

    // Its groups in a column of their own on the form's second page;
    // `tell` shows a message.
    HandsFreePanel(Form1& form, Tell tell);

    // What the settings hold, shown and handed to the player.
    void Start();
    // The player's reports.
    void Learnt(const PlayerReport& r);
    void Recalled(const PlayerReport& r);
    // The bindings and the Program Change channel, staged with the
    // settings at the close when they changed (under the file's lock).
    void StageSettings(const Save& save);
    // Learning for a control (a row of steps: one of its places).
    void Learn(Control c, int place = 0);

    // Presets.
    QComboBox* PresetList = nullptr;
    QLineEdit* PresetName = nullptr;
    QSpinBox* PresetProgram = nullptr;
    QPushButton* PresetRecall = nullptr;
    QPushButton* PresetSave = nullptr;
    QPushButton* PresetDelete = nullptr;
    QComboBox* ProgramChannel = nullptr;
    // MIDI learn.
    QComboBox* LearnControl = nullptr;
    QComboBox* LearnMode = nullptr;
    QPushButton* LearnButton = nullptr;
    QListWidget* BindingList = nullptr;
    QPushButton* BindingRemove = nullptr;
    QLabel* Said = nullptr;  // what was done last

    const std::vector<presets::Stored>& presets() const noexcept { return presets_; }
    const std::vector<Binding>& bindings() const noexcept { return bindings_; }

private:
    void build(QWidget* panel);
    void handOver();
    void showPresets(int program = -1);
    void showBindings();
    void presetChosen();
    void savePreset();
    void deletePreset();
    void recallPreset();
    void learnSwitched(bool on);
    void removeBinding();
    void say(const QString& text);
    int freeProgram() const;

    Form1& form_;
    Tell tell_;
    std::vector<presets::Stored> presets_;
    std::vector<Binding> bindings_;
    // Binding values the file holds that this program cannot read: left as they are.
    QStringList keptBindings_;
    bool bindingsChanged_ = false;
    int channel_ = HandsFreeTables::kNoChannel;
    bool channelFileHad_ = false;
    bool channelChanged_ = false;
    bool started_ = false;
};

// How a binding reads in the window: "CC 64, channel 1: Latch, toggles".
QString Describe(const Binding& b);

}  // namespace vlx
