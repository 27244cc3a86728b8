// SPDX-License-Identifier: GPL-3.0-or-later
// The ALSA host's port connections: subscriptions between sequencer ports,
// named "client name:port name" as patchbays show them.
#include <cerrno>

#include "host/alsa/AlsaHost.h"

namespace vlx::host {

namespace {

constexpr unsigned kReadable = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
constexpr unsigned kWritable = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;

// What another client's port must offer to connect to the own port.
unsigned capsFor(OwnPort port) { return port == OwnPort::In ? kReadable : kWritable; }

// Calls `visit(address, name, caps)` for every port of every client but the
// system's and `self`, with its name.
template <class Visit>
void eachPort(snd_seq_t* seq, int self, Visit&& visit) {
    snd_seq_client_info_t* client = nullptr;
    snd_seq_port_info_t* port = nullptr;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(seq, client) >= 0) {
        const int id = snd_seq_client_info_get_client(client);
        if (id == SND_SEQ_CLIENT_SYSTEM || id == self) continue;
        const std::string clientName = snd_seq_client_info_get_name(client);
        snd_seq_port_info_set_client(port, id);
        snd_seq_port_info_set_port(port, -1);
        while (snd_seq_query_next_port(seq, port) >= 0) {
            const unsigned caps = snd_seq_port_info_get_capability(port);
            if (caps & SND_SEQ_PORT_CAP_NO_EXPORT) continue;
            visit(*snd_seq_port_info_get_addr(port), clientName + ":" + snd_seq_port_info_get_name(port), caps);
        }
    }
}

}  // namespace

void AlsaHost::watchAnnouncements() {
    // Written to only by the system's announcements: no other client can
    // subscribe it, and patchbays do not list it.
    announcePort_ = snd_seq_create_simple_port(seq_, "announcements", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                               SND_SEQ_PORT_TYPE_APPLICATION);
    // Without them, ports that appear later are not connected; everything
    // else works.
    if (announcePort_ >= 0 &&
        snd_seq_connect_from(seq_, announcePort_, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE) < 0) {
        snd_seq_delete_simple_port(seq_, announcePort_);
        announcePort_ = -1;
    }
}

snd_seq_addr_t AlsaHost::own(OwnPort port) const noexcept {
    snd_seq_addr_t addr{};
    addr.client = static_cast<unsigned char>(snd_seq_client_id(seq_));
    addr.port = static_cast<unsigned char>(port == OwnPort::In ? inPort_ : outPort_);
    return addr;
}

std::string AlsaHost::nameOf(const snd_seq_addr_t& addr) const {
    snd_seq_client_info_t* client = nullptr;
    snd_seq_port_info_t* port = nullptr;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    if (snd_seq_get_any_client_info(seq_, addr.client, client) < 0 ||
        snd_seq_get_any_port_info(seq_, addr.client, addr.port, port) < 0)
        return std::to_string(addr.client) + ":" + std::to_string(addr.port);
    return std::string(snd_seq_client_info_get_name(client)) + ":" + snd_seq_port_info_get_name(port);
}

std::optional<snd_seq_addr_t> AlsaHost::portNamed(const std::string& name, unsigned caps) const {
    std::optional<snd_seq_addr_t> found;
    eachPort(seq_, snd_seq_client_id(seq_), [&](const snd_seq_addr_t& addr, const std::string& n, unsigned c) {
        if (!found && n == name && (c & caps) == caps) found = addr;
    });
    return found;
}

bool AlsaHost::subscribe(const snd_seq_addr_t& sender, const snd_seq_addr_t& dest, bool on) {
    snd_seq_port_subscribe_t* subs = nullptr;
    snd_seq_port_subscribe_alloca(&subs);
    snd_seq_port_subscribe_set_sender(subs, &sender);
    snd_seq_port_subscribe_set_dest(subs, &dest);
    if (!on) return snd_seq_unsubscribe_port(seq_, subs) >= 0;
    const int err = snd_seq_subscribe_port(seq_, subs);
    return err >= 0 || err == -EBUSY;  // -EBUSY: subscribed already
}

std::string AlsaHost::OwnPortName(OwnPort port) { return nameOf(own(port)); }

std::optional<std::vector<std::string>> AlsaHost::Peers(OwnPort port) {
    if (connectionLost()) return std::nullopt;
    std::vector<std::string> peers;
    snd_seq_query_subscribe_t* query = nullptr;
    snd_seq_query_subscribe_alloca(&query);
    const snd_seq_addr_t root = own(port);
    snd_seq_query_subscribe_set_root(query, &root);
    // WRITE: the ports that write to the root; READ: those that read from it.
    snd_seq_query_subscribe_set_type(query, port == OwnPort::In ? SND_SEQ_QUERY_SUBS_WRITE : SND_SEQ_QUERY_SUBS_READ);
    snd_seq_query_subscribe_set_index(query, 0);
    while (snd_seq_query_port_subscribers(seq_, query) >= 0) {
        peers.push_back(nameOf(*snd_seq_query_subscribe_get_addr(query)));
        snd_seq_query_subscribe_set_index(query, snd_seq_query_subscribe_get_index(query) + 1);
    }
    return peers;
}

std::vector<std::string> AlsaHost::Candidates(OwnPort port) {
    std::vector<std::string> names;
    if (connectionLost()) return names;
    const unsigned caps = capsFor(port);
    eachPort(seq_, snd_seq_client_id(seq_), [&](const snd_seq_addr_t&, const std::string& name, unsigned c) {
        if ((c & caps) == caps) names.push_back(name);
    });
    return names;
}

bool AlsaHost::Connect(OwnPort port, const std::string& peer) {
    if (connectionLost()) return false;
    const auto addr = portNamed(peer, capsFor(port));  // never one of the own ports
    if (!addr) return false;
    return port == OwnPort::In ? subscribe(*addr, own(port), true) : subscribe(own(port), *addr, true);
}

bool AlsaHost::Disconnect(OwnPort port, const std::string& peer) {
    if (connectionLost()) return false;
    const auto addr = portNamed(peer, capsFor(port));
    if (!addr) return false;
    return port == OwnPort::In ? subscribe(*addr, own(port), false) : subscribe(own(port), *addr, false);
}

bool AlsaHost::ConnectPorts(const std::string& source, const std::string& destination) {
    if (connectionLost()) return false;
    const auto from = portNamed(source, kReadable);
    const auto to = portNamed(destination, kWritable);
    return from && to && subscribe(*from, *to, true);
}

}  // namespace vlx::host
