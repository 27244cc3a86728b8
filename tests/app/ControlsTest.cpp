// The window's controls: where they are, how the keyboard reaches them, and
// the tempo box with its scroll bar.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

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
};

TEST_F(ControlsTest, EveryControlSitsWhereItsTwipsSayWithItsCaption) {
    Form1& f = start();
    EXPECT_EQ(f.windowTitle(), "Veloxa Arpeggiator");
    EXPECT_EQ(f.size(), QSize(310, 167));
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
    EXPECT_NE(f.findChild<QObject*>("Timer"), nullptr);

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
    EXPECT_EQ(items(f.Cycle), (Items{{"Up", 1}, {"Down", 2}, {"Up-Down", 3}, {"Down-Up", 4}, {"Random", 5}}));
    for (QComboBox* list : {f.Resolution, f.Octaves, f.Sustain, f.Cycle}) EXPECT_FALSE(list->isEditable());
    EXPECT_TRUE(f.Enable->isCheckable());
}

TEST_F(ControlsTest, TabAndMnemonicsMoveThroughTheControlsInOrder) {
    Form1& f = startShown();
    f.Divert->setFocus();
    EXPECT_TRUE(QTest::qWaitFor([&] { return f.Divert->hasFocus(); }, 1000));
    const std::vector<QWidget*> order = {f.Tempo,       f.VScrollTempo, f.Octaves,    f.Enable,  f.CloseOnExit,
                                         f.Retrigger,   f.Resolution,   f.Sustain,    f.Cycle,   f.Divert};
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
    EXPECT_EQ(host->raise, 1);
    bool pressed = false;  // the second press reaches the window while the loop plays
    f.setIdleWait([&](std::int32_t) {
        if (!std::exchange(pressed, true)) QTest::keyClick(&f, Qt::Key_A, Qt::AltModifier);
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return !f.Enable->isChecked(); }, 2000));
}

TEST_F(ControlsTest, ATypedTempoIsCheckedWhenTheFocusLeaves) {
    Form1& f = startShown();
    for (const auto& [typed, value, text] : {std::tuple{"60", 60, "60"},
                                             {"239.5", 240, "240"},
                                             {"8.5", 8, "8"},
                                             {"8", 8, "8"},
                                             {"240", 240, "240"}}) {
        typeTempoAndTab(f, typed);
        EXPECT_EQ(f.VScrollTempo->value(), value) << typed;
        EXPECT_EQ(f.Tempo->text(), text) << typed;
        EXPECT_EQ(QApplication::focusWidget(), f.VScrollTempo) << typed;
    }
    EXPECT_TRUE(messages.empty());

    for (const char* refused : {"241", "7", "7.9", "240.2", "abc", ""}) {
        messages.clear();
        typeTempoAndTab(f, refused);
        EXPECT_EQ(messages, std::vector<std::string>{"Value must be between 8 and 240"}) << refused;
        EXPECT_EQ(f.Tempo->text(), refused);
        EXPECT_EQ(f.VScrollTempo->value(), 240) << refused;
        EXPECT_EQ(QApplication::focusWidget(), f.Tempo) << "the focus stays in the box: " << refused;
    }
}

TEST_F(ControlsTest, TheScrollBarStepsByOneWithinRangeAndWritesTheText) {
    Form1& f = start();
    f.VScrollTempo->setValue(239);
    f.VScrollTempo->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(f.Tempo->text(), "240");
    f.VScrollTempo->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    f.VScrollTempo->triggerAction(QAbstractSlider::SliderPageStepAdd);
    EXPECT_EQ(f.Tempo->text(), "240");
    f.VScrollTempo->setValue(9);
    f.VScrollTempo->triggerAction(QAbstractSlider::SliderPageStepSub);
    f.VScrollTempo->triggerAction(QAbstractSlider::SliderSingleStepSub);
    EXPECT_EQ(f.Tempo->text(), "8");
    EXPECT_EQ(f.engine()->Tempo(), 120) << "the engine hears of it only at a poll";
}

}  // namespace
}  // namespace vlx::test

namespace vlx::test {
namespace {

// Leaves a picture of the window (build/tests/app/vlxarp-window.png) for
// people to look at; checks only that something was drawn.
TEST_F(ControlsTest, TheWindowCanBePhotographed) {
    store("Cycle", std::string("Up"), Util::TypeText);
    Form1& f = startShown();
    f.Enable->setChecked(true);
    f.Divert->setChecked(true);
    const QImage shot = f.grab().toImage();
    ASSERT_FALSE(shot.isNull());
    EXPECT_EQ(shot.size(), f.size() * shot.devicePixelRatio());
    EXPECT_TRUE(shot.save(QStringLiteral(QT_TESTCASE_BUILDDIR "/vlxarp-window.png")));
    EXPECT_GT(shot.pixel(1, 1), 0u);
    f.Enable->setChecked(false);
}

}  // namespace
}  // namespace vlx::test
