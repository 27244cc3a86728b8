// SPDX-License-Identifier: GPL-3.0-or-later
// The window's controls: where they are, how the keyboard reaches them, and
// the tempo box with its scroll bar.
#include <QPointer>
#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleFactory>
#include <QTest>
#include <QWheelEvent>

#include "FormRig.h"

namespace vlx::test {
namespace {

class ControlsTest : public FormRig {
protected:
    Form1& startShown() {
        Form1& f = start();
        f.show();
        QApplication::setActiveWindow(&f);
        EXPECT_TRUE(QTest::qWaitForWindowActive(&f));
        return f;
    }
    // Types a tempo and tabs away from the box.
    void typeTempoAndTab(Form1& f, const QString& text) {
        f.Tempo->setFocus();
        EXPECT_TRUE(QTest::qWaitFor([&] { return f.Tempo->hasFocus(); }, 1000));
        f.Tempo->selectAll();
        QTest::keyClick(f.Tempo, Qt::Key_Backspace);
        QTest::keyClicks(f.Tempo, text);
        QTest::keyClick(f.Tempo, Qt::Key_Tab);
        settle();
        settle();
    }

    // The player's own input, sent to the window, which routes it as Qt
    // routes a real one: to the control under the pointer, or to the focus.
    void click(QWidget* control, std::optional<QPoint> at = {}) {
        const QPoint point = control->mapTo(form.get(), at.value_or(control->rect().center()));
        QTest::mouseClick(form->windowHandle(), Qt::LeftButton, {}, point);
    }
    void key(Qt::Key k, Qt::KeyboardModifiers modifiers = {}) { QTest::keyClick(form->windowHandle(), k, modifiers); }
    void wheel(QWidget* control, int angle) {
        const QPointF at = control->mapTo(form.get(), control->rect().center());
        QWheelEvent turn(at, form->mapToGlobal(at), {}, {0, angle}, Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                         false);
        QApplication::sendEvent(form->windowHandle(), &turn);
    }
    // Near the upper or the lower end of the tempo scroll bar, where its arrows are.
    QPoint arrowOf(bool upper) const {
        const QRect bar = form->VScrollTempo->rect();
        return {bar.center().x(), upper ? bar.top() + 2 : bar.bottom() - 2};
    }
    void typeOver(QLineEdit* box, const QString& text) {
        click(box);
        QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(box, text);
    }
    // Every way of leaving the tempo box that must wait for its check.
    std::vector<std::pair<std::string, std::function<void()>>> waysOut() {
        Form1& f = *form;
        return {
            {"upper arrow", [&] { click(f.VScrollTempo, arrowOf(true)); }},
            {"lower arrow", [&] { click(f.VScrollTempo, arrowOf(false)); }},
            {"wheel on the scroll bar", [&] { wheel(f.VScrollTempo, 120); }},
            {"Arpeggiate", [&] { click(f.Enable); }},
            {"Divert Input", [&] { click(f.Divert); }},
            {"Retrigger", [&] { click(f.Retrigger); }},
            {"Close after Exit", [&] { click(f.CloseOnExit); }},
            {"Octaves list", [&] { click(f.Octaves); }},
            {"Cycle list", [&] { click(f.Cycle); }},
            {"Alt+A", [&] { key(Qt::Key_A, Qt::AltModifier); }},
            {"Alt+D", [&] { key(Qt::Key_D, Qt::AltModifier); }},
            {"Alt+O", [&] { key(Qt::Key_O, Qt::AltModifier); }},
            {"Alt+V", [&] { key(Qt::Key_V, Qt::AltModifier); }},
            {"Alt+G", [&] { key(Qt::Key_G, Qt::AltModifier); }},
            {"Alt+R", [&] { key(Qt::Key_R, Qt::AltModifier); }},
            {"Alt+S", [&] { key(Qt::Key_S, Qt::AltModifier); }},
            {"Alt+C", [&] { key(Qt::Key_C, Qt::AltModifier); }},
            {"Tab", [&] { key(Qt::Key_Tab); }},
            {"Shift+Tab", [&] { key(Qt::Key_Backtab, Qt::ShiftModifier); }},
        };
    }
    // After a refused attempt: the box keeps the focus and its text, and no
    // other control moved.
    void expectNothingMoved(const std::string& attempt, bool arpeggiating) {
        Form1& f = *form;
        EXPECT_EQ(f.focusWidget(), f.Tempo) << attempt;
        EXPECT_EQ(f.Tempo->text(), "300") << attempt;
        EXPECT_EQ(f.VScrollTempo->value(), 1200) << attempt;
        EXPECT_EQ(f.Enable->isChecked(), arpeggiating) << attempt;
        EXPECT_FALSE(f.Enable->isDown()) << attempt;
        for (QAbstractButton* b : {f.Divert, f.Retrigger, f.CloseOnExit})
            EXPECT_FALSE(b->isChecked() || b->isDown()) << attempt << ": " << b->objectName().toStdString();
        for (QComboBox* list : {f.Octaves, f.Resolution, f.Sustain, f.Cycle})
            EXPECT_FALSE(list->view()->isVisible()) << attempt << ": " << list->objectName().toStdString();
        EXPECT_EQ(f.Cycle->currentText(), "Up") << attempt;
        EXPECT_EQ(f.values()[Control::Tempo], 1200) << attempt << ": the player is not handed the text";
    }
};

TEST_F(ControlsTest, EveryControlSitsWhereItsTwipsSayWithItsCaption) {
    Form1& f = start();
    EXPECT_EQ(f.windowTitle(), "Veloxa Arpeggiator");
    EXPECT_EQ(f.size(), QSize(310, 245));
    EXPECT_EQ(f.minimumSize(), f.maximumSize());
    EXPECT_FALSE(f.windowIcon().isNull() && QApplication::windowIcon().isNull());
    struct Expected {
        const char* name;
        QRect twips;
        const char* caption;
    };
    const Expected controls[] = {
        {"Divert", {180, 60, 1575, 255}, "&Divert Input"},
        {"Label1", {180, 510, 615, 255}, "&Tempo:"},
        {"Tempo", {960, 480, 615, 315}, "120"},
        {"VScrollTempo", {1560, 480, 255, 315}, nullptr},
        {"Label4", {180, 1080, 735, 255}, "&Octaves:"},
        {"Octaves", {960, 1020, 855, 315}, nullptr},
        {"Enable", {660, 1500, 1155, 375}, "&Arpeggiate"},
        {"CloseOnExit", {120, 2040, 2055, 255}, "Close &Veloxa after Exit"},
        {"Retrigger", {2040, 60, 1755, 255}, "Retri&gger new Data"},
        {"Label2", {2040, 510, 855, 255}, "&Resolution:"},
        {"Resolution", {3000, 480, 1395, 315}, nullptr},
        {"Label3", {2100, 1050, 855, 255}, "&Sustain:"},
        {"Sustain", {3000, 1020, 1395, 315}, nullptr},
        {"Label5", {2100, 1590, 855, 255}, "&Cycle:"},
        {"Cycle", {3000, 1560, 1395, 315}, nullptr},
        {"Status", {2460, 2070, 1905, 195}, nullptr},
        // Below them, in a taller window.
        {"Latch", {660, 2520, 1155, 375}, "&Latch"},
        {"LiveView", {2040, 2460, 2490, 1110}, nullptr},
    };
    for (const auto& c : controls) {
        auto* w = f.findChild<QWidget*>(c.name);
        ASSERT_NE(w, nullptr) << c.name;
        const QRect& t = c.twips;
        EXPECT_EQ(w->geometry(), QRect(t.x() / 15, t.y() / 15, t.width() / 15, t.height() / 15)) << c.name;
        if (!c.caption) continue;
        QString caption;
        if (auto* b = qobject_cast<QAbstractButton*>(w)) caption = b->text();
        if (auto* l = qobject_cast<QLabel*>(w)) caption = l->text();
        if (auto* e = qobject_cast<QLineEdit*>(w)) caption = e->text();
        EXPECT_EQ(caption, c.caption) << c.name;
        // The caption fits its box at the font the window picked (a push
        // button's own size hint has a minimum width for dialogs; its text
        // and frame are what must fit).
        if (qobject_cast<QPushButton*>(w)) {
            EXPECT_LE(w->fontMetrics().horizontalAdvance(QString(c.caption).remove('&')) + 8, w->width()) << c.name;
        } else if (!qobject_cast<QLineEdit*>(w)) {
            EXPECT_LE(w->sizeHint().width(), w->width()) << c.name;
        }
    }
    EXPECT_LE(f.Status->sizeHint().width(), f.Status->width());

    // Lists offer their items only, each with the value the engine gets.
    auto items = [](QComboBox* list) {
        std::vector<std::pair<std::string, int>> out;
        for (int i = 0; i < list->count(); ++i) out.emplace_back(list->itemText(i).toStdString(), list->itemData(i).toInt());
        return out;
    };
    using Items = std::vector<std::pair<std::string, int>>;
    EXPECT_EQ(items(f.Resolution),
              (Items{{"Whole", 32}, {"Half", 16}, {"Quarter", 8}, {"8th", 4}, {"16th", 2}, {"32nd", 1}}));
    EXPECT_EQ(items(f.Octaves), (Items{{"1", 1}, {"2", 2}, {"3", 3}}));
    EXPECT_EQ(items(f.Sustain), (Items{{"Staccato", 1}, {"Normal", 2}, {"Legatto", 3}}));
    EXPECT_EQ(items(f.Cycle),
              (Items{{"Up", 1}, {"Down", 2}, {"Up-Down", 3}, {"Down-Up", 4}, {"Random", 5}, {"As played", 6}}));
    for (QComboBox* list : {f.Resolution, f.Octaves, f.Sustain, f.Cycle}) EXPECT_FALSE(list->isEditable());
    EXPECT_TRUE(f.Enable->isCheckable());
}

TEST_F(ControlsTest, TabAndMnemonicsMoveThroughTheControlsInOrder) {
    Form1& f = startShown();
    f.Divert->setFocus();
    EXPECT_TRUE(QTest::qWaitFor([&] { return f.Divert->hasFocus(); }, 1000));
    const std::vector<QWidget*> order = {f.Tempo,       f.VScrollTempo, f.Octaves,    f.Enable,  f.CloseOnExit,
                                         f.Retrigger,   f.Resolution,   f.Sustain,    f.Cycle,   f.Latch,
                                         f.More,        f.Divert};
    for (QWidget* next : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), next) << next->objectName().toStdString();
    }
    for (auto [key, target] : {std::pair{Qt::Key_T, static_cast<QWidget*>(f.Tempo)},
                               {Qt::Key_O, f.Octaves},
                               {Qt::Key_R, f.Resolution},
                               {Qt::Key_S, f.Sustain},
                               {Qt::Key_C, f.Cycle}}) {
        QTest::keyClick(&f, key, Qt::AltModifier);
        EXPECT_EQ(QApplication::focusWidget(), target) << target->objectName().toStdString();
    }
    // A mnemonic clicks its button with a short animation.
    QTest::keyClick(&f, Qt::Key_A, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return f.Enable->isChecked(); }, 2000)) << "Alt+A switches arpeggiation on";
    host->Run(1);
    EXPECT_TRUE(f.player()->Arpeggiating());
    QTest::keyClick(&f, Qt::Key_A, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !f.Enable->isChecked(); }, 2000));
    host->Run(1);
    EXPECT_FALSE(f.player()->Arpeggiating());
    QTest::keyClick(&f, Qt::Key_L, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return f.Latch->isChecked(); }, 2000)) << "Alt+L latches";
    // The second page opens beside the first, which keeps its size and places.
    const QSize first = f.size();
    QTest::keyClick(&f, Qt::Key_E, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return f.Panel->isVisible(); }, 2000)) << "Alt+E shows more";
    EXPECT_GT(f.width(), first.width());
    EXPECT_EQ(f.Panel->geometry().left(), first.width());
    QTest::mouseClick(f.More, Qt::LeftButton);
    EXPECT_FALSE(f.Panel->isVisible());
    EXPECT_EQ(f.size(), first);
}

TEST_F(ControlsTest, ATypedTempoIsCheckedWhenTheFocusLeaves) {
    Form1& f = startShown();
    for (const auto& [typed, value, text] : {std::tuple{"60", 60, "60"},
                                             {"239.5", 240, "240"},
                                             {"8.5", 8, "8"},
                                             {"8", 8, "8"},
                                             {"240", 240, "240"}}) {
        typeTempoAndTab(f, typed);
        EXPECT_EQ(f.VScrollTempo->value(), value * 10) << typed;
        EXPECT_EQ(f.Tempo->text(), text) << typed;
        EXPECT_EQ(QApplication::focusWidget(), f.VScrollTempo) << typed;
    }
    EXPECT_TRUE(messages.empty());

    for (const char* refused : {"241", "7", "7.9", "240.2", "abc", ""}) {
        messages.clear();
        typeTempoAndTab(f, refused);
        EXPECT_EQ(messages, std::vector<std::string>{"Value must be between 8 and 240"}) << refused;
        EXPECT_EQ(f.Tempo->text(), refused);
        EXPECT_EQ(f.VScrollTempo->value(), 2400) << refused;
        EXPECT_EQ(QApplication::focusWidget(), f.Tempo) << "the focus stays in the box: " << refused;
    }
}

// The player is handed a typed tempo only once the box accepts it (the
// focus leaves it, or Return), never while it is being typed, and never a
// refused one: the box, the engine and the saved setting agree.
// A tenth of a bpm only with Exact step lengths: typed, tapped (the mean of
// four taps' three beats), stored (as text, a whole tempo as a dword, as
// older programs keep it); switched off, the tempo is whole again.
TEST_F(ControlsTest, ATempoKeepsATenthOnlyWithExactSteps) {
    store("Tempo", std::string("120.5"), Util::TypeText);
    Form1& f = startShown();
    EXPECT_EQ(f.Tempo->text(), "120") << "whole without exact steps, half to even";
    const QPointer<QAbstractButton> exact = qobject_cast<QAbstractButton*>(f.widget(Control::ExactSteps));
    for (const bool on : {false, true}) {
        exact->setChecked(on);
        typeTempoAndTab(f, "99.45");
        EXPECT_EQ(f.values()[Control::Tempo], on ? 994 : 990);
        for (const std::int64_t ms : {10000, 10498, 10996})
            f.Tap(ms);
        EXPECT_EQ(f.values()[Control::Tempo], on ? 994 : 990) << "three taps set nothing";
        f.Tap(11494);  // 120.48 bpm
        EXPECT_EQ(f.Tempo->text(), on ? "120.5" : "120");
        f.Tap(20000);  // a gap: counting starts afresh
        EXPECT_EQ(f.Tempo->text(), on ? "120.5" : "120");
    }
    host->Run(2);
    EXPECT_EQ(f.player()->controls()[Control::Tempo], 1205);
    f.endWithoutClose(false);
    EXPECT_TRUE(settingsText().contains("\"Tempo\"=\"120.5\"")) << settingsText().toStdString();
    Form1& again = startShown();
    EXPECT_EQ(again.Tempo->text(), "120.5");
    qobject_cast<QAbstractButton*>(again.widget(Control::ExactSteps))->setChecked(false);
    EXPECT_EQ(again.Tempo->text(), "120");
    again.endWithoutClose(false);
    EXPECT_TRUE(settingsText().contains("\"Tempo\"=dword:00000078")) << settingsText().toStdString();
}

TEST_F(ControlsTest, ATypedTempoReachesThePlayerOnlyOnceTheBoxAcceptsIt) {
    Form1& f = startShown();
    f.Enable->setChecked(true);
    host->Run(1);
    typeOver(f.Tempo, "3");  // on the way to 300
    EXPECT_EQ(f.values()[Control::Tempo], 1200);
    host->Run(600);  // a poll
    EXPECT_EQ(f.player()->engine().Tempo(), 120);
    QTest::keyClicks(f.Tempo, "00");
    key(Qt::Key_Return);
    settle();
    EXPECT_EQ(messages, std::vector<std::string>{"Value must be between 8 and 240"});
    EXPECT_EQ(f.values()[Control::Tempo], 1200);
    EXPECT_EQ(f.focusWidget(), f.Tempo);
    host->Run(600);
    EXPECT_EQ(f.player()->engine().Tempo(), 120);

    typeOver(f.Tempo, "90");
    EXPECT_EQ(f.values()[Control::Tempo], 1200) << "typed, not yet taken";
    key(Qt::Key_Return);
    EXPECT_EQ(f.values()[Control::Tempo], 900);
    EXPECT_EQ(f.VScrollTempo->value(), 900);
    EXPECT_EQ(f.focusWidget(), f.Tempo) << "Return leaves the focus where it is";
    host->Run(600);
    EXPECT_EQ(f.player()->engine().Tempo(), 90);
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(ControlsTest, TheScrollBarRaisesTheTempoUpwardsOneStepAtATime) {
    Form1& f = startShown();
    QScrollBar* bar = f.VScrollTempo;
    const std::pair<const char*, std::function<void()>> gestures[] = {
        {"upper arrow", [&] { click(bar, arrowOf(true)); }},
        {"lower arrow", [&] { click(bar, arrowOf(false)); }},
        {"Up", [&] { key(Qt::Key_Up); }},
        {"Down", [&] { key(Qt::Key_Down); }},
        {"Page Up", [&] { key(Qt::Key_PageUp); }},
        {"Page Down", [&] { key(Qt::Key_PageDown); }},
        {"wheel up", [&] { wheel(bar, 120); }},
        {"wheel down", [&] { wheel(bar, -120); }},
    };
    click(bar, arrowOf(true));  // the keys need the focus
    ASSERT_EQ(f.focusWidget(), bar);
    for (std::size_t i = 0; i < std::size(gestures); ++i) {
        const auto& [name, gesture] = gestures[i];
        const int step = i % 2 == 0 ? 1 : -1;
        for (int from : {120, 239, 240, 9, 8}) {
            bar->setValue(from * 10);
            gesture();
            const int to = std::clamp(from + step, 8, 240);
            EXPECT_EQ(bar->value(), to * 10) << name << " from " << from;
            EXPECT_EQ(f.Tempo->text(), QString::number(to)) << name << " from " << from;
        }
    }
    EXPECT_EQ(f.values()[Control::Tempo], 80) << "each step is handed to the player";
    EXPECT_EQ(f.player()->engine().Tempo(), 120) << "the engine hears of it only at a poll";
    host->Run(501);
    EXPECT_EQ(f.player()->engine().Tempo(), 120) << "nor while arpeggiation is off";
    f.Enable->setChecked(true);
    host->Run(1);
    EXPECT_EQ(f.player()->engine().Tempo(), 8) << "at the first poll after it is switched on";
}

TEST_F(ControlsTest, ARefusedTempoKeepsTheFocusAndStopsWhatWouldHaveMovedIt) {
    store("Cycle", std::string("Up"), Util::TypeText);
    realMessageBoxes = true;
    MessageBoxes boxes(true);  // each box runs its own loop; OK is clicked from it
    Form1& f = startShown();
    typeOver(f.Tempo, "300");
    host->clearLog();
    std::size_t attempts = 0;
    for (const auto& [name, attempt] : waysOut()) {
        attempt();
        EXPECT_EQ(boxes.shown, std::vector<std::string>(++attempts, "Value must be between 8 and 240")) << name;
        expectNothingMoved(name, false);
        // A window manager gives the window back its activation after the
        // box; the offscreen platform leaves no window active.
        QApplication::setActiveWindow(&f);
    }
    EXPECT_EQ(host->memberCalls(), Calls{}) << "nothing reached the host";

    // Corrected, the same click takes the text first and then acts on it.
    typeOver(f.Tempo, "60");
    click(f.VScrollTempo, arrowOf(true));
    EXPECT_EQ(f.Tempo->text(), "61");
    EXPECT_EQ(f.focusWidget(), f.VScrollTempo);
    typeOver(f.Tempo, "100");
    key(Qt::Key_D, Qt::AltModifier);
    EXPECT_EQ(f.VScrollTempo->value(), 1000);
    EXPECT_EQ(f.focusWidget(), f.Divert);
    EXPECT_EQ(boxes.shown.size(), attempts);

    // A refused text does not hold up closing the window.
    typeOver(f.Tempo, "300");
    EXPECT_TRUE(f.close());
    EXPECT_TRUE(f.unloaded());
    EXPECT_EQ(boxes.shown.size(), attempts);
}

// The player plays in the host's cycles whatever the window does: while
// the refusal's message is open it plays on, and a refused or half-typed
// tempo never reaches it (the pattern runs unchanged through every poll).
TEST_F(ControlsTest, WhileArpeggiatingARefusalLetsPlaybackRunAndReachesNothing) {
    store("Cycle", std::string("Up"), Util::TypeText);  // 120 bpm quarters: 500 ms steps sounding 331 ms
    realMessageBoxes = true;
    MessageBoxes boxes(false);  // OK is clicked by the test, after a second of playing
    Form1& f = startShown();
    f.Enable->setChecked(true);
    host->Play({0x90, 60, 100});
    host->Run(1);

    std::vector<std::size_t> notesWhileOpen;
    std::size_t written = 0;
    auto run = [&](std::int32_t ms) {
        host->Run(ms);
        const auto more = host->TakeWritten();
        written += more.size();
        return more.size();
    };
    const auto ways = waysOut();
    typeOver(f.Tempo, "3");  // on the way to 300: not a tempo yet
    run(600);
    typeOver(f.Tempo, "300");
    for (std::size_t next = 0; next < ways.size(); ++next) {
        const auto& [name, attempt] = ways[next];
        attempt();
        ASSERT_TRUE(QTest::qWaitFor([] { return MessageBoxes::open() != nullptr; }, 2000)) << name;
        notesWhileOpen.push_back(run(1000));
        MessageBoxes::clickOk(MessageBoxes::open());
        ASSERT_TRUE(QTest::qWaitFor([] { return MessageBoxes::open() == nullptr; }, 2000)) << name;
        EXPECT_EQ(boxes.shown, std::vector<std::string>(next + 1, "Value must be between 8 and 240")) << name;
        expectNothingMoved(name, true);
        QApplication::setActiveWindow(&f);
    }
    for (std::size_t n : notesWhileOpen) EXPECT_GE(n, 3u) << "the pattern played on while the message was open";
    EXPECT_EQ(f.player()->engine().Tempo(), 120);
    // The pattern ran unchanged, every 500 ms from 5, its steps never cut short.
    const std::int32_t end = 1 + 600 + static_cast<std::int32_t>(ways.size()) * 1000;
    std::size_t expected = 1;  // the key itself, passed through (not diverted)
    for (std::int32_t on = 5; on < end; on += 500) expected += on + 331 < end ? 2 : 1;
    EXPECT_EQ(written, expected);
}

// Arpeggiate down is plain at a glance: drawn in the selection colours, in
// each style. Leaves a picture per style (build/tests/app/vlxarp-*.png) for
// people to look at.
TEST_F(ControlsTest, ArpeggiateDownIsDrawnInTheSelectionColoursInEveryStyle) {
    const QString before = QApplication::style()->name();
    store("Cycle", std::string("Up"), Util::TypeText);
    Form1& f = startShown();
    // The share of the button's pixels within `near` of a colour.
    auto share = [&](const QColor& colour, int near) {
        const QImage shot = f.Enable->grab().toImage();
        int matching = 0;
        for (int y = 0; y < shot.height(); ++y) {
            for (int x = 0; x < shot.width(); ++x) {
                const QColor c = shot.pixelColor(x, y);
                matching += std::abs(c.red() - colour.red()) + std::abs(c.green() - colour.green()) +
                                std::abs(c.blue() - colour.blue()) <= near;
            }
        }
        return double(matching) / (shot.width() * shot.height());
    };
    for (const QString& style : {QStringLiteral("Fusion"), QStringLiteral("Windows")}) {
        QApplication::setStyle(QStyleFactory::create(style));
        const QColor highlight = f.Enable->palette().color(QPalette::Highlight);
        f.Enable->setChecked(false);
        EXPECT_LT(share(highlight, 0), 0.05) << style.toStdString();
        f.Enable->setChecked(true);
        EXPECT_GT(share(highlight, 0), 0.5) << style.toStdString();
        EXPECT_GT(share(f.Enable->palette().color(QPalette::HighlightedText), 150), 0.02)
            << style.toStdString() << ": the caption in the selection's text colour";
        EXPECT_TRUE(f.grab().save(QStringLiteral(QT_TESTCASE_BUILDDIR "/vlxarp-window-%1.png").arg(style.toLower())));
        f.Enable->setChecked(false);
    }
    QApplication::setStyle(before);
}

}  // namespace
}  // namespace vlx::test
