// SPDX-License-Identifier: GPL-3.0-or-later
// The JACK host's port connections: connecting is a request to the server,
// made on the owner's thread; JACK's notification thread only notes that
// something changed.
#include <cerrno>

#include "host/jack/JackHost.h"

namespace vlx::host {

namespace {

// JACK's port names as strings; `names` is freed.
std::vector<std::string> taken(const char** names) {
    std::vector<std::string> out;
    if (!names) return out;
    for (const char** p = names; *p; ++p) out.emplace_back(*p);
    jack_free(names);
    return out;
}

bool made(int result) { return result == 0 || result == EEXIST; }

}  // namespace

void JackHost::watchPorts() {
    jack_set_port_registration_callback(client_, &JackHost::portRegistered, this);
    jack_set_port_connect_callback(client_, &JackHost::portConnected, this);
}

void JackHost::portRegistered(jack_port_id_t, int, void* self) {
    uncancellable([&] { static_cast<JackHost*>(self)->notePortsChanged(); });
}

void JackHost::portConnected(jack_port_id_t, jack_port_id_t, int, void* self) {
    uncancellable([&] { static_cast<JackHost*>(self)->notePortsChanged(); });
}

// Kept from the start: a lost host has let go of its ports.
std::string JackHost::OwnPortName(OwnPort port) { return ownNames_[port == OwnPort::In ? 0 : 1]; }

std::optional<std::vector<std::string>> JackHost::Peers(OwnPort port) {
    if (connectionLost()) return std::nullopt;
    return taken(jack_port_get_all_connections(client_, own(port)));
}

std::vector<std::string> JackHost::Candidates(OwnPort port) {
    if (connectionLost()) return {};
    const auto flags = port == OwnPort::In ? JackPortIsOutput : JackPortIsInput;
    std::vector<std::string> ports = taken(jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, flags));
    const std::string mine = clientName() + ":";
    std::erase_if(ports, [&](const std::string& name) { return name.starts_with(mine); });
    return ports;
}

bool JackHost::Connect(OwnPort port, const std::string& peer) {
    if (connectionLost() || peer.starts_with(clientName() + ":")) return false;
    const std::string mine = OwnPortName(port);
    return port == OwnPort::In ? made(jack_connect(client_, peer.c_str(), mine.c_str()))
                               : made(jack_connect(client_, mine.c_str(), peer.c_str()));
}

bool JackHost::Disconnect(OwnPort port, const std::string& peer) {
    if (connectionLost()) return false;
    const std::string mine = OwnPortName(port);
    return port == OwnPort::In ? jack_disconnect(client_, peer.c_str(), mine.c_str()) == 0
                               : jack_disconnect(client_, mine.c_str(), peer.c_str()) == 0;
}

bool JackHost::ConnectPorts(const std::string& source, const std::string& destination) {
    if (connectionLost()) return false;
    return made(jack_connect(client_, source.c_str(), destination.c_str()));
}

}  // namespace vlx::host
