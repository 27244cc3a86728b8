// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Connections.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <utility>

#include <QByteArray>
#include <re2/re2.h>

namespace vlx {

namespace {

std::size_t at(OwnPort port) { return port == OwnPort::In ? 0 : 1; }

constexpr OwnPort kBoth[] = {OwnPort::In, OwnPort::Out};

// The settings values of an own port's connections: the prefix and a number from 1.
const char* valuePrefix(OwnPort port) { return port == OwnPort::In ? "ConnectedIn" : "ConnectedOut"; }

// Printable ASCII but the escape character itself.
const QByteArray& keptAsItIs() {
    static const QByteArray kept = [] {
        QByteArray chars;
        for (char c = ' '; c <= '~'; ++c)
            if (c != '%') chars += c;
        return chars;
    }();
    return kept;
}

}  // namespace

PortPattern::PortPattern(const QString& text) : text_(text), exact_(text.toStdString()) {
    re2::RE2::Options options;
    options.set_log_errors(false);  // a mistake is said once, by warnings()
    options.set_never_capture(true);
    regex_ = std::make_shared<const re2::RE2>(exact_, options);
}

bool PortPattern::matches(const std::string& port) const {
    // Compared as text: a byte that is no UTF-8 stands for U+FFFD, as it
    // does in the argument.
    const std::string name = QString::fromStdString(port).toStdString();
    return name == exact_ || (regex_->ok() && re2::RE2::FullMatch(name, *regex_));
}

QString PortPattern::problem() const {
    return regex_->ok() ? QString() : QString::fromStdString(regex_->error());
}

ConnectionKeeper::ConnectionKeeper(const QStringList& connectIn, const QStringList& connectOut, Clock clock)
    : clock_(clock ? std::move(clock) : [] {
          return std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now().time_since_epoch())
              .count();
      }) {
    for (const QString& text : connectIn) sides_[at(OwnPort::In)].asked.emplace_back(text);
    for (const QString& text : connectOut) sides_[at(OwnPort::Out)].asked.emplace_back(text);
}

QStringList ConnectionKeeper::warnings() const {
    QStringList lines;
    for (OwnPort port : kBoth) {
        for (const PortPattern& pattern : sides_[at(port)].asked) {
            if (pattern.problem().isEmpty()) continue;
            lines << QStringLiteral("--connect-%1 '%2' is no regular expression (%3); it connects only a port of "
                                    "exactly that name")
                         .arg(port == OwnPort::In ? QStringLiteral("in") : QStringLiteral("out"), pattern.text(),
                              pattern.problem());
        }
    }
    return lines;
}

void ConnectionKeeper::remember(OwnPort port, const std::vector<std::string>& stored) {
    for (const std::string& text : stored)
        if (std::string name = Unstored(text); !name.empty()) sides_[at(port)].wanted.insert(std::move(name));
}

void ConnectionKeeper::attach(const std::shared_ptr<PortConnections>& ports) {
    ports_ = ports;
    own_.clear();
    // A fresh host has no connections yet: what the old one had stays wanted.
    for (Side& side : sides_) side.connected.clear();
    if (!ports) return;
    for (OwnPort port : kBoth) own_.insert(ports->OwnPortName(port));
    sync(true);
}

void ConnectionKeeper::portsChanged() { sync(true); }

void ConnectionKeeper::sync(bool connect) {
    const std::shared_ptr<PortConnections> ports = ports_.lock();
    if (!ports) return;
    for (OwnPort port : kBoth) {
        Side& side = sides_[at(port)];
        const auto peers = ports->Peers(port);
        if (!peers) continue;  // the host cannot tell: keep what was known
        knows_ = true;
        std::set<std::string> now;
        for (const std::string& name : *peers)
            if (!own_.contains(name)) now.insert(name);
        std::vector<std::string> candidates = ports->Candidates(port);
        std::erase_if(candidates, [this](const std::string& name) { return own_.contains(name); });
        const std::set<std::string> present(candidates.begin(), candidates.end());
        std::erase_if(side.askedFor, [&](const auto& known) { return !present.contains(known.first); });

        // A connection whose port went away is made again when the port
        // comes back; one that ended while its port stays was ended on
        // purpose, once the port has outlived it long enough to tell.
        const std::int64_t ms = clock_();
        for (const std::string& name : side.connected)
            if (!now.contains(name) && present.contains(name)) side.ending.emplace(name, ms);
        for (auto it = side.ending.begin(); it != side.ending.end();) {
            const auto& [name, since] = *it;
            const bool settled = ms - since > kGoingAwayMs;
            if (settled && !now.contains(name)) {
                side.wanted.erase(name);
                side.refused.insert(name);
            }
            if (settled || now.contains(name) || !present.contains(name))
                it = side.ending.erase(it);
            else
                ++it;  // undecided: left alone meanwhile
        }
        for (const std::string& name : now) {
            if (side.connected.contains(name)) continue;
            side.refused.erase(name);
            side.wanted.insert(name);
        }
        side.connected = std::move(now);
        side.ever.insert(side.connected.begin(), side.connected.end());
        if (!connect) continue;

        bool made = false;
        for (const std::string& name : candidates) {
            if (side.connected.contains(name) || side.refused.contains(name) || side.ending.contains(name)) continue;
            if ((side.wanted.contains(name) || isAsked(side, name)) && ports->Connect(port, name)) {
                side.wanted.insert(name);
                made = true;
            }
        }
        // Counted as connected once the host lists it: a server may make the
        // connection a moment after the call (its notice then comes later).
        if (const auto after = made ? ports->Peers(port) : std::nullopt) {
            for (const std::string& name : *after) {
                if (own_.contains(name)) continue;
                side.connected.insert(name);
                side.ever.insert(name);
            }
        }
    }
}

// Each port is matched once while it stays: a notice of the ports comes with
// every connection made anywhere, and there may be many patterns.
bool ConnectionKeeper::isAsked(Side& side, const std::string& name) {
    const auto [it, fresh] = side.askedFor.try_emplace(name, false);
    if (fresh)
        it->second = std::any_of(side.asked.begin(), side.asked.end(),
                                 [&](const PortPattern& p) { return p.matches(name); });
    return it->second;
}

std::vector<std::string> ConnectionKeeper::toRemember(OwnPort port, const std::vector<std::string>& stored) {
    sync(false);
    const Side& side = sides_[at(port)];
    std::vector<std::string> kept;
    std::set<std::string> listed;
    for (const std::string& text : stored) {
        std::string name = Unstored(text);
        if (side.refused.contains(name)) continue;
        kept.push_back(text);
        listed.insert(std::move(name));
    }
    for (const std::string& name : side.ever)
        if (!listed.contains(name) && !side.refused.contains(name)) kept.push_back(Stored(name));
    return kept;
}

std::vector<std::string> ConnectionKeeper::connected(OwnPort port) {
    sync(false);
    const auto& names = sides_[at(port)].connected;
    return {names.begin(), names.end()};
}

int ConnectionKeeper::bridge() {
    const std::shared_ptr<PortConnections> ports = ports_.lock();
    if (!ports) return 0;
    auto sources = ports->Peers(OwnPort::In);
    auto destinations = ports->Peers(OwnPort::Out);
    if (!sources || !destinations) return 0;
    auto notOwn = [this](std::vector<std::string>& names) {
        std::erase_if(names, [this](const std::string& name) { return own_.contains(name); });
    };
    notOwn(*sources);
    notOwn(*destinations);
    if (destinations->empty()) return 0;
    int made = 0;
    for (const std::string& source : *sources)
        for (const std::string& destination : *destinations) made += ports->ConnectPorts(source, destination) ? 1 : 0;
    // What is played from now on takes the direct way only, instead of
    // sounding twice until the program has left.
    for (const std::string& source : *sources) ports->Disconnect(OwnPort::In, source);
    return made;
}

std::string ConnectionKeeper::ValueName(OwnPort port, int n) {
    return valuePrefix(port) + std::to_string(n);
}

std::optional<ConnectionKeeper::Numbered> ConnectionKeeper::NumberedValue(const std::string& valueName) {
    for (OwnPort port : kBoth) {
        const QString prefix = QString::fromLatin1(valuePrefix(port));
        const QString name = QString::fromStdString(valueName);
        if (!name.startsWith(prefix, Qt::CaseInsensitive)) continue;  // value names are not case-sensitive
        const QString digits = name.mid(prefix.size());
        const bool decimal = !digits.isEmpty() && std::all_of(digits.begin(), digits.end(), [](QChar c) {
            return c >= u'0' && c <= u'9';
        });
        bool ok = false;
        const long n = digits.toLong(&ok);
        if (decimal) return Numbered{port, ok ? n : std::numeric_limits<long>::max()};
    }
    return std::nullopt;
}

std::string ConnectionKeeper::Stored(const std::string& portName) {
    return QByteArray::fromStdString(portName).toPercentEncoding(keptAsItIs()).toStdString();
}

std::string ConnectionKeeper::Unstored(const std::string& stored) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string name;
    name.reserve(stored.size());
    for (std::size_t i = 0; i < stored.size(); ++i) {
        const int high = stored[i] == '%' && i + 2 < stored.size() ? hex(stored[i + 1]) : -1;
        const int low = high >= 0 ? hex(stored[i + 2]) : -1;
        if (low < 0) {
            name += stored[i];
            continue;
        }
        name += static_cast<char>(high << 4 | low);
        i += 2;
    }
    return name;
}

}  // namespace vlx
