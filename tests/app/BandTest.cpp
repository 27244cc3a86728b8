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

#include "FormRig.h"
#include "model/HostTime.h"

namespace vlx::test {
namespace {

struct Timed {
    std::int32_t at;
    int status, data1, data2;
};

// The ticks of a clock at `bpm`, the first at `from`, on whole host ms.
std::vector<Timed> ticks(double bpm, std::int32_t from, int count, int firstIndex = 0) {
    std::vector<Timed> out;
    for (int k = firstIndex; k < firstIndex + count; ++k)
        out.push_back({from + static_cast<std::int32_t>(std::lround((k - firstIndex) * 2500.0 / bpm)), 0xF8, 0, 0});
    return out;
}

class BandTest : public FormRig {
protected:
    Form1& startFollowing(const char* resolution = "16th") {
        store("Tempo", std::int32_t{60}, Util::TypeDword);  // typed: 16ths of 250 ms
        store("Resolution", std::string(resolution), Util::TypeText);
        store("Cycle", std::string("Up"), Util::TypeText);
        store("FollowClock", std::int32_t{1}, Util::TypeDword);
        Form1& f = start();
        f.Enable->setChecked(true);
        return f;
    }
    // Plays on the scripted clock, each input arriving at its host time (as
    // the host's event ends the window's idle wait), until the loop would
    // sleep past `limit`. `seen` runs at every wake-up.
    void play(std::vector<Timed> script, std::int32_t limit, const std::function<void(std::int32_t)>& seen = {}) {
        std::stable_sort(script.begin(), script.end(), [](const Timed& a, const Timed& b) { return a.at < b.at; });
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
            if (seen) seen(host->clock);
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
    // and nothing sounds at the end; returns how long each note sounded.
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
};

// Which ticks carry steps and where the pattern stands after Start,
// Continue, Stop and a Song Position; a tempo change; the clock lost and
// back. Each step goes out on its tick's own millisecond, due then.
TEST_F(BandTest, StepsComeOutOnTheirTicksThroughStartStopContinueSongPositionTempoAndLoss) {
    const std::vector<Timed> chord = {{1000, 0x90, 60, 100}, {1000, 0x90, 64, 100}, {1000, 0x90, 67, 100}};
    auto with = [&](std::vector<Timed> a, const std::vector<Timed>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const auto bar = ticks(120, 1010, 25);  // 120 bpm: a 16th every 6 ticks, 125 ms
    const std::int32_t stopAt = bar[8].at + 5, goOn = stopAt + 400;
    struct Case {
        const char* what;
        std::vector<Timed> script;
        std::vector<std::pair<std::int32_t, int>> ons;
        // When not 0: how long the second and the last note sound.
        std::int32_t second = 0, last = 0;
        // When not empty: the status line's texts in turn.
        std::vector<std::string> statuses = {};
    };
    const std::string own = "Veloxa:1 Ver: Scripted 1.0";  // the status line's own text
    const auto after = ticks(120, goOn + 10, 13, 9);  // the clock goes on after Continue
    const auto slow = ticks(90, bar[24].at + 28, 37, 25);  // 90 bpm from the bar's last tick
    const Case cases[] = {
        {"Start, then ticks: a step on every 6th, the first on the first tick",
         with(with({{1000, 0xFA, 0, 0}}, chord), bar),
         {{1010, 60}, {1135, 64}, {1260, 67}, {1385, 60}, {1510, 64}},
         // Normal sustain: 2/3 of the measured 125 ms, less 2.
         81, 81, {"No MIDI clock", own}},
        {"ticks without Start: the first one starts the count; a chord on the next step tick",
         with(std::vector<Timed>(bar.begin(), bar.begin() + 1),
              with({{1010, 0x90, 60, 100}, {1010, 0x90, 64, 100}, {1010, 0x90, 67, 100}},
                   std::vector<Timed>(bar.begin() + 1, bar.end()))),
         {{1135, 60}, {1260, 64}, {1385, 67}, {1510, 60}}},
        {"Stop silences and pauses, Continue goes on in the song and in the pattern",
         with(with(with({{1000, 0xFA, 0, 0}}, chord), std::vector<Timed>(bar.begin(), bar.begin() + 9)),
              with({{stopAt, 0xFC, 0, 0}, {goOn, 0xFB, 0, 0}}, after)),
         {{1010, 60}, {1135, 64}, {after[3].at, 67}, {after[9].at, 60}},
         stopAt - 1135, 0, {"No MIDI clock", own, "MIDI clock stopped", own}},
        {"a Song Position of 3 16ths (18 ticks) before Continue: a step on the next tick",
         with(with(with({{1000, 0xFA, 0, 0}}, chord), std::vector<Timed>(bar.begin(), bar.begin() + 9)),
              with({{stopAt, 0xFC, 0, 0}, {stopAt + 1, 0xF2, 3, 0}, {goOn, 0xFB, 0, 0}}, after)),
         {{1010, 60}, {1135, 64}, {after[0].at, 67}, {after[6].at, 60}, {after[12].at, 64}}},
        {"Start again mid-pattern: the first step on the next tick",
         with(with(with({{1000, 0xFA, 0, 0}}, chord), std::vector<Timed>(bar.begin(), bar.begin() + 9)),
              with({{stopAt, 0xFA, 0, 0}}, std::vector<Timed>(bar.begin() + 9, bar.end()))),
         {{1010, 60}, {1135, 64}, {bar[9].at, 60}, {bar[15].at, 64}, {bar[21].at, 67}}},
        {"120 then 90 bpm: the steps follow the ticks",
         with(with(with({{1000, 0xFA, 0, 0}}, chord), bar), slow),
         {{1010, 60}, {1135, 64}, {1260, 67}, {1385, 60}, {1510, 64}, {slow[5].at, 67}, {slow[11].at, 60},
          {slow[17].at, 64}, {slow[23].at, 67}, {slow[29].at, 60}, {slow[35].at, 64}},
         81, 109},  // 2/3 of 167 ms, less 2
        {"lost after two steps without a tick, on at the typed tempo; back, followed again",
         with(with(with({{1000, 0xFA, 0, 0}}, chord), std::vector<Timed>(bar.begin(), bar.begin() + 13)),
              ticks(120, 2100, 7)),
         // The last tick at 1260: lost from 1511, the next step 5 ms later,
         // then every 250 ms; the clock's first tick back carries a step.
         {{1010, 60}, {1135, 64}, {1260, 67}, {1516, 60}, {1766, 64}, {2016, 67}, {2100, 60}, {2225, 64}},
         0, 0, {"No MIDI clock", own, "MIDI clock lost", own}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        host = std::make_shared<ScriptedHost>();
        host->clock = 1000;
        Form1& f = startFollowing();
        std::vector<std::string> statuses = {f.Status->text().toStdString()};
        bool readOnlyAt120 = false;
        play(c.script, c.script.back().at + 200, [&](std::int32_t) {
            if (statuses.empty() || statuses.back() != f.Status->text().toStdString())
                statuses.push_back(f.Status->text().toStdString());
            readOnlyAt120 = readOnlyAt120 || (f.Tempo->isReadOnly() && f.Tempo->text() == "120");
        });
        EXPECT_EQ(ons(), c.ons);
        // Each step due on its tick's millisecond, so the host can place it there.
        std::vector<std::int32_t> dues, onTimes;
        for (const HostCall& call : host->calls)
            if (call.member == "SendMidiMessageAt" && (call.args[2] & 0xF0) == 0x90) dues.push_back(call.args[0]);
        for (const auto& [t, note] : c.ons) onTimes.push_back(t);
        EXPECT_EQ(dues, onTimes);
        const auto sounded = lengths();
        ASSERT_EQ(sounded.size(), c.ons.size());
        if (c.second) {
            EXPECT_EQ(sounded[1], c.second);
        }
        if (c.last) {
            EXPECT_EQ(sounded.back(), c.last);
        }
        if (!c.statuses.empty()) {
            EXPECT_EQ(statuses, c.statuses);
        }
        EXPECT_TRUE(readOnlyAt120) << "the tempo box shows the clock's tempo, read-only";
        EXPECT_FALSE(f.Tempo->isReadOnly());
        EXPECT_EQ(f.Tempo->text(), "60") << "the typed tempo is back once arpeggiation is off";
        form.reset();
    }
}

TEST_F(BandTest, TheTypedTempoIsKeptAndSavedWhileTheClocksTempoIsShown) {
    Form1& f = startFollowing();
    host->Input(0xF8, 0, 0);
    host->clock += 25;
    host->Input(0xF8, 0, 0);  // 100 bpm
    EXPECT_EQ(f.Tempo->text(), "100");
    EXPECT_TRUE(f.Tempo->isReadOnly());
    EXPECT_FALSE(f.VScrollTempo->isEnabled());
    bool cancel = true;
    f.Tempo_Validate(cancel);
    EXPECT_FALSE(cancel) << "nobody typed the clock's tempo";
    EXPECT_EQ(f.engine()->Tempo(), 60);
    f.FollowClock->setChecked(false);
    EXPECT_EQ(f.Tempo->text(), "60");
    EXPECT_FALSE(f.Tempo->isReadOnly());
    f.FollowClock->setChecked(true);
    host->Input(0xF8, 0, 0);
    host->clock += 25;
    host->Input(0xF8, 0, 0);
    EXPECT_EQ(f.Tempo->text(), "100");
    f.endWithoutClose(false);  // as a signal ends it, the clock's tempo still shown
    EXPECT_TRUE(settingsText().contains("\"Tempo\"=dword:0000003c")) << settingsText().toStdString();
    EXPECT_TRUE(settingsText().contains("\"FollowClock\"=dword:00000001"));
}

// Two channels, each with its own pedal: released keys stay while it is
// down, a key pressed once every key is up replaces the held chord, lifting
// it lets go of what is no longer down. The pedal is not passed on while
// the program diverts and holds; releases whose press passed through still
// reach the output once.
TEST_F(BandTest, ThePedalHoldsAndReplacesChordsPerChannel) {
    store("SustainHold", std::int32_t{1}, Util::TypeDword);
    Form1& f = start();
    f.Divert->setChecked(true);
    f.Enable->setChecked(true);
    struct Row {
        int status, data1, data2;
        std::vector<int> held;  // channel * 1000 + note, in pitch order
    };
    const Row rows[] = {
        {0xB0, 64, 127, {}},
        {0x90, 60, 100, {60}},
        {0x90, 64, 100, {60, 64}},
        {0x91, 48, 100, {1048, 60, 64}},
        {0x80, 60, 0, {1048, 60, 64}},
        {0x80, 64, 0, {1048, 60, 64}},
        {0x81, 48, 0, {60, 64}},          // channel 1's pedal is up
        {0x90, 67, 100, {67}},            // every key was up: a new chord
        {0x90, 71, 100, {67, 71}},
        {0x80, 67, 0, {67, 71}},
        {0x90, 67, 100, {67, 71}},        // held by the pedal alone: not twice
        {0xB1, 64, 100, {67, 71}},
        {0x91, 50, 100, {1050, 67, 71}},
        {0x81, 50, 0, {1050, 67, 71}},
        {0x80, 71, 0, {1050, 67, 71}},
        {0xB0, 64, 0, {1050, 67}},        // 67 is still down
        {0x90, 72, 100, {1050, 67, 72}},
        {0xB1, 64, 63, {67, 72}},
        {0x80, 67, 0, {72}},
    };
    for (const Row& r : rows) {
        host->Input(r.status, r.data1, r.data2);
        EXPECT_EQ(held(), r.held) << std::hex << r.status << " " << std::dec << r.data1 << " " << r.data2;
    }
    for (const SentMessage& m : host->sent) EXPECT_NE(m.status & 0xF0, 0xB0) << "the pedal was passed on";

    // Not diverting, the host passes the pedal; switched off, the hold lets go.
    host->clearLog();
    f.Divert->setChecked(false);
    host->Input(0xB0, 64, 127);
    host->Input(0x80, 72, 0);
    EXPECT_EQ(held(), std::vector<int>{72});
    f.SustainHold->setChecked(false);
    EXPECT_TRUE(held().empty());
    EXPECT_TRUE(host->sent.empty());

    // A press that passed through (not diverted) is released once, at the
    // key's release, though the pedal keeps it in the pattern.
    f.SustainHold->setChecked(true);
    host->Input(0x90, 62, 100);
    f.Divert->setChecked(true);
    host->clearLog();
    host->Input(0x80, 62, 0);
    host->Input(0xB0, 64, 0);
    EXPECT_EQ(std::count(host->sent.begin(), host->sent.end(), SentMessage{1000, -1, 0x80, 62, 0}), 1);
    EXPECT_TRUE(held().empty());
}

// CC 123, CC 120, Escape and the menu entry, while steps are pending, by the
// program's own time or placed by the clock: nothing is left sounding,
// nothing is held, arpeggiation stays on for the next chord, and the
// controller goes on as controllers do.
TEST_F(BandTest, AllNotesOffLeavesNothingSoundingAndKeepsArpeggiating) {
    struct Case {
        const char* what;
        bool clock;
        std::function<void(Form1&)> panic;
        std::vector<int> forwarded;  // controller numbers
    };
    const Case cases[] = {
        {"CC 123", false, [&](Form1&) { host->Input(0xB2, 123, 0); }, {123}},
        {"CC 120, steps placed by the clock", true, [&](Form1&) { host->Input(0xB0, 120, 0); }, {120}},
        {"Escape", false, [&](Form1& f) { QTest::keyClick(f.windowHandle(), Qt::Key_Escape); }, {}},
        {"Escape, steps placed by the clock", true,
         [&](Form1& f) { QTest::keyClick(f.windowHandle(), Qt::Key_Escape); }, {}},
        {"the menu entry", false, [&](Form1& f) { f.AllNotesOff->trigger(); }, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        host = std::make_shared<ScriptedHost>();
        host->clock = 1000;
        Form1& f = c.clock ? startFollowing() : start();
        f.Divert->setChecked(true);
        f.Enable->setChecked(true);
        f.show();
        QApplication::setActiveWindow(&f);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
        std::vector<Timed> script = {{1000, 0x90, 60, 100}, {1000, 0x91, 64, 100}, {1000, 0x90, 67, 100}};
        if (c.clock) script = [&] {
            auto s = ticks(120, 1001, 19);
            s.insert(s.begin(), script.begin(), script.end());
            return s;
        }();
        bool done = false;
        play(script, 1800, [&](std::int32_t t) {
            // While a note sounds and the next step is pending.
            if (!done && t >= 1200 && f.engine()->PlayQ()->Count() == 1) {
                done = true;
                ASSERT_GT(f.engine()->NoteOnQ()->Count(), 0);
                c.panic(f);
                EXPECT_TRUE(f.engine()->IsEmpty());
                EXPECT_EQ(f.engine()->NoteOnQ()->Count() + f.engine()->NoteOffQ()->Count(), 0);
                EXPECT_TRUE(f.Enable->isChecked());
                host->Input(0x90, 72, 100);  // the next chord
            }
        });
        EXPECT_TRUE(done);
        lengths();
        EXPECT_FALSE(ons().empty());
        EXPECT_EQ(ons().back().second, 72) << "the next chord plays";
        std::vector<int> forwarded;
        for (const SentMessage& m : host->sent)
            if ((m.status & 0xF0) == 0xB0) forwarded.push_back(m.data1);
        EXPECT_EQ(forwarded, c.forwarded);
        form.reset();
    }
}

// The menu as the player reaches it: a right click on the window or on a
// control, the Menu key, Shift+F10; an entry chosen with the keys or a
// click. The tempo box's own menu carries the entries below its own.
TEST_F(BandTest, TheMenuOpensFromTheMouseAndTheKeyboardAndItsEntriesSwitch) {
    Form1& f = start();
    f.show();
    QApplication::setActiveWindow(&f);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    QSignalSpy panics(f.AllNotesOff, &QAction::triggered);
    auto openMenu = [&] { return QApplication::activePopupWidget() ? qobject_cast<QMenu*>(QApplication::activePopupWidget()) : nullptr; };
    auto waitMenu = [&] {
        EXPECT_TRUE(QTest::qWaitFor([&] { return openMenu() != nullptr; }, 2000));
        return openMenu();
    };
    auto closeMenu = [&](QMenu* m) {
        QTest::keyClick(m, Qt::Key_Escape);
        EXPECT_TRUE(QTest::qWaitFor([&] { return openMenu() == nullptr; }, 2000));
    };
    struct Way {
        const char* what;
        std::function<void()> open;
        const char* menu;
    };
    const Way ways[] = {
        {"right click on the window", [&] { QTest::mouseClick(f.windowHandle(), Qt::RightButton, {}, QPoint(300, 160)); }, "Menu"},
        {"right click on the Cycle list",
         [&] { QTest::mouseClick(f.windowHandle(), Qt::RightButton, {}, f.Cycle->geometry().center()); }, "Menu"},
        {"right click on the scroll bar",
         [&] { QTest::mouseClick(f.windowHandle(), Qt::RightButton, {}, f.VScrollTempo->geometry().center()); }, "Menu"},
        {"Menu key on the Arpeggiate button", [&] {
             f.Enable->setFocus();
             QTest::keyClick(f.windowHandle(), Qt::Key_Menu);
         }, "Menu"},
        {"Shift+F10 in the tempo box", [&] {
             f.Tempo->setFocus();
             QTest::keyClick(f.windowHandle(), Qt::Key_F10, Qt::ShiftModifier);
         }, "TempoMenu"},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.what);
        way.open();
        QMenu* m = waitMenu();
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->objectName().toStdString(), way.menu);
        QStringList entries;
        for (QAction* a : m->actions())
            if (!a->isSeparator()) entries << a->text();
        EXPECT_EQ(entries.mid(entries.size() - 3),
                  (QStringList{"Follow MIDI clock", "Hold with sustain pedal", "All notes off"}))
            << entries.join('|').toStdString();
        closeMenu(m);
        EXPECT_FALSE(f.FollowClock->isChecked()) << "Escape closed the menu and nothing else";
    }

    EXPECT_EQ(panics.count(), 0);

    // Chosen with the keys: down to the first entry, Return.
    f.Enable->setFocus();
    QTest::keyClick(f.windowHandle(), Qt::Key_F10, Qt::ShiftModifier);
    QMenu* m = waitMenu();
    ASSERT_NE(m, nullptr);
    QTest::keyClick(m, Qt::Key_Down);
    QTest::keyClick(m, Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([&] { return f.FollowClock->isChecked(); }, 2000));
    // Chosen with a click.
    QTest::mouseClick(f.windowHandle(), Qt::RightButton, {}, QPoint(300, 160));
    m = waitMenu();
    ASSERT_NE(m, nullptr);
    QTest::mouseClick(m, Qt::LeftButton, {}, m->actionGeometry(f.SustainHold).center());
    EXPECT_TRUE(QTest::qWaitFor([&] { return f.SustainHold->isChecked(); }, 2000));

    // A refused tempo is not left behind through the menu: the switch does
    // not move and the player is told, the focus stays in the box.
    f.FollowClock->setChecked(false);
    f.Tempo->setFocus();
    f.Tempo->selectAll();
    QTest::keyClicks(f.Tempo, "300");
    QTest::keyClick(f.windowHandle(), Qt::Key_Menu);
    m = waitMenu();
    ASSERT_NE(m, nullptr);
    QTest::mouseClick(m, Qt::LeftButton, {}, m->actionGeometry(f.FollowClock).center());
    EXPECT_TRUE(QTest::qWaitFor([&] { return openMenu() == nullptr; }, 2000));
    settle();
    EXPECT_FALSE(f.FollowClock->isChecked());
    EXPECT_EQ(messages, std::vector<std::string>{"Value must be between 8 and 240"});
    EXPECT_EQ(f.focusWidget(), f.Tempo);
    EXPECT_EQ(f.Tempo->text(), "300");
}

TEST_F(BandTest, SwitchesComeFromTheFileOrTheCommandLineAndAreSavedOnlyWhenTheyMatter) {
    struct Case {
        const char* what;
        std::map<std::string, std::int32_t> stored;
        CommandLineOptions options;
        bool follow, hold;
        std::vector<const char*> saved;  // the switch values in the file after the close
    };
    const Case cases[] = {
        {"an older file: off, and not added", {}, {}, false, false, {}},
        {"stored on", {{"FollowClock", 1}, {"SustainHold", 1}}, {}, true, true,
         {"\"FollowClock\"=dword:00000001", "\"SustainHold\"=dword:00000001"}},
        {"the command line switches on", {}, {true, true}, true, true,
         {"\"FollowClock\"=dword:00000001", "\"SustainHold\"=dword:00000001"}},
        {"stored off stays written", {{"SustainHold", 0}}, {true, false}, true, false,
         {"\"FollowClock\"=dword:00000001", "\"SustainHold\"=dword:00000000"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(Util::KeyFilePath(Form1::kKeyPath));
        store("Tempo", std::int32_t{100}, Util::TypeDword);
        for (const auto& [name, value] : c.stored) store(name.c_str(), value, Util::TypeDword);
        form = std::make_unique<Form1>([this] { return host; }, c.options);
        EXPECT_EQ(form->FollowClock->isChecked(), c.follow);
        EXPECT_EQ(form->SustainHold->isChecked(), c.hold);
        ASSERT_TRUE(form->close());
        const QString text = settingsText();
        EXPECT_EQ(text.count("Follow") + text.count("SustainHold"), static_cast<int>(c.saved.size())) << text.toStdString();
        for (const char* line : c.saved) EXPECT_TRUE(text.contains(line)) << line;
        form.reset();
    }
}

}  // namespace
}  // namespace vlx::test
