// SPDX-License-Identifier: GPL-3.0-or-later
// Which ports VLXArp:in and VLXArp:out are connected to: the command line's
// names and patterns, what is remembered, what the user connects and
// disconnects meanwhile, what the settings file keeps, the keyboard left
// playing the synth at the end, and a host replaced by a fresh one. On
// scripted port graphs; on a real JACK server in ConnectionsEndToEndTest.
#include <algorithm>
#include <stdexcept>
#include <thread>

#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLockFile>
#include <QPushButton>

#include <QMessageBox>

#include "FormRig.h"
#include "app/Connections.h"
#include "support/ScriptedPorts.h"

namespace vlx::test {
namespace {

using Names = std::vector<std::string>;
constexpr OwnPort In = OwnPort::In;
constexpr OwnPort Out = OwnPort::Out;

Names peers(ScriptedPorts& ports, OwnPort p) { return ports.Peers(p).value_or(Names{}); }

TEST(Connections, ArgumentsConnectExactNamesOrWholeNameMatchesOfTheirDirectionNeverTheProgramItself) {
    const std::string a2j = "a2j:Keys [20] (capture): MIDI 1";  // no regular expression matches it as it stands
    // A backtracking matcher takes 2^60 paths to see that (a+)+ cannot go on
    // to the colon; one that gives up on the way misses the other branch.
    const std::string hostile = std::string(60, 'a') + ':' + std::string(190, 'a') + 'b';
    struct Case {
        OwnPort side;
        QString argument;
        Names connected;
        bool warned;  // it is no regular expression
    } const cases[] = {
        {In, "kbd:out", {"kbd:out"}, false},
        {In, QString::fromStdString(a2j), {a2j}, false},
        {In, "kbd:.*", {"kbd:out"}, false},  // kbd:in is an input: it cannot feed VLXArp:in
        {In, "kbd", {}, false},              // whole names only
        {In, "synth:in", {}, false},
        {Out, "synth:in", {"synth:in"}, false},
        {Out, ".*", {"kbd:in", "synth:in"}, false},  // not VLXArp:in
        {In, "VLXArp:.*", {}, false},
        {In, "odd:(", {"odd:("}, true},  // taken as an exact name only
        {In, "kbd:(", {}, true},
        {In, "(a+)+$", {}, false},
        {In, "(a+)+:a*c|.*", {a2j, hostile, "kbd:out", "odd:("}, false},
    };
    for (const Case& c : cases) {
        auto ports = std::make_shared<ScriptedPorts>();
        ports->ports.insert({{"kbd:out", true}, {"kbd:in", false}, {"synth:in", false}, {a2j, true}, {"odd:(", true},
                             {hostile, true}});
        const QStringList argument{c.argument};
        ConnectionKeeper keeper(c.side == In ? argument : QStringList{}, c.side == Out ? argument : QStringList{});
        keeper.attach(ports);
        const std::string what = (c.side == In ? "--connect-in " : "--connect-out ") + c.argument.toStdString();
        EXPECT_EQ(peers(*ports, c.side), c.connected) << what;
        EXPECT_EQ(peers(*ports, c.side == In ? Out : In), Names{}) << what;
        EXPECT_EQ(keeper.warnings().size(), c.warned ? 1 : 0) << what;
    }
}

TEST(Connections, WantedPortsAreConnectedWhenTheyAppearUnlessTheUserDisconnectedThem) {
    auto shared = std::make_shared<ScriptedPorts>();
    ScriptedPorts& ports = *shared;
    ports.ports.insert({{"kbd:out", true}, {"synth:in", false}});
    std::int64_t ms = 0;
    ConnectionKeeper keeper({}, {"late:.*"}, [&] { return ms; });
    const Names rememberedOut = {"synth:in", "gone:%ZZ", "synth2:in"};  // as stored; %ZZ is no percent sequence
    keeper.remember(In, {"kbd:out"});
    keeper.remember(Out, rememberedOut);
    ports.OnPortsChanged([&] { keeper.portsChanged(); });
    keeper.attach(shared);
    EXPECT_EQ(peers(ports, In), Names{"kbd:out"}) << "remembered and there at the start";
    for (const char* name : {"synth2:in", "late:in", "stranger:in"}) ports.appear(name, false);
    EXPECT_EQ(peers(ports, Out), (Names{"late:in", "synth2:in", "synth:in"})) << "remembered or asked for";

    // Ended by the user, a connection stays ended when its port comes back;
    // one whose port went away (its connections end a moment before it
    // does) is made again. Connected by the user, a port is kept the same way.
    ports.userDisconnect(ScriptedPorts::kOut, "synth:in");
    ports.userDisconnect(ScriptedPorts::kOut, "late:in");
    ports.userConnect(ScriptedPorts::kOut, "stranger:in");
    ms += ConnectionKeeper::kGoingAwayMs + 1;
    for (const char* name : {"synth:in", "late:in", "synth2:in", "stranger:in"}) {
        ports.vanish(name);
        ports.appear(name, false);
    }
    EXPECT_EQ(peers(ports, Out), (Names{"stranger:in", "synth2:in"}));
    // Remembered for the next run: what was remembered, as it came and in
    // its order, whether its port came or not, but what the user ended;
    // then what was connected meanwhile. When another instance has saved
    // its own list since, that list is the one so changed.
    EXPECT_EQ(keeper.toRemember(Out, rememberedOut), (Names{"gone:%ZZ", "synth2:in", "stranger:in"}));
    EXPECT_EQ(keeper.toRemember(Out, {"other:in", "late:in", "synth2:in"}),
              (Names{"other:in", "synth2:in", "stranger:in"}));
    ports.lost = true;
    EXPECT_EQ(keeper.connected(Out), (Names{"stranger:in", "synth2:in"})) << "as last known";

    // A fresh host gets all of it back; at the end the keyboard is left
    // playing what the program played to (not the program itself).
    auto renewed = std::make_shared<ScriptedPorts>();
    renewed->ports = ports.ports;
    keeper.attach(renewed);
    renewed->userConnect(ScriptedPorts::kOut, ScriptedPorts::kIn);
    EXPECT_EQ(peers(*renewed, Out), (Names{ScriptedPorts::kIn, "stranger:in", "synth2:in"}));
    EXPECT_EQ(keeper.bridge(), 2);
    EXPECT_EQ(peers(*renewed, In), Names{ScriptedPorts::kOut}) << "what fed the program lets go of it";
    EXPECT_TRUE(renewed->links.contains({"kbd:out", "synth2:in"}));
    renewed.reset();  // a host let go of tells nothing more
    EXPECT_EQ(keeper.connected(In), Names{"kbd:out"});
}

// A scripted host with a scripted port graph; retired, it tells nothing more.
struct PortedHost : ScriptedHost, ScriptedPorts {
    void Retire() override { ScriptedHost::Retire(), lost = true; }
};

using ConnectionsForm = FormRig;

TEST_F(ConnectionsForm, ConnectedPortsAreSavedWhateverTheirNamesAndComeBackAtTheNextStart) {
    Names keyboards = {"a2j:Keys [20] (capture): MIDI 1", "say \"hi\" \\o/:out", "two\nlines:out", "100%:out",
                       "Gr\xC3\xBC\xC3\x9F" "e:out", "zz:\xC3\x9C"};
    auto graph = [&] {
        auto ported = std::make_shared<PortedHost>();
        for (const auto& name : keyboards) ported->ports[name] = true;
        ported->ports["synth:in"] = false;
        return ported;
    };
    // Remembered from earlier runs, ports that do not come this time: 10,000
    // keyboards, and synths numbered with gaps (values deleted by hand), two
    // of them stored as no VLXArp writes them, one with a name of 10 KB.
    const std::string big = "big:" + std::string(10240, 'x');
    QByteArray keyboardLines;
    for (int n = 1; n <= 10000; ++n)
        keyboardLines += "\"ConnectedIn" + QByteArray::number(n) + "\"=\"gone" + QByteArray::number(n) + ":out\"\n";
    {
        QFile file(Util::KeyFilePath(Form1::kKeyPath));
        ASSERT_TRUE(QDir().mkpath(QFileInfo(file).absolutePath()));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[HKEY_CURRENT_USER\\Software\\Veloxa\\VLXArp]\n" + keyboardLines +
                   "\"ConnectedOut1\"=\"old:in\"\n\"ConnectedOut3\"=\"bad:%ZZ\"\n\"ConnectedOut5\"=\"lone:%\"\n" +
                   "\"ConnectedOut7\"=\"" + QByteArray::fromStdString(big) + "\"\n");
    }
    auto first = graph();
    host = first;
    start();
    for (const auto& name : keyboards) first->userConnect(name, ScriptedPorts::kIn);
    first->userConnect(ScriptedPorts::kOut, "synth:in");
    // Another instance closing at the same moment holds the file's lock
    // while it adds its keyboard: this close numbers its ports after it.
    QLockFile otherClose(Util::KeyFilePath(Form1::kKeyPath) + ".lock");
    ASSERT_TRUE(otherClose.tryLock(0));
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (QFile file(Util::KeyFilePath(Form1::kKeyPath)); file.open(QIODevice::Append))
            file.write("\"ConnectedIn10001\"=\"other:out\"\n");
        otherClose.unlock();
    });
    form->endWithoutClose(false);  // as when the display goes away
    other.join();
    const QString saved = settingsText();
    EXPECT_TRUE(saved.contains(QString::fromLatin1(keyboardLines))) << "remembered, in order, unchanged";
    {
        Util::HeldKey held(Form1::kKeyPath);
        auto value = [](const std::string& name) {
            Util::Value v;
            return Util::GetKeyValue(Form1::kKeyPath, name, v) == Util::Success ? Util::ToText(v) : "(none)";
        };
        // Then the other instance's, and the ports connected since, in name order, as VLXArp stores them.
        const Names connectedIn = {"other:out", "100%25:out", "Gr%C3%BC%C3%9Fe:out", "a2j:Keys [20] (capture): MIDI 1",
                                   "say \"hi\" \\o/:out", "two%0Alines:out", "zz:%C3%9C", "(none)"};
        for (int n = 0; n < 8; ++n) EXPECT_EQ(value("ConnectedIn" + std::to_string(10001 + n)), connectedIn[n]);
        const Names out = {"old:in", "bad:%ZZ", "lone:%", big, "synth:in", "(none)", "(none)"};
        for (int n = 0; n < 7; ++n) EXPECT_EQ(value("ConnectedOut" + std::to_string(n + 1)), out[n]) << n + 1;
    }
    EXPECT_TRUE(saved.contains("\"ConnectedIn10005\"=\"say \\\"hi\\\" \\\\o/:out\"\n")) << "escaped in the file";
    EXPECT_TRUE(first->links.contains({keyboards[0], "synth:in"})) << "Close Veloxa after Exit unchecked";

    auto second = graph();
    host = second;
    start();
    std::sort(keyboards.begin(), keyboards.end());
    EXPECT_EQ(peers(*second, In), keyboards);
    EXPECT_EQ(peers(*second, Out), Names{"synth:in"});
    second->appear("old:in", false);
    EXPECT_EQ(peers(*second, Out), (Names{"old:in", "synth:in"})) << "still remembered, connected as it appears";
}

// A host whose MIDI system refused it something while staying asks to be
// renewed: once arpeggiation is off the window puts a fresh host in its
// place without a word, connected as the old one was, a connection whose
// notice had not come yet among them, but not to the port whose connection
// the user has just ended. A fresh host that cannot be opened is a loss.
TEST_F(ConnectionsForm, AHostDueForRenewalIsReplacedQuietlyOnceArpeggiationIsOffWithItsConnections) {
    auto graph = [] {
        auto ported = std::make_shared<PortedHost>();
        ported->ports.insert({{"kbd:out", true}, {"synth:in", false}, {"synth2:in", false}, {"late:in", false}});
        return ported;
    };
    auto first = graph();
    auto fresh = graph();
    first->reopen = [&]() -> std::shared_ptr<HostAutomation> { return fresh; };
    host = first;
    Form1& f = start();
    first->userConnect("kbd:out", ScriptedPorts::kIn);
    first->userConnect(ScriptedPorts::kOut, "synth:in");
    first->userConnect(ScriptedPorts::kOut, "synth2:in");
    first->userDisconnect(ScriptedPorts::kOut, "synth2:in");
    first->links.emplace(ScriptedPorts::kOut, "late:in");  // its notice still on its way

    f.Enable->setChecked(true);
    first->AskRenewal();
    settle();
    EXPECT_TRUE(f.host() == first) << "not while arpeggiating";
    EXPECT_TRUE(f.Enable->isChecked());
    f.Enable->setChecked(false);
    settle();
    ASSERT_TRUE(f.host() == fresh);
    EXPECT_EQ(fresh->processor, f.player()) << "the new host drives the player";
    EXPECT_EQ(first->processor, nullptr);
    const Calls calls = first->memberCalls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "Retire"), 1);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(f.Status->text(), "Veloxa:1 Ver: Scripted 1.0");
    EXPECT_EQ(peers(*fresh, In), Names{"kbd:out"});
    EXPECT_EQ(peers(*fresh, Out), (Names{"late:in", "synth:in"}));

    // Asked while off: at once.
    fresh->reopen = []() -> std::shared_ptr<HostAutomation> { throw std::runtime_error("no server answers"); };
    fresh->AskRenewal();
    settle();
    auto* notice = f.findChild<QMessageBox*>("ConnectionNotice");
    ASSERT_NE(notice, nullptr);
    EXPECT_NE(notice->text().toStdString().find("no server answers"), std::string::npos) << notice->text().toStdString();
    EXPECT_EQ(f.Status->text(), "MIDI connection lost");
}

}  // namespace
}  // namespace vlx::test
