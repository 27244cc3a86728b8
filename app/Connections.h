// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What VLXArp:in and VLXArp:out are connected to, kept across runs and while
// the program runs. It wants connected:
//   - the ports remembered from the last run,
//   - the ports the command line asks for (--connect-in, --connect-out),
//   - every port that was connected to the program while it ran,
// each as soon as it exists, now or when it appears later; never the
// program's own ports. A connection the user ends while its port stays is
// the user's choice: that port is left alone until it is connected again.
// A client that closes ends its connections a moment before its ports go, so
// a connection counts as ended by the user only once its port has outlived
// it by kGoingAwayMs; until then it is left alone too.
//
// All of it runs on the owner's thread: attach at the start (and again with
// the fresh host after a lost one), portsChanged when the host says so.
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <QString>
#include <QStringList>

#include "host/api/PortConnections.h"

namespace re2 {
class RE2;
}

namespace vlx {

// One --connect-in or --connect-out argument: a port's exact name, or a
// regular expression in RE2's syntax that matches the whole of a port's
// name. RE2 takes time linear in the name whatever the expression, so no
// argument can stall the program.
class PortPattern {
public:
    explicit PortPattern(const QString& text);
    bool matches(const std::string& port) const;
    // Empty when the text is a regular expression; otherwise why not, and
    // the text then matches only a port of exactly that name.
    QString problem() const;
    const QString& text() const { return text_; }

private:
    QString text_;
    std::string exact_;  // UTF-8, as port names are compared
    std::shared_ptr<const re2::RE2> regex_;
};

class ConnectionKeeper {
public:
    // Milliseconds of a steady clock; by default std::chrono::steady_clock's.
    using Clock = std::function<std::int64_t()>;
    static constexpr std::int64_t kGoingAwayMs = 1000;

    ConnectionKeeper(const QStringList& connectIn = {}, const QStringList& connectOut = {}, Clock clock = {});

    // One line per argument that is no regular expression, for stderr.
    QStringList warnings() const;

    // The ports remembered from the last run, as the settings file holds
    // them (Stored).
    void remember(OwnPort port, const std::vector<std::string>& stored);
    // Works on `ports` from now on (null: none) and connects what is wanted
    // and there. Called with a freshly opened host, it restores what the old
    // one had. Held weakly: a host let go of meanwhile cannot tell anything.
    void attach(const std::shared_ptr<PortConnections>& ports);
    // The host's PortsChanged: learns what the user connected and
    // disconnected, and connects wanted ports that appeared.
    void portsChanged();
    // Whether any host has told its connections: before that there is
    // nothing to remember.
    bool knows() const noexcept { return knows_; }
    // The ports connected to the own port now, in name order; as last known
    // when the host cannot tell (it went away) or none is attached.
    std::vector<std::string> connected(OwnPort port);
    // What to remember of the own port for the next run, Stored, given what
    // the settings file holds now (what was remembered, unless another
    // instance saved meanwhile): every entry of it as it stands and in its
    // order, but those the user disconnected while the program ran; then the
    // ports connected during the run that it lacks, in name order. A port
    // that never appeared stays as remembered.
    std::vector<std::string> toRemember(OwnPort port, const std::vector<std::string>& stored);
    // Connects every port that feeds "in" directly to every port that "out"
    // feeds, so that playing goes on when the program has gone, and then
    // lets go of what feeds "in". Returns the connections made.
    int bridge();

    // The settings value that holds the n-th (from 1) remembered port, and
    // its text: printable ASCII stays as it is, anything else (line breaks,
    // non-ASCII, '%') is percent-encoded, so any name survives the file.
    static std::string ValueName(OwnPort port, int n);
    struct Numbered {
        OwnPort port;
        long n;
    };
    // Which own port and number a settings value holds, if it is one of
    // them (ConnectedIn7, connectedout01).
    static std::optional<Numbered> NumberedValue(const std::string& valueName);
    static std::string Stored(const std::string& portName);
    // Percent sequences decoded; a '%' that starts none (%ZZ, a lone %)
    // stands for itself.
    static std::string Unstored(const std::string& stored);

private:
    struct Side {
        std::vector<PortPattern> asked;
        std::map<std::string, bool> askedFor;  // of the ports there: whether `asked` matches them
        std::set<std::string> wanted;     // exact names
        std::set<std::string> connected;  // as last seen
        std::set<std::string> ever;       // connected at some time while running
        std::set<std::string> refused;    // disconnected by the user while running
        std::map<std::string, std::int64_t> ending;  // ended while the port stayed, since when
    };
    void sync(bool connect);
    static bool isAsked(Side& side, const std::string& name);

    Clock clock_;
    std::array<Side, 2> sides_;
    std::weak_ptr<PortConnections> ports_;
    std::set<std::string> own_;
    bool knows_ = false;
};

}  // namespace vlx
