// SPDX-License-Identifier: GPL-3.0-or-later
// Playing with a band, in the window: what it shows of the clock the player
// follows, the menu that switches the band features and all notes off,
// reached with real clicks and keys, and the switches kept with the settings.
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
    // A clock tick every 21 ms (about 119 bpm) for `ticks` ticks.
    void tick(int ticks) {
        for (int k = 0; k < ticks; ++k) {
            host->Play({0xF8});
            host->Run(21);
        }
        settle();
    }
    std::vector<int> held() const {
        std::vector<int> notes;
        for (const auto& n : form->player()->engine().NoteAry()->NewEnum()) notes.push_back(n->Note);
        return notes;
    }
    void show(Form1& f) {
        f.show();
        QApplication::setActiveWindow(&f);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    }
};

// What the window shows of the clock the player follows, as the player
// reports it: the clock's tempo in the box, read-only, while it runs; the
// status line says when it stopped, when there is none and when it was
// lost; the typed tempo comes back when it goes, and when arpeggiation is off.
TEST_F(BandTest, TheTempoBoxAndTheStatusLineShowTheClockThePlayerFollows) {
    const QString own = "Veloxa:1 Ver: Scripted 1.0";
    Form1& f = startFollowing();
    host->Run(1);
    settle();
    EXPECT_EQ(f.Status->text(), "No MIDI clock");
    EXPECT_FALSE(f.Tempo->isReadOnly());
    host->Play({0xFA});
    host->Play({0x90, 60, 100});
    tick(30);
    EXPECT_EQ(f.Status->text(), own);
    EXPECT_TRUE(f.Tempo->isReadOnly());
    EXPECT_FALSE(f.VScrollTempo->isEnabled());
    EXPECT_EQ(f.Tempo->text(), "119");
    EXPECT_EQ(f.VScrollTempo->value(), 600) << "the typed tempo is kept";
    EXPECT_EQ(f.values()[Control::Tempo], 600);

    host->Play({0xFC});
    host->Run(400);
    settle();
    EXPECT_EQ(f.Status->text(), "MIDI clock stopped");
    host->Play({0xFB});
    tick(6);
    EXPECT_EQ(f.Status->text(), own);

    host->Run(400);  // two steps of 126 ms and more without a tick
    settle();
    EXPECT_EQ(f.Status->text(), "MIDI clock lost");
    EXPECT_EQ(f.Tempo->text(), "119") << "the tempo that plays on, and where it comes from";
    EXPECT_TRUE(f.Tempo->toolTip().contains("lost MIDI clock's last tempo"));
    EXPECT_FALSE(f.Tempo->isReadOnly());
    // Return gives it: the pattern plays on at it as typed, and it is kept.
    QTest::keyClick(f.Tempo, Qt::Key_Return);
    host->Run(600);
    settle();
    EXPECT_TRUE(f.Status->toolTip().contains("playing at the typed tempo")) << f.Status->toolTip().toStdString();
    EXPECT_EQ(f.Tempo->text(), "119");
    EXPECT_EQ(f.values()[Control::Tempo], 1190);  // in tenths
    tick(3);
    EXPECT_EQ(f.Status->text(), own);
    EXPECT_TRUE(f.Tempo->isReadOnly());

    f.Enable->setChecked(false);
    settle();
    EXPECT_EQ(f.Tempo->text(), "119") << "the typed tempo is back once arpeggiation is off";
    EXPECT_FALSE(f.Tempo->isReadOnly());
    EXPECT_EQ(f.Status->text(), own);
}

// Escape and the menu entry reach the player: in its next cycle nothing is
// left sounding or held, arpeggiation stays on, and the next chord plays.
// The menu's pedal switch reaches it too.
TEST_F(BandTest, AllNotesOffAndThePedalSwitchReachThePlayer) {
    store("Cycle", std::string("Up"), Util::TypeText);
    const auto escape = [](Form1& f) { QTest::keyClick(f.windowHandle(), Qt::Key_Escape); };
    const auto entry = [](Form1& f) { f.AllNotesOff->trigger(); };
    for (const auto& panic : {std::function<void(Form1&)>(escape), std::function<void(Form1&)>(entry)}) {
        host = std::make_shared<ScriptedHost>();
        Form1& f = start();
        f.Divert->setChecked(true);
        f.Enable->setChecked(true);
        show(f);
        host->Play({0x90, 60, 100});
        host->Play({0x90, 64, 100});
        host->Run(10);  // 60 sounds from 5
        host->TakeWritten();
        panic(f);
        host->Run(1);
        EXPECT_EQ(host->TakeWritten(), (std::vector<FramedMessage>{{10 * 48, {0x80, 60, 0}}}));
        EXPECT_TRUE(f.player()->engine().IsEmpty());
        EXPECT_EQ(f.player()->engine().NoteOnQ()->Count(), 0);
        EXPECT_TRUE(f.Enable->isChecked());
        host->Play({0x90, 72, 100});
        host->Run(10);
        EXPECT_EQ(host->TakeWritten(), (std::vector<FramedMessage>{{16 * 48, {0x90, 72, 100}}}));
        form.reset();
    }

    host = std::make_shared<ScriptedHost>();
    Form1& f = start();
    f.Divert->setChecked(true);
    f.Enable->setChecked(true);
    f.SustainHold->setChecked(true);
    for (const Bytes& m : {Bytes{0xB0, 64, 127}, Bytes{0x90, 60, 100}, Bytes{0x80, 60, 0}}) host->Play(m);
    host->Run(1);
    EXPECT_EQ(held(), std::vector<int>{60}) << "held by the pedal";
    f.SustainHold->setChecked(false);
    host->Run(5);  // let go within the chord's 5 ms, it leaves once the pattern is laid out
    EXPECT_TRUE(held().empty());
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
            if (!a->isSeparator() && a->isVisible()) entries << a->text();
        // Over a control, learning MIDI for it comes last.
        EXPECT_EQ(entries.last().startsWith("Learn MIDI for"), std::string(what) != "right click on the window");
        EXPECT_EQ(entries.mid(entries.indexOf("Follow MIDI clock"), 5),
                  (QStringList{"Follow MIDI clock", "Hold with sustain pedal", "Keep the beat",
                               "Random: new order every pass", "All notes off"}));
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

}  // namespace
}  // namespace vlx::test
