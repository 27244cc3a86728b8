// Which ports VLXArp:in and VLXArp:out are connected to: the command line's
// names and patterns, what is remembered, what the user connects and
// disconnects while the program runs, what the settings file keeps, and the
// keyboard left playing the synth at the end. On scripted port graphs; the
// same on a real JACK server is in ConnectionsEndToEndTest.
#include <QCheckBox>

#include "FormRig.h"
#include "app/Connections.h"
#include "support/ScriptedPorts.h"

namespace vlx::test {
namespace {

using Names = std::vector<std::string>;
constexpr OwnPort In = OwnPort::In;
constexpr OwnPort Out = OwnPort::Out;

TEST(Connections, ArgumentsConnectExactNamesOrWholeNameMatchesOfTheirDirectionNeverTheProgramItself) {
    const std::string a2j = "a2j:Keys [20] (capture): MIDI 1";  // no regular expression matches it as it stands
    struct Case {
        OwnPort side;
        QString argument;
        Names connected;
        bool warned;  // it is no regular expression
    };
    const Case cases[] = {
        {In, "kbd:out", {"kbd:out"}, false},
        {In, QString::fromStdString(a2j), {a2j}, false},
        {In, "kbd:.*", {"kbd:out"}, false},             // kbd:in is an input: it cannot feed VLXArp:in
        {In, "kbd", {}, false},                         // whole names only
        {In, "synth:in", {}, false},
        {Out, "synth:in", {"synth:in"}, false},
        {Out, ".*", {"kbd:in", "synth:in"}, false},     // not VLXArp:in
        {In, "VLXArp:.*", {}, false},
        {In, "odd:(", {"odd:("}, true},                 // taken as an exact name only
        {In, "kbd:(", {}, true},
    };
    for (const Case& c : cases) {
        auto ports = std::make_shared<ScriptedPorts>();
        for (const auto& [name, output] : {std::pair<std::string, bool>{"kbd:out", true},
                                           {"kbd:in", false},
                                           {"synth:in", false},
                                           {a2j, true},
                                           {"odd:(", true}})
            ports->ports[name] = output;
        ConnectionKeeper keeper(c.side == In ? QStringList{c.argument} : QStringList{},
                                c.side == Out ? QStringList{c.argument} : QStringList{});
        keeper.attach(ports);
        const std::string what = (c.side == In ? "--connect-in " : "--connect-out ") + c.argument.toStdString();
        EXPECT_EQ(ports->peersOf(c.side), c.connected) << what;
        EXPECT_EQ(ports->peersOf(c.side == In ? Out : In), Names{}) << what;
        EXPECT_EQ(keeper.warnings().size(), c.warned ? 1 : 0) << what;
    }
}

TEST(Connections, WantedPortsAreConnectedWhenTheyAppearUnlessTheUserDisconnectedThem) {
    auto shared = std::make_shared<ScriptedPorts>();
    ScriptedPorts& ports = *shared;
    ports.ports.insert({{"kbd:out", true}, {"synth:in", false}});
    ConnectionKeeper keeper({}, {"late:.*"});
    keeper.remember(In, {"kbd:out"});
    keeper.remember(Out, {"synth:in", "synth2:in"});
    ports.OnPortsChanged([&] { keeper.portsChanged(); });
    keeper.attach(shared);
    EXPECT_EQ(ports.peersOf(In), Names{"kbd:out"}) << "remembered and there at the start";
    EXPECT_EQ(ports.peersOf(Out), Names{"synth:in"});

    ports.appear("synth2:in", false);
    ports.appear("late:in", false);
    ports.appear("stranger:in", false);
    EXPECT_EQ(ports.peersOf(Out), (Names{"late:in", "synth2:in", "synth:in"})) << "remembered or asked for, later";

    // Ended by the user, a connection stays ended when its port comes back;
    // a port that merely went away is connected again.
    ports.userDisconnect(ScriptedPorts::kOut, "synth:in");
    ports.userDisconnect(ScriptedPorts::kOut, "late:in");
    for (const char* name : {"synth:in", "late:in", "synth2:in"}) {
        ports.vanish(name);
        ports.appear(name, false);
    }
    EXPECT_EQ(ports.peersOf(Out), Names{"synth2:in"});
    // What the user connects is kept the same way; connected again, a port
    // the user had disconnected is wanted again.
    ports.userConnect(ScriptedPorts::kOut, "stranger:in");
    ports.userConnect(ScriptedPorts::kOut, "late:in");
    for (const char* name : {"stranger:in", "late:in"}) {
        ports.vanish(name);
        ports.appear(name, false);
    }
    EXPECT_EQ(ports.peersOf(Out), (Names{"late:in", "stranger:in", "synth2:in"}));

    // What the host cannot tell (it went away) is as last known.
    ports.lost = true;
    EXPECT_EQ(keeper.connected(Out), (Names{"late:in", "stranger:in", "synth2:in"}));
    EXPECT_EQ(keeper.bridge(), 0);
    ports.lost = false;

    // A fresh host restores all of it.
    auto renewed = std::make_shared<ScriptedPorts>();
    ScriptedPorts& fresh = *renewed;
    fresh.ports = ports.ports;
    keeper.attach(renewed);
    EXPECT_EQ(fresh.peersOf(In), Names{"kbd:out"});
    EXPECT_EQ(fresh.peersOf(Out), (Names{"late:in", "stranger:in", "synth2:in"}));

    // At the end the keyboard plays what the program played to, directly.
    fresh.userConnect(ScriptedPorts::kOut, ScriptedPorts::kIn);  // a loop through the program is not bridged
    EXPECT_EQ(keeper.bridge(), 3);
    EXPECT_EQ(fresh.peersOf(In), Names{ScriptedPorts::kOut}) << "what fed the program lets go of it";
    for (const char* to : {"late:in", "stranger:in", "synth2:in"})
        EXPECT_TRUE(fresh.links.contains({"kbd:out", to})) << to;
    renewed.reset();  // a host let go of without a word tells nothing more
    EXPECT_EQ(keeper.connected(In), Names{"kbd:out"});
}

// A scripted host with a scripted port graph.
struct PortedHost : ScriptedHost, ScriptedPorts {};

using ConnectionsForm = FormRig;

TEST_F(ConnectionsForm, ConnectedPortsAreSavedWhateverTheirNamesAndComeBackAtTheNextStart) {
    const Names keyboards = {"a2j:Keys [20] (capture): MIDI 1", "say \"hi\" \\o/:out", "two\nlines:out",
                             "100%:out", "Gr\xC3\xBC\xC3\x9F" "e:out"};
    auto graph = [&] {
        auto ported = std::make_shared<PortedHost>();
        for (const auto& name : keyboards) ported->ports[name] = true;
        ported->ports["synth:in"] = false;
        return ported;
    };
    // Remembered from an earlier run: two ports that do not come this time.
    store("ConnectedOut1", std::string("old:in"), Util::TypeText);
    store("ConnectedOut2", std::string("older:in"), Util::TypeText);
    auto first = graph();
    host = first;
    start();
    for (const auto& name : keyboards) first->userConnect(name, ScriptedPorts::kIn);
    first->userConnect(ScriptedPorts::kOut, "synth:in");
    form->endWithoutClose(false);  // as when the display goes away
    const QString saved = settingsText();
    EXPECT_TRUE(saved.contains("\"ConnectedIn1\"=\"100%25:out\"\n")) << saved.toStdString();
    EXPECT_TRUE(saved.contains("\"ConnectedIn4\"=\"say \\\"hi\\\" \\\\o/:out\"\n")) << saved.toStdString();
    EXPECT_TRUE(saved.contains("\"ConnectedOut1\"=\"synth:in\"\n")) << "what is connected at the close";
    EXPECT_FALSE(saved.contains("ConnectedOut2")) << saved.toStdString();
    EXPECT_TRUE(first->links.contains({keyboards[0], "synth:in"})) << "Close Veloxa after Exit unchecked";

    auto second = graph();
    host = second;
    start();
    Names sorted = keyboards;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(second->peersOf(In), sorted);
    EXPECT_EQ(second->peersOf(Out), Names{"synth:in"});
    // Checked, the box lets the connections end with the program.
    form->CloseOnExit->setChecked(true);
    ASSERT_TRUE(form->close());
    for (const auto& [from, to] : second->links) EXPECT_TRUE(from == ScriptedPorts::kOut || to == ScriptedPorts::kIn);

    // A host without connections leaves the remembered ones as they are.
    const QString remembered = settingsText();
    form.reset();
    host = std::make_shared<ScriptedHost>();
    start();
    ASSERT_TRUE(form->close());
    EXPECT_EQ(settingsText(), remembered);
}

}  // namespace
}  // namespace vlx::test
