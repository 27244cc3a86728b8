// SPDX-License-Identifier: GPL-3.0-or-later
// Playing it musically through the window, with real clicks and keys: the
// latch, Keep the beat and a new random order every pass from the menu,
// Arpeggiate pressed over held keys, the live view, the tempo box's step
// keys and wheel, and how the new switches are kept.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QWheelEvent>

#include <map>

#include "FormRig.h"
#include "app/LiveView.h"

namespace vlx::test {
namespace {

class PlayingTest : public FormRig {
protected:
    Form1& startShown(CommandLineOptions options = {}) {
        store("Tempo", std::int32_t{240}, Util::TypeDword);  // 16ths: a step every 62 ms
        store("Resolution", std::string("16th"), Util::TypeText);
        store("Cycle", std::string("Up"), Util::TypeText);
        form = std::make_unique<Form1>([this] { return host; }, options);
        if (!realMessageBoxes)
            form->setMessageBox([this](const QString& text) { messages.push_back(text.toStdString()); });
        form->show();
        QApplication::setActiveWindow(form.get());
        EXPECT_TRUE(QTest::qWaitForWindowActive(form.get()));
        return *form;
    }
    void click(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton, {}, w->rect().center()); }
    // Chooses a menu entry as the player does: right click, then a click on it.
    void choose(Form1& f, QAction* entry) {
        QTest::mouseClick(f.windowHandle(), Qt::RightButton, {}, {300, 120});
        QMenu* m = nullptr;
        ASSERT_TRUE(QTest::qWaitFor([&] { return (m = qobject_cast<QMenu*>(QApplication::activePopupWidget())); }, 2000));
        QTest::mouseClick(m, Qt::LeftButton, {}, m->actionGeometry(entry).center());
        ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activePopupWidget() == nullptr; }, 2000));
    }
    // The arpeggio's note-ons written so far: host millisecond and pitch.
    std::vector<std::pair<std::int64_t, int>> struck() {
        std::vector<std::pair<std::int64_t, int>> ons;
        for (const FramedMessage& m : host->TakeWritten())
            if ((m.bytes[0] & 0xF0) == 0x90 && m.bytes[2] > 0) ons.emplace_back(m.frame / 48, m.bytes[1]);
        return ons;
    }
    // Lets the live view's timer run.
    void look() { QTest::qWait(60); }
};

// Latch, its mnemonic and a click: a released chord plays on until the next
// chord; released again, nothing holds it.
TEST_F(PlayingTest, LatchKeepsAReleasedChordPlayingUntilItIsReleased) {
    Form1& f = startShown();
    f.Divert->setChecked(true);
    click(f.Enable);
    click(f.Latch);
    ASSERT_TRUE(f.Latch->isChecked());
    host->Run(1);
    for (int note : {60, 64}) host->Play({0x90, static_cast<std::uint8_t>(note), 100});
    host->Run(20);
    for (int note : {60, 64}) host->Play({0x80, static_cast<std::uint8_t>(note), 0});
    host->Run(300);
    EXPECT_EQ(struck(), (std::vector<std::pair<std::int64_t, int>>{{6, 60}, {68, 64}, {130, 60}, {192, 64}, {254, 60}, {316, 64}}));
    QTest::keyClick(&f, Qt::Key_L, Qt::AltModifier);  // out again
    ASSERT_TRUE(QTest::qWaitFor([&] { return !f.Latch->isChecked(); }, 2000));
    host->Run(200);
    EXPECT_TRUE(struck().empty());
    EXPECT_TRUE(f.player()->engine().IsEmpty());
}

// Keep the beat from the menu: a key added joins at the next step without a
// strike of the first note again; Arpeggiate pressed over held keys plays
// them. Random's new order every pass from the menu: no note twice running.
TEST_F(PlayingTest, MenuSwitchesKeepTheBeatAndDrawRandomEveryPass) {
    Form1& f = startShown();
    f.Divert->setChecked(true);
    choose(f, f.KeepBeat);
    ASSERT_TRUE(f.KeepBeat->isChecked());
    host->Run(1);
    for (int note : {60, 64}) host->Play({0x90, static_cast<std::uint8_t>(note), 100});  // held before Arpeggiate
    host->Run(50);
    host->TakeWritten();
    click(f.Enable);
    host->Run(100);
    host->Play({0x90, 67, 100});  // between two steps
    host->Run(200);
    const auto ons = struck();
    ASSERT_EQ(ons.size(), 5u);
    const std::int64_t first = ons[0].first;
    EXPECT_EQ(ons, (std::vector<std::pair<std::int64_t, int>>{
                       {first, 60}, {first + 62, 64}, {first + 124, 67}, {first + 186, 60}, {first + 248, 64}}));

    choose(f, f.ShuffleEveryPass);
    f.Cycle->setCurrentText("Random");
    host->Run(62 * 4 * 20);
    const auto shuffled = struck();
    ASSERT_GE(shuffled.size(), 70u);
    for (std::size_t i = 1; i < shuffled.size(); ++i) {
        EXPECT_NE(shuffled[i].second, shuffled[i - 1].second) << "at " << shuffled[i].first;
        EXPECT_EQ(shuffled[i].first - shuffled[i - 1].first, 62);
    }
}

// The live view shows what the player published: the held notes by name,
// the note sounding, the input light, and the followed clock's state.
TEST_F(PlayingTest, TheLiveViewShowsHeldPlayingInputAndTheClock) {
    Form1& f = startShown();
    LiveView& live = *f.Live;
    f.Divert->setChecked(true);
    click(f.Enable);
    host->Run(1);
    look();
    EXPECT_EQ(live.text(LiveView::Held), "–");
    EXPECT_EQ(live.text(LiveView::Playing), "–");
    EXPECT_FALSE(live.inputLit());
    EXPECT_EQ(live.text(LiveView::ClockState), "not followed");

    for (int note : {67, 60, 64, 61}) host->Play({0x90, static_cast<std::uint8_t>(note), 100});
    host->Run(10);  // 60 sounds from 6
    look();
    EXPECT_EQ(live.text(LiveView::Held), "C4 C#4 E4 G4");
    EXPECT_EQ(live.text(LiveView::Playing), "C4");
    EXPECT_TRUE(live.inputLit());
    host->Run(62);  // C#4 from 68
    QTest::qWait(LiveView::kLightHold.count() + 60);
    EXPECT_EQ(live.text(LiveView::Playing), "C#4");
    EXPECT_FALSE(live.inputLit()) << "out once no message came for a while";

    choose(f, f.FollowClock);
    host->Run(1);
    look();
    EXPECT_EQ(live.text(LiveView::ClockState), "none arriving");
    host->Play({0xFA});
    for (int k = 0; k < 30; ++k) {
        host->Play({0xF8});
        host->Run(21);
    }
    look();
    EXPECT_EQ(live.text(LiveView::ClockState), "locked, 119 bpm");
    host->Run(600);
    look();
    EXPECT_EQ(live.text(LiveView::ClockState), "lost, playing on at 119 bpm");
    settle();
    EXPECT_EQ(f.Status->text(), "MIDI clock lost");
    EXPECT_TRUE(f.Status->toolTip().contains("playing on at its last tempo, 119 bpm")) << f.Status->toolTip().toStdString();
}

// Up, Down, Page Up, Page Down and the wheel in the tempo box step it as
// on the scroll bar, after the typed text is checked; a refused text is
// said in the real box, closed with its OK button, and nothing moves.
TEST_F(PlayingTest, TheTempoBoxStepsWithTheKeysAndTheWheel) {
    realMessageBoxes = true;
    MessageBoxes boxes(true);
    Form1& f = startShown();
    f.Tempo->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.Tempo->hasFocus(); }, 1000));
    struct Step {
        std::function<void()> act;
        int tempo;
    };
    auto key = [&](Qt::Key k) { return [&f, k] { QTest::keyClick(f.Tempo, k); }; };
    auto wheel = [&](int notches) {
        return [&f, notches] {
            QWheelEvent turn(QPointF(5, 5), f.Tempo->mapToGlobal(QPointF(5, 5)), {}, {0, notches * 120}, Qt::NoButton,
                             {}, Qt::NoScrollPhase, false);
            QApplication::sendEvent(f.Tempo, &turn);
        };
    };
    for (const Step& s : {Step{key(Qt::Key_Down), 239}, Step{key(Qt::Key_Down), 238}, Step{key(Qt::Key_PageDown), 237},
                          Step{key(Qt::Key_PageUp), 238}, Step{key(Qt::Key_Up), 239}, Step{key(Qt::Key_Up), 240},
                          Step{key(Qt::Key_Up), 240}, Step{wheel(-2), 238}, Step{wheel(1), 239}}) {
        s.act();
        EXPECT_EQ(f.VScrollTempo->value(), s.tempo * 10);
        EXPECT_EQ(f.Tempo->text(), QString::number(s.tempo));
        EXPECT_EQ(f.values()[Control::Tempo], s.tempo * 10);
        EXPECT_EQ(QApplication::focusWidget(), f.Tempo);
    }
    // Typed, then stepped: what was typed is taken first.
    f.Tempo->selectAll();
    QTest::keyClicks(f.Tempo, "100");
    QTest::keyClick(f.Tempo, Qt::Key_Up);
    EXPECT_EQ(f.VScrollTempo->value(), 1010);
    f.Tempo->selectAll();
    QTest::keyClicks(f.Tempo, "500");
    QTest::keyClick(f.Tempo, Qt::Key_Up);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !boxes.shown.empty() && !MessageBoxes::open(); }, 4000));
    EXPECT_EQ(boxes.shown, std::vector<std::string>{"Value must be between 8 and 240"});
    EXPECT_EQ(f.VScrollTempo->value(), 1010);
    EXPECT_EQ(f.Tempo->text(), "500");
    // Return with the same tempo and no clock lost takes nothing over: the
    // pattern is not restarted.
    f.Tempo->selectAll();
    QTest::keyClicks(f.Tempo, "101");
    QTest::keyClick(f.Tempo, Qt::Key_Return);
    EXPECT_EQ(f.VScrollTempo->value(), 1010);
    f.Divert->setChecked(true);
    f.Enable->setChecked(true);
    host->Run(600);  // a poll takes the tempo
    for (std::uint8_t note : {60, 64}) host->Play({0x90, note, 100});
    host->Run(700);
    QTest::keyClick(f.Tempo, Qt::Key_Return);
    host->Run(1000);
    const auto ons = struck();
    ASSERT_GE(ons.size(), 10u);
    for (std::size_t i = 2; i < ons.size(); ++i) EXPECT_EQ(ons[i].first - ons[i - 2].first, ons[2].first - ons[0].first);
}

}  // namespace
}  // namespace vlx::test
