// Playing with a band, in the window on the scripted clock: following a MIDI
// clock, holding with the sustain pedal, all notes off, and the menu that
// switches them, reached with the player's own clicks and keys.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include <cmath>
#include <map>
#include <sstream>

#include "FormRig.h"

namespace vlx::test {
namespace {

struct Timed {
    std::int32_t at;
    int status, data1, data2;
};

// A clock script from 1000 ms, a token each: S Start, C Continue, P Stop,
// Q3 a Song Position of 3 16ths, K the chord 60 64 67, B90 the tempo (120
// at first), W400 a wait of so many ms, T25 so many ticks. Gives the input
// and each tick's time.
std::pair<std::vector<Timed>, std::vector<std::int32_t>> clockScript(const std::string& text) {
    std::vector<Timed> input;
    std::vector<std::int32_t> ticks;
    double t = 1000, bpm = 120;
    std::istringstream tokens(text);
    for (std::string token; tokens >> token;) {
        const int n = token.size() > 1 ? std::stoi(token.substr(1)) : 0;
        const auto at = [&] { return static_cast<std::int32_t>(std::lround(t)); };
        const std::map<char, int> status = {{'S', 0xFA}, {'C', 0xFB}, {'P', 0xFC}};
        if (status.count(token[0])) input.push_back({at(), status.at(token[0]), 0, 0});
        if (token[0] == 'Q') input.push_back({at(), 0xF2, n & 0x7F, n >> 7});
        if (token[0] == 'K')
            for (int key : {60, 64, 67}) input.push_back({at(), 0x90, key, 100});
        if (token[0] == 'B') bpm = n;
        if (token[0] == 'W') t += n;
        for (int k = 0; token[0] == 'T' && k < n; ++k, t += 2500.0 / bpm) {
            input.push_back({at(), 0xF8, 0, 0});
            ticks.push_back(at());
        }
    }
    return {input, ticks};
}

class BandTest : public FormRig {
protected:
    Form1& startFollowing() {
        store("Tempo", std::int32_t{60}, Util::TypeDword);  // typed: 16ths of 250 ms
        store("Resolution", std::string("16th"), Util::TypeText);
        store("Cycle", std::string("Up"), Util::TypeText);
        store("FollowClock", std::int32_t{1}, Util::TypeDword);
        Form1& f = start();
        f.Enable->setChecked(true);
        return f;
    }
    // Plays on the scripted clock, each input arriving at its host time (as
    // the host's event ends the window's idle wait), until the loop would
    // sleep past `limit`; `seen` runs at every wake-up.
    void play(const std::vector<Timed>& script, std::int32_t limit, const std::function<void()>& seen = {}) {
        std::size_t next = 0;
        form->setIdleWait([&](std::int32_t wakeAt) {
            if (next < script.size() && script[next].at <= wakeAt) {
                host->clock = std::max(host->clock, script[next].at);
                for (const std::int32_t at = script[next].at; next < script.size() && script[next].at == at; ++next)
                    host->Input(script[next].status, script[next].data1, script[next].data2);
            } else if (wakeAt > limit) {
                form->Enable->setChecked(false);
                return;
            } else {
                host->clock = wakeAt;
            }
            if (seen) seen();
        });
        form->Timer_Timer();
    }
    std::vector<std::pair<std::int32_t, int>> ons() const {
        std::vector<std::pair<std::int32_t, int>> out;
        for (const SentMessage& m : host->sent)
            if ((m.status & 0xF0) == 0x90) out.emplace_back(m.time, m.data1);
        return out;
    }
    // Every note-on is ended by one note-off before its pitch starts again,
    // nothing sounds at the end; how long each note sounded.
    std::vector<std::int32_t> lengths() const {
        std::map<int, std::int32_t> since;
        std::vector<std::int32_t> out;
        for (const SentMessage& m : host->sent) {
            if ((m.status & 0xF0) == 0x90) {
                EXPECT_FALSE(since.count(m.data1)) << m.data1 << " starts again at " << m.time;
                since[m.data1] = m.time;
            } else if ((m.status & 0xF0) == 0x80) {
                EXPECT_TRUE(since.count(m.data1)) << "an off for " << m.data1 << ", not sounding, at " << m.time;
                out.push_back(m.time - since[m.data1]);
                since.erase(m.data1);
            }
        }
        EXPECT_TRUE(since.empty()) << "left sounding";
        return out;
    }
    std::vector<int> held() const {
        std::vector<int> notes;
        const auto& ary = *form->engine()->NoteAry();
        for (std::int32_t i = 1; i <= ary.Count(); ++i) notes.push_back(ary.Item(i)->chan * 1000 + ary.Item(i)->Note);
        return notes;
    }
    void show(Form1& f) {
        f.show();
        QApplication::setActiveWindow(&f);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    }
};

// Which ticks carry steps, and where the pattern stands after Start,
// Continue, Stop and a Song Position; a tempo change; the clock lost and
// back. Each step goes out due on its tick's own millisecond.
TEST_F(BandTest, StepsComeOutOnTheirTicksThroughStartStopContinueSongPositionTempoAndLoss) {
    const std::string own = "Veloxa:1 Ver: Scripted 1.0";  // the status line's own text
    struct Case {
        const char* script;
        std::vector<std::int32_t> ons;  // below 1000 a tick's number, else a host time
        std::vector<int> pitches;
        std::int32_t second = 0, last = 0;  // how long these notes sound, when not 0
        const char* status = nullptr;       // said between two runs of the clock
    };
    const Case cases[] = {
        // 120 bpm: a 16th every 6 ticks, 125 ms; Normal sustain, 2/3 of it less 2.
        {"S K W10 T25", {0, 6, 12, 18, 24}, {60, 64, 67, 60, 64}, 81, 81},
        {"W10 T1 K T24", {6, 12, 18, 24}, {60, 64, 67, 60}},  // no Start; a chord waits for a step tick
        // Stop at 1202: the note of 1135 ends then.
        {"S K W10 T9 W5 P W400 C W10 T13", {0, 6, 12, 18}, {60, 64, 67, 60}, 67, 0, "MIDI clock stopped"},
        {"S K W10 T9 W5 P Q3 W400 C W10 T13", {0, 6, 9, 15, 21}, {60, 64, 67, 60, 64}, 67, 0, "MIDI clock stopped"},
        {"S K W10 T9 W5 S T16", {0, 6, 9, 15, 21}, {60, 64, 60, 64, 67}},  // Start again: the first step
        {"S K W10 T25 B90 T37", {0, 6, 12, 18, 24, 30, 36, 42, 48, 54, 60}, {60, 64, 67, 60, 64, 67, 60, 64, 67, 60, 64},
         81, 109},  // 2/3 of 167 ms, less 2
        // The last tick at 1260: lost from 1511, the next step 5 ms later at the
        // typed tempo, every 250 ms; the clock's first tick back carries a step.
        {"S K W10 T13 W819 T7", {0, 6, 12, 1516, 1766, 2016, 13, 19}, {60, 64, 67, 60, 64, 67, 60, 64}, 0, 0,
         "MIDI clock lost"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        host = std::make_shared<ScriptedHost>();
        host->clock = 1000;
        Form1& f = startFollowing();
        const auto [input, tickAt] = clockScript(c.script);
        std::vector<std::string> statuses = {f.Status->text().toStdString()};
        bool shown = false;
        play(input, input.back().at + 200, [&] {
            if (statuses.back() != f.Status->text().toStdString()) statuses.push_back(f.Status->text().toStdString());
            shown = shown || (f.Tempo->isReadOnly() && f.Tempo->text() == "120");
        });
        std::vector<std::pair<std::int32_t, int>> expected;
        for (std::size_t i = 0; i < c.ons.size(); ++i)
            expected.emplace_back(c.ons[i] < 1000 ? tickAt[static_cast<std::size_t>(c.ons[i])] : c.ons[i], c.pitches[i]);
        EXPECT_EQ(ons(), expected);
        std::vector<std::int32_t> dues;
        for (const HostCall& call : host->calls)
            if (call.member == "SendMidiMessageAt" && (call.args[2] & 0xF0) == 0x90) dues.push_back(call.args[0]);
        EXPECT_EQ(dues.size(), expected.size());
        for (std::size_t i = 0; i < std::min(dues.size(), expected.size()); ++i) EXPECT_EQ(dues[i], expected[i].first);
        const auto sounded = lengths();
        ASSERT_EQ(sounded.size(), expected.size());
        EXPECT_TRUE(!c.second || sounded[1] == c.second) << sounded[1];
        EXPECT_TRUE(!c.last || sounded.back() == c.last) << sounded.back();
        auto says = std::vector<std::string>{"No MIDI clock", own};
        if (c.status) says.insert(says.end(), {c.status, own});
        EXPECT_EQ(statuses, says);
        EXPECT_TRUE(shown) << "the tempo box shows the clock's tempo, read-only";
        EXPECT_EQ(f.Tempo->text(), "60") << "the typed tempo is back once arpeggiation is off";
        EXPECT_FALSE(f.Tempo->isReadOnly());
        form.reset();
    }
}

// Two channels, each with its own pedal: released keys stay while it is
// down, a key pressed once every key is up replaces the held chord, lifting
// it lets go of what is no longer down. Diverting and holding, the pedal is
// not passed on; a release whose press passed through still is, once.
TEST_F(BandTest, ThePedalHoldsAndReplacesChordsPerChannel) {
    store("SustainHold", std::int32_t{1}, Util::TypeDword);
    Form1& f = start();
    f.Divert->setChecked(true);
    f.Enable->setChecked(true);
    const std::vector<std::pair<Timed, std::vector<int>>> rows = {  // channel * 1000 + note held after each
        {{0, 0xB0, 64, 127}, {}},
        {{0, 0x90, 60, 100}, {60}},
        {{0, 0x90, 64, 100}, {60, 64}},
        {{0, 0x91, 48, 100}, {1048, 60, 64}},
        {{0, 0x80, 60, 0}, {1048, 60, 64}},
        {{0, 0x90, 64, 0}, {1048, 60, 64}},
        {{0, 0x81, 48, 0}, {60, 64}},  // channel 1's pedal is up
        {{0, 0x90, 67, 100}, {67}},    // every key was up: a new chord
        {{0, 0x90, 71, 100}, {67, 71}},
        {{0, 0x80, 67, 0}, {67, 71}},
        {{0, 0x90, 67, 100}, {67, 71}},  // held by the pedal alone: not twice
        {{0, 0xB1, 64, 100}, {67, 71}},
        {{0, 0x91, 50, 100}, {1050, 67, 71}},
        {{0, 0x81, 50, 0}, {1050, 67, 71}},
        {{0, 0x80, 71, 0}, {1050, 67, 71}},
        {{0, 0xB0, 64, 0}, {1050, 67}},  // 67 is still down
        {{0, 0x90, 72, 100}, {1050, 67, 72}},
        {{0, 0xB1, 64, 63}, {67, 72}},
        {{0, 0x80, 67, 0}, {72}},
    };
    for (const auto& [m, after] : rows) {
        host->Input(m.status, m.data1, m.data2);
        EXPECT_EQ(held(), after) << std::hex << m.status << std::dec << " " << m.data1 << " " << m.data2;
    }
    // A press the host passed through (not diverting yet) gets its release
    // once, when the key goes up, though the pedal holds it.
    f.Divert->setChecked(false);
    host->Input(0xB0, 64, 127);
    host->Input(0x90, 62, 100);
    f.Divert->setChecked(true);
    host->Input(0x80, 62, 0);
    host->Input(0xB0, 64, 0);
    EXPECT_EQ(held(), std::vector<int>{72});
    EXPECT_EQ(host->sent, (std::vector<SentMessage>{{1000, -1, 0x80, 62, 0}})) << "no pedal, one release";
    f.SustainHold->setChecked(false);  // off: whatever the pedals held goes
    host->Input(0xB0, 64, 127);
    host->Input(0x80, 72, 0);
    EXPECT_TRUE(held().empty());
}

// CC 123, CC 120, Escape and the menu entry while a note sounds and steps
// are pending, by the program's own time or placed by the clock: nothing is
// left sounding or held, arpeggiation stays on for the next chord, and the
// controller goes on as controllers do.
TEST_F(BandTest, AllNotesOffLeavesNothingSoundingAndKeepsArpeggiating) {
    struct Case {
        const char* what;
        bool clock;
        std::function<void(Form1&)> panic;
        std::vector<SentMessage> forwarded;
    };
    const auto escape = [](Form1& f) { QTest::keyClick(f.windowHandle(), Qt::Key_Escape); };
    const Case cases[] = {
        {"CC 123", false, [&](Form1&) { host->Input(0xB2, 123, 0); }, {{1336, -1, 0xB2, 123, 0}}},
        {"CC 120 with the clock", true, [&](Form1&) { host->Input(0xB0, 120, 0); }, {{1207, -1, 0xB0, 120, 0}}},
        {"Escape", false, escape, {}},
        {"Escape with the clock", true, escape, {}},
        {"the menu entry", false, [](Form1& f) { f.AllNotesOff->trigger(); }, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        host = std::make_shared<ScriptedHost>();
        host->clock = 1000;
        Form1& f = c.clock ? startFollowing() : start();
        f.Divert->setChecked(true);
        f.Enable->setChecked(true);
        show(f);
        bool done = false;
        play(clockScript(c.clock ? "K W1 T19" : "K").first, 1800, [&] {
            if (done || host->clock < 1200 || f.engine()->PlayQ()->Count() != 1) return;
            done = true;
            ASSERT_GT(f.engine()->NoteOnQ()->Count(), 0);
            c.panic(f);
            EXPECT_TRUE(f.engine()->IsEmpty());
            EXPECT_EQ(f.engine()->NoteOnQ()->Count() + f.engine()->NoteOffQ()->Count(), 0);
            EXPECT_TRUE(f.Enable->isChecked());
            host->Input(0x90, 72, 100);  // the next chord
        });
        ASSERT_TRUE(done);
        lengths();
        EXPECT_EQ(ons().back().second, 72) << "the next chord plays";
        std::vector<SentMessage> forwarded;
        std::copy_if(host->sent.begin(), host->sent.end(), std::back_inserter(forwarded),
                     [](const SentMessage& m) { return (m.status & 0xF0) == 0xB0; });
        EXPECT_EQ(forwarded, c.forwarded);
        form.reset();
    }
}

// The menu as the player reaches it: a right click on the window or on a
// control, the Menu key, Shift+F10; an entry chosen with the keys or a
// click; Escape closes it and does nothing else. A refused tempo is not left
// behind through it.
TEST_F(BandTest, TheMenuOpensFromTheMouseAndTheKeyboardAndItsEntriesSwitch) {
    Form1& f = start();
    show(f);
    QSignalSpy panics(f.AllNotesOff, &QAction::triggered);
    auto menu = [] { return qobject_cast<QMenu*>(QApplication::activePopupWidget()); };
    auto opened = [&](const std::function<void()>& open) {
        open();
        EXPECT_TRUE(QTest::qWaitFor([&] { return menu() != nullptr; }, 2000));
        return menu();
    };
    auto rightClick = [&](QPoint at) { QTest::mouseClick(f.windowHandle(), Qt::RightButton, {}, at); };
    auto keyOn = [&](QWidget* focus, Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
        focus->setFocus();
        QTest::keyClick(f.windowHandle(), key, modifiers);
    };
    const std::vector<std::tuple<const char*, std::function<void()>, const char*>> ways = {
        {"right click on the window", [&] { rightClick({300, 160}); }, "Menu"},
        {"right click on a list", [&] { rightClick(f.Cycle->geometry().center()); }, "Menu"},
        {"right click on the scroll bar", [&] { rightClick(f.VScrollTempo->geometry().center()); }, "Menu"},
        {"Menu key on Arpeggiate", [&] { keyOn(f.Enable, Qt::Key_Menu); }, "Menu"},
        {"Shift+F10 in the tempo box", [&] { keyOn(f.Tempo, Qt::Key_F10, Qt::ShiftModifier); }, "TempoMenu"},
    };
    for (const auto& [what, open, name] : ways) {
        SCOPED_TRACE(what);
        QMenu* m = opened(open);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->objectName().toStdString(), name);
        QStringList entries;
        for (QAction* a : m->actions())
            if (!a->isSeparator()) entries << a->text();
        EXPECT_EQ(entries.mid(entries.size() - 3), (QStringList{"Follow MIDI clock", "Hold with sustain pedal", "All notes off"}));
        QTest::keyClick(m, Qt::Key_Escape);
        EXPECT_TRUE(QTest::qWaitFor([&] { return menu() == nullptr; }, 2000));
    }
    EXPECT_EQ(panics.count(), 0);

    QMenu* m = opened([&] { keyOn(f.Enable, Qt::Key_F10, Qt::ShiftModifier); });
    ASSERT_NE(m, nullptr);
    QTest::keyClick(m, Qt::Key_Down);
    QTest::keyClick(m, Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([&] { return f.FollowClock->isChecked(); }, 2000));
    m = opened([&] { rightClick({300, 160}); });
    ASSERT_NE(m, nullptr);
    QTest::mouseClick(m, Qt::LeftButton, {}, m->actionGeometry(f.SustainHold).center());
    EXPECT_TRUE(QTest::qWaitFor([&] { return f.SustainHold->isChecked(); }, 2000));

    // The switch would change what the box shows: it does not move, the
    // player is told, the focus stays.
    f.Tempo->setFocus();
    f.Tempo->selectAll();
    QTest::keyClicks(f.Tempo, "300");
    m = opened([&] { QTest::keyClick(f.windowHandle(), Qt::Key_Menu); });
    ASSERT_NE(m, nullptr);
    QTest::mouseClick(m, Qt::LeftButton, {}, m->actionGeometry(f.FollowClock).center());
    settle();
    EXPECT_TRUE(f.FollowClock->isChecked());
    EXPECT_EQ(messages, std::vector<std::string>{"Value must be between 8 and 240"});
    EXPECT_EQ(f.focusWidget(), f.Tempo);
    EXPECT_EQ(f.Tempo->text(), "300");
}

// From the file or the command line; written when on or already in the
// file, so that an older file stays as it was. The typed tempo is saved
// while the clock's is shown.
TEST_F(BandTest, SwitchesComeFromTheFileOrTheCommandLineAndAreSavedOnlyWhenTheyMatter) {
    struct Case {
        std::map<std::string, std::int32_t> stored;
        CommandLineOptions options;
        std::vector<const char*> saved;
    };
    const auto switches = [](bool follow, bool hold) {
        CommandLineOptions options;
        options.followClock = follow;
        options.sustainHold = hold;
        return options;
    };
    const char* followOn = "\"FollowClock\"=dword:00000001";
    const char* holdOn = "\"SustainHold\"=dword:00000001";
    const Case cases[] = {
        {{}, {}, {}},
        {{{"FollowClock", 1}, {"SustainHold", 1}}, {}, {followOn, holdOn}},
        {{}, switches(true, true), {followOn, holdOn}},
        {{{"SustainHold", 0}}, switches(true, false), {followOn, "\"SustainHold\"=dword:00000000"}},
    };
    for (const Case& c : cases) {
        QFile::remove(Util::KeyFilePath(Form1::kKeyPath));
        store("Tempo", std::int32_t{60}, Util::TypeDword);
        for (const auto& [name, value] : c.stored) store(name.c_str(), value, Util::TypeDword);
        form = std::make_unique<Form1>([this] { return host; }, c.options);
        EXPECT_EQ(form->FollowClock->isChecked(), c.saved.size() > 0);
        EXPECT_EQ(form->SustainHold->isChecked(), c.saved.size() > 1 && c.saved[1] == holdOn);
        form->Enable->setChecked(true);
        host->Input(0xF8, 0, 0);
        host->clock += 25;
        host->Input(0xF8, 0, 0);  // 100 bpm
        EXPECT_EQ(form->Tempo->text(), form->FollowClock->isChecked() ? "100" : "60");
        form->endWithoutClose(false);  // as a signal ends it, the clock's tempo still shown
        const QString text = settingsText();
        EXPECT_TRUE(text.contains("\"Tempo\"=dword:0000003c")) << text.toStdString();
        EXPECT_EQ(text.count("FollowClock") + text.count("SustainHold"), static_cast<int>(c.saved.size()));
        for (const char* line : c.saved) EXPECT_TRUE(text.contains(line)) << line;
        form.reset();
    }
}

}  // namespace
}  // namespace vlx::test
