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
#include <set>
#include <string>
#include <vector>

#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include "host/PortConnections.h"

namespace vlx {

// One --connect-in or --connect-out argument: a port's exact name, or a
// regular expression that matches the whole of a port's name.
class PortPattern {
public:
    explicit PortPattern(const QString& text);
    bool matches(const std::string& port) const;
    // Empty when the text is a regular expression; otherwise why not, and
    // the text then matches only a port of exactly that name.
    QString problem() const { return regex_.isValid() ? QString() : regex_.errorString(); }
    const QString& text() const { return text_; }

private:
    QString text_;
    QRegularExpression regex_;
};

class ConnectionKeeper {
public:
    // Milliseconds of a steady clock; by default std::chrono::steady_clock's.
    using Clock = std::function<std::int64_t()>;
    static constexpr std::int64_t kGoingAwayMs = 1000;

    ConnectionKeeper(const QStringList& connectIn = {}, const QStringList& connectOut = {}, Clock clock = {});

    // One line per argument that is no regular expression, for stderr.
    QStringList warnings() const;

    // The ports remembered from the last run.
    void remember(OwnPort port, const std::vector<std::string>& names);
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
    // Connects every port that feeds "in" directly to every port that "out"
    // feeds, so that playing goes on when the program has gone, and then
    // lets go of what feeds "in". Returns the connections made.
    int bridge();

    // The settings value that holds the n-th (from 1) remembered port, and
    // its text: printable ASCII stays as it is, anything else (line breaks,
    // non-ASCII, '%') is percent-encoded, so any name survives the file.
    static std::string ValueName(OwnPort port, int n);
    static bool IsValueName(const std::string& valueName);
    static std::string Stored(const std::string& portName);
    static std::string Unstored(const std::string& stored);

private:
    struct Side {
        std::vector<PortPattern> asked;
        std::set<std::string> wanted;     // exact names
        std::set<std::string> connected;  // as last seen
        std::set<std::string> refused;    // disconnected by the user while running
        std::map<std::string, std::int64_t> ending;  // ended while the port stayed, since when
    };
    void sync(bool connect);

    Clock clock_;
    std::array<Side, 2> sides_;
    std::weak_ptr<PortConnections> ports_;
    std::set<std::string> own_;
    bool knows_ = false;
};

}  // namespace vlx
