#pragma once
// Port connections for tests: a graph of named ports that the test changes
// as a MIDI system's users would (ports appear and go, the user connects and
// disconnects), raising PortsChanged for each change. Its own ports are
// "VLXArp:in" and "VLXArp:out"; it offers them among the candidates too, so
// that keeping away from them is the caller's work.
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "host/PortConnections.h"

namespace vlx::test {

class ScriptedPorts : public PortConnections {
public:
    static constexpr const char* kIn = "VLXArp:in";
    static constexpr const char* kOut = "VLXArp:out";

    std::map<std::string, bool> ports{{kIn, false}, {kOut, true}};  // name -> is an output
    std::set<std::pair<std::string, std::string>> links;             // source -> destination
    bool lost = false;  // the MIDI system went away: nothing can be told or done

    std::string OwnPortName(OwnPort p) override { return p == OwnPort::In ? kIn : kOut; }
    std::optional<std::vector<std::string>> Peers(OwnPort p) override {
        if (lost) return std::nullopt;
        std::vector<std::string> peers;
        for (const auto& [from, to] : links) {
            if (p == OwnPort::In && to == kIn) peers.push_back(from);
            if (p == OwnPort::Out && from == kOut) peers.push_back(to);
        }
        return peers;
    }
    std::vector<std::string> Candidates(OwnPort p) override {
        std::vector<std::string> names;
        for (const auto& [name, output] : ports)
            if (!lost && output == (p == OwnPort::In)) names.push_back(name);
        return names;
    }
    bool Connect(OwnPort p, const std::string& peer) override {
        return p == OwnPort::In ? ConnectPorts(peer, kIn) : ConnectPorts(kOut, peer);
    }
    bool Disconnect(OwnPort p, const std::string& peer) override {
        return !lost && links.erase(p == OwnPort::In ? std::pair<std::string, std::string>(peer, kIn)
                                                     : std::pair<std::string, std::string>(kOut, peer)) > 0;
    }
    bool ConnectPorts(const std::string& from, const std::string& to) override {
        if (lost || !ports.contains(from) || !ports.contains(to) || !ports[from] || ports[to]) return false;
        links.emplace(from, to);
        return true;
    }

    // What happens on the MIDI system, each followed by its notice.
    void appear(const std::string& name, bool output) {
        ports[name] = output;
        RaisePortsChanged();
    }
    void vanish(const std::string& name) {
        ports.erase(name);
        std::erase_if(links, [&](const auto& link) { return link.first == name || link.second == name; });
        RaisePortsChanged();
    }
    void userConnect(const std::string& from, const std::string& to) {
        links.emplace(from, to);
        RaisePortsChanged();
    }
    void userDisconnect(const std::string& from, const std::string& to) {
        links.erase({from, to});
        RaisePortsChanged();
    }
    // The peers of an own port, sorted.
    std::vector<std::string> peersOf(OwnPort p) { return lost ? std::vector<std::string>{} : *Peers(p); }
};

}  // namespace vlx::test
