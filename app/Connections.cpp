#include "app/Connections.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include <QByteArray>

namespace vlx {

namespace {

std::size_t at(OwnPort port) { return port == OwnPort::In ? 0 : 1; }

constexpr OwnPort kBoth[] = {OwnPort::In, OwnPort::Out};

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

PortPattern::PortPattern(const QString& text)
    : text_(text), regex_(QRegularExpression::anchoredPattern(text)) {}

bool PortPattern::matches(const std::string& port) const {
    const QString name = QString::fromStdString(port);
    return name == text_ || (regex_.isValid() && regex_.match(name).hasMatch());
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

void ConnectionKeeper::remember(OwnPort port, const std::vector<std::string>& names) {
    for (const std::string& name : names)
        if (!name.empty()) sides_[at(port)].wanted.insert(name);
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
        if (!connect) continue;

        bool made = false;
        for (const std::string& name : candidates) {
            if (side.connected.contains(name) || side.refused.contains(name) || side.ending.contains(name)) continue;
            const bool wanted = side.wanted.contains(name);
            const bool asked = std::any_of(side.asked.begin(), side.asked.end(),
                                           [&](const PortPattern& p) { return p.matches(name); });
            if ((wanted || asked) && ports->Connect(port, name)) {
                side.wanted.insert(name);
                made = true;
            }
        }
        // Counted as connected once the host lists it: a server may make the
        // connection a moment after the call (its notice then comes later).
        if (const auto after = made ? ports->Peers(port) : std::nullopt) {
            for (const std::string& name : *after)
                if (!own_.contains(name)) side.connected.insert(name);
        }
    }
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
    return (port == OwnPort::In ? "ConnectedIn" : "ConnectedOut") + std::to_string(n);
}

bool ConnectionKeeper::IsValueName(const std::string& valueName) {
    for (const char* prefix : {"ConnectedIn", "ConnectedOut"}) {
        const std::string p = prefix;
        if (valueName.size() > p.size() && valueName.starts_with(p) &&
            std::all_of(valueName.begin() + static_cast<std::ptrdiff_t>(p.size()), valueName.end(),
                        [](unsigned char c) { return c >= '0' && c <= '9'; }))
            return true;
    }
    return false;
}

std::string ConnectionKeeper::Stored(const std::string& portName) {
    return QByteArray::fromStdString(portName).toPercentEncoding(keptAsItIs()).toStdString();
}

std::string ConnectionKeeper::Unstored(const std::string& stored) {
    return QByteArray::fromPercentEncoding(QByteArray::fromStdString(stored)).toStdString();
}

}  // namespace vlx
