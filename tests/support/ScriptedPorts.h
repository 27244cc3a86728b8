// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Port connections for tests: a graph of named ports that the test changes
// as a MIDI system's users would, each change followed by PortsChanged. Its
// own ports "VLXArp:in" and "VLXArp:out" are among the candidates too, so
// keeping away from them is the caller's work. `lost`: nothing can be told.
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "host/api/PortConnections.h"

namespace vlx::test {

class ScriptedPorts : public PortConnections {
public:
    static constexpr const char* kIn = "VLXArp:in";
    static constexpr const char* kOut = "VLXArp:out";
    using Link = std::pair<std::string, std::string>;  // source, destination

    std::map<std::string, bool> ports{{kIn, false}, {kOut, true}};  // name -> is an output
    std::set<Link> links;
    bool lost = false;

    std::string OwnPortName(OwnPort p) override { return p == OwnPort::In ? kIn : kOut; }
    std::optional<std::vector<std::string>> Peers(OwnPort p) override {
        if (lost) return std::nullopt;
        std::vector<std::string> peers;  // in name order
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
    bool Connect(OwnPort p, const std::string& peer) override { return ConnectPorts(ours(p, peer).first, ours(p, peer).second); }
    bool Disconnect(OwnPort p, const std::string& peer) override { return !lost && links.erase(ours(p, peer)) > 0; }
    bool ConnectPorts(const std::string& from, const std::string& to) override {
        if (lost || !ports.contains(from) || !ports.contains(to) || !ports[from] || ports[to]) return false;
        return links.emplace(from, to), true;
    }

    void appear(const std::string& name, bool output) { ports[name] = output, RaisePortsChanged(); }
    // As a JACK client that closes: its connections end first, then its port.
    void vanish(const std::string& name) {
        std::erase_if(links, [&](const Link& l) { return l.first == name || l.second == name; });
        RaisePortsChanged();
        ports.erase(name);
        RaisePortsChanged();
    }
    void userConnect(const std::string& from, const std::string& to) { links.emplace(from, to), RaisePortsChanged(); }
    void userDisconnect(const std::string& from, const std::string& to) { links.erase({from, to}), RaisePortsChanged(); }

private:
    static Link ours(OwnPort p, const std::string& peer) { return p == OwnPort::In ? Link{peer, kIn} : Link{kOut, peer}; }
};

}  // namespace vlx::test
