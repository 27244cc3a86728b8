// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The connections of the program's own ports ("in" and "out") on a MIDI
// system that connects ports by name: JACK ports ("client:port") or ALSA
// sequencer ports ("client name:port name"). A host that offers it
// implements this beside HostAutomation; PortConnectionsOf finds it. A host
// without it (the tests' scripted host) has nothing to connect.
//
// Every member is called on the owner's thread. Ports are named in full.
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/api/HostAutomation.h"

namespace vlx {

enum class OwnPort { In, Out };

class PortConnections {
public:
    using ChangeHandler = std::function<void()>;

    PortConnections() = default;
    PortConnections(const PortConnections&) = delete;
    PortConnections& operator=(const PortConnections&) = delete;
    virtual ~PortConnections() = default;

    // The full name of the own port, e.g. "VLXArp:in".
    virtual std::string OwnPortName(OwnPort port) = 0;
    // The ports connected to the own port: those that feed "in", or those
    // that "out" feeds. Empty when the MIDI system cannot tell (it went away).
    virtual std::optional<std::vector<std::string>> Peers(OwnPort port) = 0;
    // The MIDI ports of other clients that can connect to the own port: the
    // output ports for "in", the input ports for "out".
    virtual std::vector<std::string> Candidates(OwnPort port) = 0;
    // True when the connection exists afterwards.
    virtual bool Connect(OwnPort port, const std::string& peer) = 0;
    virtual bool Disconnect(OwnPort port, const std::string& peer) = 0;
    // Connects two ports of other clients directly, an output to an input;
    // the connection stays when this client leaves.
    virtual bool ConnectPorts(const std::string& source, const std::string& destination) = 0;

    // Raised on the owner's thread (from HostAutomation::DeliverPending)
    // after ports appeared or went away, or a connection of the own ports
    // changed; several changes may come as one notice.
    void OnPortsChanged(ChangeHandler handler) { changed_ = std::move(handler); }

protected:
    void RaisePortsChanged() {
        if (changed_) changed_();
    }

private:
    ChangeHandler changed_;
};

// The host's port connections, or null when it has none.
inline PortConnections* PortConnectionsOf(HostAutomation* host) { return dynamic_cast<PortConnections*>(host); }

}  // namespace vlx
