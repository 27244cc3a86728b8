// SPDX-License-Identifier: GPL-3.0-or-later
// Every control of the control table, set through each front: the window
// (with real input), the command line, the settings file and the LV2 port,
// a controller bound to it in the window and a preset made there. Each must
// give the player the same controls; the command line's value is the run's
// alone, the window's is kept, and so is what a binding or a preset gave it.
#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include <QListWidget>

#include "FormRig.h"
#include "app/CommandLine.h"
#include "app/HandsFreePanel.h"
#include "lv2/Ports.h"
#include "lv2/PresetTurtle.h"
#ifdef VLX_TEST_LILV
#include <lilv/lilv.h>
#include <lv2/core/lv2.h>
#include <lv2/presets/presets.h>
#endif

namespace vlx::test {
namespace {

class ControlTableTest : public FormRig {
protected:
    Form1& startWith(const CommandLineOptions& options = {}) {
        form = std::make_unique<Form1>([this] { return host; }, options);
        form->setMessageBox([this](const QString& text) { messages.push_back(text.toStdString()); });
        form->show();
        QApplication::setActiveWindow(form.get());
        EXPECT_TRUE(QTest::qWaitForWindowActive(form.get()));
        return *form;
    }
    // The player's controls once it has taken what the window handed it.
    ControlValues played() {
        host->Run(2);
        EXPECT_TRUE(form->player()->Settled());
        return form->player()->controls();
    }
    // What the settings file holds of a control after the close, as its text.
    std::string savedOf(const ControlInfo& info) {
        form->endWithoutClose(false);
        form.reset();
        Util::Value value;
        if (Util::GetKeyValue(Form1::kKeyPath, info.settingsName, value) != Util::Success) return "none";
        return Util::ToText(value);
    }
    // The control's widget changed as a player would change it.
    void setInWindow(Form1& f, const ControlInfo& info, std::int32_t value) {
        QObject* w = f.widget(info.id);
        if (info.place == ControlPlace::Panel && !f.Panel->isVisible()) QTest::mouseClick(f.More, Qt::LeftButton);
        if (const auto steps = w->findChildren<QPushButton*>(); info.kind == ControlKind::Steps) {
            // Each place clicked on until it shows what it should.
            for (int i = 0; i < info.steps; ++i)
                for (int clicks = 0; clicks < static_cast<int>(StepAt(value, i)); ++clicks)
                    QTest::mouseClick(steps[i], Qt::LeftButton);
        } else if (auto* spin = qobject_cast<QAbstractSpinBox*>(w)) {
            spin->setFocus();
            spin->selectAll();
            QTest::keyClicks(spin, QString::fromStdString(ToText(info.id, value)));
            QTest::keyClick(spin, Qt::Key_Return);
        } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            QTest::mouseClick(button, Qt::LeftButton);
        } else if (auto* entry = qobject_cast<QAction*>(w)) {
            f.Menu->popup(f.mapToGlobal(QPoint(10, 10)));
            ASSERT_TRUE(QTest::qWaitForWindowExposed(f.Menu));
            QTest::mouseClick(f.Menu, Qt::LeftButton, {}, f.Menu->actionGeometry(entry).center());
        } else if (auto* list = qobject_cast<QComboBox*>(w)) {
            list->setFocus();
            QTest::keyClicks(list, QString::fromStdString(ToText(info.id, value)));
        } else if (info.id == Control::Tempo) {
            f.Tempo->setFocus();
            f.Tempo->selectAll();
            QTest::keyClicks(f.Tempo, QString::fromStdString(ToText(info.id, value)));
            QTest::keyClick(f.Tempo, Qt::Key_Return);
        } else {
            FAIL() << "no way to set " << info.label << " in the window";
        }
        settle();
    }
};

#ifdef VLX_TEST_LILV
// The port values of the user's preset `label` as an LV2 host finds them:
// the plugin's bundle and the user's presets loaded, the presets related
// to the plugin searched by label; empty when there is none.
std::optional<std::array<float, lv2::kPortCount>> pluginPreset(const std::string& label) {
    LilvWorld* world = lilv_world_new();
    for (const std::string& dir : {std::string(VLX_LV2_BUNDLE), presets::BundlePath().toStdString()}) {
        LilvNode* bundle = lilv_new_file_uri(world, nullptr, (dir + "/").c_str());
        lilv_world_load_bundle(world, bundle);
        lilv_node_free(bundle);
    }
    LilvNode* uri = lilv_new_uri(world, VLX_LV2_URI);
    LilvNode* presetClass = lilv_new_uri(world, LV2_PRESETS__Preset);
    LilvNode* labelOf = lilv_new_uri(world, LILV_NS_RDFS "label");
    LilvNode* portOf = lilv_new_uri(world, LV2_CORE__port);
    LilvNode* symbolOf = lilv_new_uri(world, LV2_CORE__symbol);
    LilvNode* valueOf = lilv_new_uri(world, LV2_PRESETS__value);
    std::optional<std::array<float, lv2::kPortCount>> found;
    const LilvPlugin* plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
    LilvNodes* related = plugin ? lilv_plugin_get_related(plugin, presetClass) : nullptr;
    LILV_FOREACH (nodes, i, related) {
        const LilvNode* preset = lilv_nodes_get(related, i);
        lilv_world_load_resource(world, preset);
        LilvNode* name = lilv_world_get(world, preset, labelOf, nullptr);
        if (name && label == lilv_node_as_string(name)) {
            found.emplace();
            found->fill(-1);  // a port the preset leaves alone
            LilvNodes* ports = lilv_world_find_nodes(world, preset, portOf, nullptr);
            LILV_FOREACH (nodes, p, ports) {
                LilvNode* symbol = lilv_world_get(world, lilv_nodes_get(ports, p), symbolOf, nullptr);
                LilvNode* value = lilv_world_get(world, lilv_nodes_get(ports, p), valueOf, nullptr);
                for (const ControlInfo& info : Controls())
                    for (int place = 0; place < static_cast<int>(lv2::PortsOf(info)); ++place)
                        if (symbol && value && lv2::PortSymbol(info, place) == lilv_node_as_string(symbol))
                            (*found)[info.lv2Index + static_cast<lv2::Port>(place)] = lilv_node_as_float(value);
                lilv_node_free(symbol);
                lilv_node_free(value);
            }
            lilv_nodes_free(ports);
        }
        lilv_node_free(name);
    }
    lilv_nodes_free(related);
    for (LilvNode* n : {uri, presetClass, labelOf, portOf, symbolOf, valueOf}) lilv_node_free(n);
    lilv_world_free(world);
    return found;
}
#endif

// A value other than the default: on, another entry, the middle of the range.
std::int32_t otherValue(const ControlInfo& info) {
    switch (info.kind) {
    case ControlKind::Switch: return 1;
    case ControlKind::List:
        for (const ControlChoice& choice : info.choices)
            if (choice.code != info.byDefault) return choice.code;
        break;
    case ControlKind::Value: return (info.minimum + info.maximum) / 2;
    case ControlKind::Steps:
        return WithStep(WithStep(info.byDefault, 1, StepState::Rest), info.steps - 1, StepState::Tie);
    }
    return info.byDefault;
}

TEST_F(ControlTableTest, EveryFrontGivesThePlayerTheSameValueAndOnlyTheWindowsIsKept) {
    for (const ControlInfo& info : Controls()) {
        SCOPED_TRACE(info.label);
        const std::int32_t value = otherValue(info);
        ASSERT_NE(value, info.byDefault);
        ControlValues expected;
        expected[info.id] = value;
        const std::string text = ToText(info.id, value);

        // The window: the value is the player's, and kept.
        QFile::remove(Util::KeyFilePath(Form1::kKeyPath));
        Form1& f = startWith();
        if (info.place != ControlPlace::None) {
            setInWindow(f, info, value);
            EXPECT_EQ(played(), expected) << "through the window";
        } else {
            EXPECT_EQ(f.widget(info.id), nullptr) << "the plugin's alone";
        }
        if (info.settingsName) {
            // Kept as a preset too, beside the settings and for the plugin.
            f.Hands->PresetName->setText("Take 1");
            QTest::mouseClick(f.Hands->PresetSave, Qt::LeftButton);
            EXPECT_EQ(savedOf(info), text) << "the window's choice is kept";
            Util::Value kept;
            EXPECT_EQ(Util::GetKeyValue(std::string(presets::kKeyPath) + "\\Take 1", info.settingsName, kept), Util::Success);
            EXPECT_EQ(Util::ToText(kept), text) << "in the preset";
#ifdef VLX_TEST_LILV
            const auto ports = pluginPreset("Take 1");
            ASSERT_TRUE(ports.has_value()) << "the plugin offers the preset";
            std::array<const float*, lv2::kPortCount> given{};
            for (lv2::Port p = lv2::Out + 1; p < lv2::kPortCount; ++p)
                if ((*ports)[p] >= 0) given[p] = &(*ports)[p];
            std::uint32_t refused = 0;
            EXPECT_EQ(lv2::ReadControls(given, ControlValues{}, refused), info.lv2Symbol ? expected : ControlValues{})
                << "through the plugin's preset";
#endif
            // Recalled by its Program Change in a window started without the value.
            EXPECT_EQ(Util::DeleteKeyValue(Form1::kKeyPath, info.settingsName), Util::Success);
            store(HandsFreePanel::kChannelName, std::string("All"), Util::TypeText);
            Form1& again = startWith();
            host->Play({0xC0, 0});
            EXPECT_EQ(played(), expected) << "through the preset";
            settle();
            EXPECT_EQ(again.values(), played()) << "the window shows it";
            EXPECT_EQ(savedOf(info), text) << "and keeps it";
        } else {
            form.reset();
        }

        // A controller bound to it in the window: moved all the way up, it
        // sets the last entry, the largest value, the first place tied or
        // the switch on.
        if (info.place != ControlPlace::None) {
            QFile::remove(Util::KeyFilePath(Form1::kKeyPath));
            Form1& w = startWith();
            QTest::mouseClick(w.More, Qt::LeftButton);
            w.Hands->LearnControl->setCurrentIndex(w.Hands->LearnControl->findData(static_cast<int>(info.id) * 256));
            QTest::mouseClick(w.Hands->LearnButton, Qt::LeftButton);
            host->Play({0xB0, 20, 0});
            played();
            settle();
            ASSERT_EQ(w.Hands->bindings().size(), 1u);
            // A value whose largest is its default (the split's top key) is swept down instead.
            const bool down = info.kind == ControlKind::Value && info.maximum == info.byDefault;
            host->Play({0xB0, 20, static_cast<std::uint8_t>(down ? 0 : 127)});
            ControlValues swept;
            swept[info.id] = info.kind == ControlKind::Switch ? 1
                             : info.kind == ControlKind::List  ? info.choices.back().code
                             : info.kind == ControlKind::Value ? (down ? info.minimum : info.maximum)
                                                               : WithStep(info.byDefault, 0, StepState::Tie);
            EXPECT_EQ(played(), swept) << "through a binding";
            settle();
            EXPECT_EQ(w.values(), swept) << "the window shows it";
            const Binding learnt = w.Hands->bindings().front();
            if (info.settingsName) {
                EXPECT_EQ(savedOf(info), ToText(info.id, swept[info.id])) << "and keeps it";
            } else {
                form->endWithoutClose(false);
                form.reset();
            }
            startWith();
            EXPECT_EQ(form->Hands->bindings(), std::vector<Binding>{learnt}) << "the binding is kept";
            form.reset();
        }

        // The command line: the player's for this run; the file keeps its own.
        if (info.option) {
        QFile::remove(Util::KeyFilePath(Form1::kKeyPath));
        const QString option = QStringLiteral("--%1").arg(QString::fromLatin1(info.option));
        QStringList line = {"vlxarp"};
        line << (info.kind == ControlKind::Switch ? option : option + "=" + QString::fromStdString(text));
        const CommandLine parsed = ParseCommandLine(line);
        ASSERT_TRUE(parsed.run) << parsed.text.toStdString();
        startWith(parsed.options);
        EXPECT_EQ(played(), expected) << "through the command line";
        if (info.settingsName) {
            const std::string kept = info.alwaysSaved ? ToText(info.id, info.byDefault) : "none";
            EXPECT_EQ(savedOf(info), kept) << "the command line's value is the run's";
        } else {
            form.reset();
        }
        }

        // The settings file.
        if (info.settingsName) {
            QFile::remove(Util::KeyFilePath(Form1::kKeyPath));
            if (info.kind == ControlKind::List || info.kind == ControlKind::Steps || info.decimals > 0)
                store(info.settingsName, text, Util::TypeText);
            else
                store(info.settingsName, value, Util::TypeDword);
            startWith();
            EXPECT_EQ(played(), expected) << "through the settings file";
            EXPECT_TRUE(messages.empty());
            form.reset();
        }

        // The plugin's port, read by the same rules.
        if (info.lv2Symbol) {
            std::array<const float*, lv2::kPortCount> ports{};
            const float number = static_cast<float>(ToNumber(info.id, value));
            std::array<float, 16> places{};  // a row of steps: a port a place
            for (int i = 0; i < info.steps; ++i) {
                places[static_cast<std::size_t>(i)] = static_cast<float>(StepAt(value, i));
                ports[info.lv2Index + static_cast<lv2::Port>(i)] = &places[static_cast<std::size_t>(i)];
            }
            if (info.kind != ControlKind::Steps) ports[info.lv2Index] = &number;
            std::uint32_t refused = 0;
            EXPECT_EQ(lv2::ReadControls(ports, ControlValues{}, refused), expected) << "through the plugin's port";
            EXPECT_EQ(refused, 0u);
        }
    }
}

// One rule rounds and checks a value, whichever front gives it: halves go
// to the even neighbour, the range is checked before rounding, and what
// is refused is refused everywhere alike.
TEST(ControlRules, EveryFrontRoundsAndChecksAValueByTheSameRule) {
    struct Row {
        double given;
        std::optional<std::int32_t> tempo;
    } const rows[] = {{120.5, 1205}, {121.45, 1214}, {239.5, 2395}, {8.4, 84}, {7.9, std::nullopt}, {240.2, std::nullopt}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.given);
        EXPECT_EQ(Accept(Control::Tempo, row.given), row.tempo);
        std::array<const float*, lv2::kPortCount> ports{};
        const auto port = static_cast<float>(row.given);
        ports[lv2::PortOf(Control::Tempo)] = &port;
        std::uint32_t refused = 0;
        ControlValues before;
        before[Control::Tempo] = 1000;
        EXPECT_EQ(lv2::ReadControls(ports, before, refused)[Control::Tempo], row.tempo.value_or(1000))
            << "the plugin keeps what it had when refused";
        EXPECT_EQ(refused, row.tempo ? 0u : 1u);
        const CommandLine parsed = ParseCommandLine({"vlxarp", "--tempo=" + QString::number(row.given)});
        EXPECT_EQ(parsed.run, row.tempo.has_value()) << parsed.text.toStdString();
        if (parsed.run) {
            EXPECT_EQ(parsed.options.of(Control::Tempo), row.tempo);
        } else {
            EXPECT_TRUE(parsed.text.contains("Value must be between 8 and 240"));
        }
    }
    // A list takes the nearest code from a port, an entry by its label from a
    // file, in any case from the command line.
    EXPECT_EQ(Accept(Control::Resolution, 2.7), 2);
    EXPECT_EQ(FromText(Control::Resolution, "16th"), 2);
    EXPECT_EQ(FromText(Control::Resolution, "16TH"), std::nullopt);
    EXPECT_EQ(ParseCommandLine({"vlxarp", "--resolution=16TH"}).options.of(Control::Resolution), 2);
    EXPECT_FALSE(ParseCommandLine({"vlxarp", "--cycle=Sideways"}).run);
    EXPECT_EQ(FromText(Control::Divert, "2"), std::nullopt) << "a switch is 0 or 1";
}

}  // namespace
}  // namespace vlx::test
