// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Form1.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <utility>

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSocketNotifier>
#include <QTimer>

#include "app/HandsFreePanel.h"
#include "app/Util.h"
#include "app/WindowControls.h"
#include "model/Checked.h"
#include "model/HostTime.h"

// The icon lives in this static library; the linker keeps it only when asked.
static void loadResources() { Q_INIT_RESOURCE(vlxarp); }

namespace vlx {

namespace {

// At 96 dpi 15 twips are one pixel; Qt scales logical pixels for other screens.
QRect twips(int left, int top, int width, int height) { return {left / 15, top / 15, width / 15, height / 15}; }

constexpr int kPortsSettleMs = 200;
// How long the end waits for the player to take its last changes: a few
// periods of any server, and not so long that a stalled one holds a close.
constexpr int kSettleMs = 250;
const char* const kTitle = "Veloxa Arpeggiator";

QString caption(Control c) { return Form1::tr(InfoOf(c).label); }

QString tempoText(std::int32_t tenths) { return QString::fromStdString(ToText(Control::Tempo, tenths)); }

// Taps further apart than a beat at the slowest tempo start counting afresh.
constexpr std::int64_t kTapGapMs = 7500;
constexpr std::size_t kTaps = 4;

}  // namespace

// A tempo text is usable when the tempo's rule accepts it: a number from 8
// to 240, tested before rounding; whole bpm (half to even) unless exact
// steps keep a tenth.
std::optional<std::int32_t> Form1::tempoOf(const QString& text) const {
    const auto number = Util::NumberOf(text);
    if (!number) return std::nullopt;
    const auto tenths = Accept(Control::Tempo, *number);
    if (!tenths || valueOf(Control::ExactSteps) != 0) return tenths;
    return static_cast<std::int32_t>(checked::roundHalfEven(*number)) * 10;
}

// Four taps, a beat apart, give the tempo: the mean of their three beats,
// whole or to a tenth as a typed one; taps go on counting the last four.
void Form1::Tap(std::int64_t now) {
    if (Tempo->isReadOnly() || tempoRefused()) return;
    if (!taps_.empty() && (now - taps_.back() > kTapGapMs || now <= taps_.back())) taps_.clear();
    taps_.push_back(now);
    if (taps_.size() > kTaps) taps_.erase(taps_.begin());
    if (taps_.size() < kTaps || now == taps_.front()) return;
    const double bpm = 60000.0 * (kTaps - 1) / static_cast<double>(now - taps_.front());
    const double clamped = std::clamp(bpm, ToNumber(Control::Tempo, InfoOf(Control::Tempo).minimum),
                                      ToNumber(Control::Tempo, InfoOf(Control::Tempo).maximum));
    if (const auto tempo = tempoOf(QString::number(clamped, 'f', 2))) {
        touched_[static_cast<std::size_t>(Control::Tempo)] = true;
        VScrollTempo->setValue(*tempo);
    }
}

// The player rings it from the audio thread: an eventfd write never blocks
// (a full counter still reads as readable), and the window's event loop
// watches the other end.
class Form1::ReportBell final : public PlayerNotifier {
public:
    ReportBell() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~ReportBell() {
        if (fd_ >= 0) ::close(fd_);
    }
    ReportBell(const ReportBell&) = delete;
    ReportBell& operator=(const ReportBell&) = delete;
    int fd() const noexcept { return fd_; }
    void Notify() noexcept override {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(fd_, &one, sizeof one);
    }
    void clear() noexcept {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto n = ::read(fd_, &count, sizeof count);
    }

private:
    int fd_;
};

namespace {

// The connections of an own port the settings file holds: each value's name
// and text, in the order of their numbers; a gap (a value deleted by hand,
// or by another instance's close) ends nothing.
std::vector<std::pair<std::string, std::string>> storedConnections(OwnPort port) {
    std::vector<std::pair<long, std::string>> numbered;
    for (const std::string& name : Util::ValueNames(Form1::kKeyPath)) {
        const auto at = ConnectionKeeper::NumberedValue(name);
        if (at && at->port == port) numbered.emplace_back(at->n, name);
    }
    std::stable_sort(numbered.begin(), numbered.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::pair<std::string, std::string>> stored;
    for (const auto& [n, name] : numbered) {
        Util::Value value;
        if (Util::GetKeyValue(Form1::kKeyPath, name, value) == Util::Success)
            stored.emplace_back(name, Util::ToText(value));
    }
    return stored;
}

}  // namespace

Form1::Form1(HostFactory createHost, CommandLineOptions options, QWidget* parent)
    : QWidget(parent),
      createHost_(std::move(createHost)),
      options_(std::move(options)),
      keeper_(options_.connectIn, options_.connectOut) {
    loadResources();
    showMessage_ = [this](const QString& text) {
        auto* box = new QMessageBox(QMessageBox::NoIcon, QString::fromLatin1(kTitle), text, QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        // While arpeggiating the window goes on with its own loop (reports,
        // the clock's tempo, reconnection); otherwise a box waits for OK
        // before the handler that showed it goes on, as a save's do.
        if (Enable->isChecked())
            box->open();
        else
            box->exec();
    };
    createControls();
    Form_Load();
    fitFont();
}

Form1::~Form1() {
    if (!unloaded_) release();
}

void Form1::createControls() {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromLatin1(kTitle));
    setWindowIcon(QIcon(QStringLiteral(":/vlxarp/vlxarp.png")));
    // The controls keep their places; the latch and the live view lie below.
    setFixedSize(twipsSize());

    auto place = [this](auto* control, const char* name, QRect at) {
        control->setObjectName(QString::fromLatin1(name));
        control->setGeometry(at);
        return control;
    };
    Divert = place(new QCheckBox(caption(Control::Divert), this), "Divert", twips(180, 60, 1575, 255));
    Label1 = place(new QLabel(caption(Control::Tempo), this), "Label1", twips(180, 510, 615, 255));
    Tempo = place(new QLineEdit(QStringLiteral("120"), this), "Tempo", twips(960, 480, 615, 315));
    VScrollTempo = place(new UpwardScrollBar(this), "VScrollTempo", twips(1560, 480, 255, 315));
    Label4 = place(new QLabel(caption(Control::Octaves), this), "Label4", twips(180, 1080, 735, 255));
    Octaves = place(new QComboBox(this), "Octaves", twips(960, 1020, 855, 315));
    Enable = place(new SwitchButton(caption(Control::Arpeggiate), this), "Enable", twips(660, 1500, 1155, 375));
    CloseOnExit = place(new QCheckBox(caption(Control::CloseOnExit), this), "CloseOnExit",
                        twips(120, 2040, 2055, 255));
    Retrigger = place(new QCheckBox(caption(Control::Retrigger), this), "Retrigger", twips(2040, 60, 1755, 255));
    Label2 = place(new QLabel(caption(Control::Resolution), this), "Label2", twips(2040, 510, 855, 255));
    Resolution = place(new QComboBox(this), "Resolution", twips(3000, 480, 1395, 315));
    Label3 = place(new QLabel(caption(Control::Sustain), this), "Label3", twips(2100, 1050, 855, 255));
    Sustain = place(new QComboBox(this), "Sustain", twips(3000, 1020, 1395, 315));
    Label5 = place(new QLabel(caption(Control::Cycle), this), "Label5", twips(2100, 1590, 855, 255));
    Cycle = place(new QComboBox(this), "Cycle", twips(3000, 1560, 1395, 315));
    Status = place(new QLabel(this), "Status", twips(2460, 2070, 1905, 195));
    Latch = place(new SwitchButton(caption(Control::Latch), this), "Latch", twips(660, 2520, 1155, 375));
    Live = place(new LiveView(this), "LiveView", twips(2040, 2460, 2490, 1110));
    More = place(new QPushButton(tr("Mor&e \u25B8"), this), "More", twips(660, 3060, 1155, 375));
    More->setCheckable(true);
    liveTimer_ = new QTimer(this);
    liveTimer_->setObjectName(QStringLiteral("LiveTimer"));
    liveTimer_->setSingleShot(true);
    connect(liveTimer_, &QTimer::timeout, this, [this] { handle([this] { showLive(); }); });
    reconnect_ = new QTimer(this);
    reconnect_->setObjectName(QStringLiteral("Reconnect"));
    reconnect_->setInterval(1000);
    connect(reconnect_, &QTimer::timeout, this, [this] { handle([this] { tryReconnect(); }); });

    Label1->setBuddy(Tempo);
    Label4->setBuddy(Octaves);
    Label2->setBuddy(Resolution);
    Label3->setBuddy(Sustain);
    Label5->setBuddy(Cycle);

    // The upper arrow raises the tempo; one click on an arrow or the track is
    // 1 bpm (the value is in tenths).
    VScrollTempo->setRange(InfoOf(Control::Tempo).minimum, InfoOf(Control::Tempo).maximum);
    VScrollTempo->setValue(InfoOf(Control::Tempo).minimum);
    VScrollTempo->setSingleStep(10);
    VScrollTempo->setPageStep(10);
    VScrollTempo->setFocusPolicy(Qt::StrongFocus);


    QWidget* order[] = {Divert,    Tempo,      VScrollTempo, Octaves, Enable, CloseOnExit,
                        Retrigger, Resolution, Sustain,      Cycle,   Latch,  More};
    for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

    // A tempo typed is chosen, even before the box takes it.
    connect(Tempo, &QLineEdit::textEdited, this, [this] { touched_[static_cast<std::size_t>(Control::Tempo)] = true; });
    new FocusLeaveGate(Tempo, [this] {
        bool cancel = false;
        // A lost clock's tempo shown there is given only once edited.
        if (lostTempoShown() && !Tempo->isModified()) return false;
        handle([&] { Tempo_Validate(cancel); });
        return cancel;
    });
    // Return takes the typed tempo as leaving the box does, the focus
    // staying; the same tempo again still takes over from a lost clock's.
    connect(Tempo, &QLineEdit::returnPressed, this, [this] {
        bool cancel = false;
        handle([&] {
            const int before = VScrollTempo->value();
            Tempo_Validate(cancel);
            if (!cancel && VScrollTempo->value() == before) tempoGiven();
        });
    });
    // The keys and the wheel of the scroll bar work in the box too.
    new StepKeysTo(Tempo, VScrollTempo, [this] {
        bool cancel = false;
        handle([&] {
            if (Tempo->isModified() || !tempoOf(Tempo->text())) {
                Tempo_Validate(cancel);
            } else if (lostTempoShown()) {
                // A step goes from the tempo that plays.
                const QSignalBlocker quiet(VScrollTempo);
                VScrollTempo->setValue(*tempoOf(Tempo->text()));
            }
        });
        return !cancel;
    });
    createMenu();
    createPanel();
    registerControls();
    Hands = new HandsFreePanel(*this, [this](const QString& text) { showMessage_(text); });
}

QSize Form1::twipsSize() { return twips(0, 0, 4650, 3675).size(); }

// The largest font, up to the usual 8 points, at which every caption fits.
void Form1::fitFont() {
    QWidget* captioned[] = {Divert, Label1, Label4, Enable, CloseOnExit, Retrigger, Label2, Label3, Label5, Status, Latch};
    QFont font = this->font();
    // A push button's size hint has a dialog button's minimum width; its
    // text and frame are what must fit.
    auto needed = [](QWidget* w) {
        if (auto* button = qobject_cast<QPushButton*>(w))
            return w->fontMetrics().horizontalAdvance(button->text().remove(u'&')) + 12;
        return w->sizeHint().width();
    };
    for (int pixels = 11; pixels >= 7; --pixels) {
        font.setPixelSize(pixels);
        setFont(font);
        bool fits = true;
        for (QWidget* w : captioned) fits = fits && needed(w) <= w->width();
        if (fits) return;
    }
}

// The host's input goes to the player, in the host's audio thread; the
// window hears of the host's loss, renewal and ports.
void Form1::connectHost() {
    vlx->OnConnectionLost([this](const std::string& why) {
        const QString text = tr("The MIDI connection was lost: %1").arg(QString::fromStdString(why));
        // After the host's own call has returned.
        QMetaObject::invokeMethod(this, [this, text] { handle([&] { connectionLost(text); }); }, Qt::QueuedConnection);
    });
    vlx->OnRenewalDue([this, from = std::weak_ptr<HostAutomation>(vlx)] {
        QMetaObject::invokeMethod(
            this,
            [this, from] {
                handle([&] {
                    if (from.lock() != vlx) return;  // replaced meanwhile
                    renewalDue_ = true;
                    renewHostWhenSafe();
                });
            },
            Qt::QueuedConnection);
    });
    if (vlx->EventFd() >= 0) {
        inputNotifier_ = new QSocketNotifier(vlx->EventFd(), QSocketNotifier::Read, this);
        connect(inputNotifier_, &QSocketNotifier::activated, this, [this] {
            handle([this] {
                if (vlx) vlx->DeliverPending();
            });
        });
    }
}

// Said once. The host is reopened by itself, not on request: a musician on
// stage should not have to find a button, and a reopened host plays nothing
// until Arpeggiate is pressed again.
// Told in a box beside the window that leaves the window free (Alt+A, a
// close), as a box that waits for OK would not.
QMessageBox* Form1::showNotice(const QString& name, const QString& text) {
    auto* notice = new QMessageBox(QMessageBox::Information, QString::fromLatin1(kTitle), text, QMessageBox::Ok, this);
    notice->setObjectName(name);
    notice->setAttribute(Qt::WA_DeleteOnClose);
    notice->setWindowModality(Qt::NonModal);
    notice->setAttribute(Qt::WA_ShowWithoutActivating);  // the keyboard stays with the window
    notice->show();
    return notice;
}

void Form1::connectionLost(const QString& text) {
    if (connectionLost_ || unloaded_) return;
    connectionLost_ = true;
    Status->setText(tr("MIDI connection lost"));
    Status->setToolTip(text);
    if (Enable->isChecked()) Enable->setChecked(false);
    reopen_ = vlx->Reopener();
    if (reopen_) reconnect_->start();
    std::fprintf(stderr, "VLXArp: %s\n", qPrintable(text));
    lostNotice_ = showNotice(QStringLiteral("ConnectionNotice"), text);  // gone by itself once the ports are back
}

void Form1::tryReconnect() {
    if (unloaded_ || !reopen_) return reconnect_->stop();
    std::shared_ptr<HostAutomation> host;
    try {
        host = reopen_();
    } catch (const std::exception&) {
        return;  // not back yet
    }
    if (host) installHost(std::move(host));
}

// Not while arpeggiation is on: between the old client's going and the new
// one's connections a step or a note-off could be lost, and a note left
// sounding. The old host plays on meanwhile; the keeper takes what it knows
// last, the connections it had and the ones the user ended, to the new one.
void Form1::renewHostWhenSafe() {
    if (!renewalDue_ || unloaded_ || connectionLost_ || Enable->isChecked()) return;
    renewalDue_ = false;
    const HostAutomation::Reopen reopen = vlx->Reopener();
    if (!reopen) return;
    // A change whose notice has not come yet would go with the old host.
    keeper_.portsChanged();
    vlx->Retire();
    std::shared_ptr<HostAutomation> host;
    try {
        host = reopen();
    } catch (const std::exception& e) {
        connectionLost(tr("The MIDI connection was lost: %1").arg(QString::fromUtf8(e.what())));
        return;
    }
    installHost(std::move(host));
}

// The lost or retired host has let go of its MIDI system already; it goes
// now, with whatever input it still held. Nothing sounds: arpeggiation was
// off for a renewal or went off with the loss, and whatever was played since
// a loss reached no one. The player's switches stay as the window has them:
// what was changed meanwhile waits for the new host's first cycle.
void Form1::installHost(std::shared_ptr<HostAutomation> host) {
    reconnect_->stop();
    reopen_ = {};
    renewalDue_ = false;
    drivePlayer(nullptr);
    detachHost();
    player_->ForgetSilently();
    vlx = std::move(host);
    connectHost();
    connectionLost_ = false;
    if (lostNotice_) lostNotice_->close();
    if (CloseOnExit->isChecked()) CloseOnExit_Click();
    drivePlayer(player_.get());
    showHostStatus();
    clock_ = PlayerReport{};  // the clock was the lost host's
    showClock();
    // The ports connected as they were, and as remembered and asked for.
    connectPorts();
}

void Form1::showHostStatus() {
    const std::int32_t instance = vlx->InstanceNumber();
    hostStatus_ = QStringLiteral("Veloxa:") + QString::number(instance) + QStringLiteral(" Ver: ") +
                  QString::fromStdString(vlx->HostVersion());
    Status->setText(hostStatus_);
    Status->setToolTip(hostStatus_);
}

void Form1::Form_Load() {
    vlx = createHost_();
    connectHost();
    settings_ = std::make_unique<Util::HeldKey>(kKeyPath);
    if (const QString problem = settings_->Problem(); !problem.isEmpty()) {
        const QString text = tr("The settings file %1 was not read: %2. VLXArp starts with the default settings "
                                "and will not write over that file.")
                                 .arg(settings_->FilePath(), problem);
        std::fprintf(stderr, "VLXArp: %s\n", qPrintable(text));
        // Said once, in a box left open beside the window: the program works
        // on with its defaults meanwhile.
        QMetaObject::invokeMethod(this, [this, text] { showNotice(QStringLiteral("SettingsNotice"), text); },
                                  Qt::QueuedConnection);
    }
    restoreControls();
    restoreConnections();
    showHostStatus();
    bell_ = std::make_unique<ReportBell>();
    auto* reports = new QSocketNotifier(bell_->fd(), QSocketNotifier::Read, this);
    connect(reports, &QSocketNotifier::activated, this, [this] { handle([this] { takeReports(); }); });
    player_ = std::make_unique<Player>(values(), bell_.get());
    Hands->Start();
    applyCommandLine();
    drivePlayer(player_.get());
    connectPorts();
    liveShown_ = LiveView::Clock::now();
    showLiveSoon();
}

// When the player has something new to show, at most at the screen's pace
// (which a slow screen or none bounds), and not at all while nobody can see
// the window.
void Form1::showLiveSoon() {
    if (unloaded_) return;
    const qreal hz = screen() ? std::clamp<qreal>(screen()->refreshRate(), 20.0, 60.0) : 60.0;
    const auto frame = std::chrono::milliseconds(static_cast<int>(1000.0 / hz));
    const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(LiveView::Clock::now() - liveShown_);
    const auto due = std::max(std::chrono::milliseconds(0), frame - since);
    // Sooner than a light waiting to go out.
    if (!liveTimer_->isActive() || liveTimer_->remainingTimeAsDuration() > due) liveTimer_->start(due);
}

void Form1::showLive() {
    if (!player_ || !isVisible() || isMinimized()) return;
    liveShown_ = LiveView::Clock::now();
    Live->show(player_->View(), liveShown_);
    // The input light goes out by itself once no message comes.
    if (Live->inputLit()) liveTimer_->start(LiveView::kLightHold);
}

void Form1::changeEvent(QEvent* event) {
    if (event->type() == QEvent::WindowStateChange) showLiveSoon();  // shown again: what changed meanwhile
    QWidget::changeEvent(event);
}

void Form1::showEvent(QShowEvent* event) {
    showLiveSoon();
    QWidget::showEvent(event);
}

void Form1::drivePlayer(CycleProcessor* processor) {
    if (CycleDriver* driver = CycleDriverOf(vlx.get())) driver->Drive(processor);
}

// The host's own SleepMs: a scripted host lets its time pass meanwhile.
bool Form1::settlePlayer() {
    for (int waited = 0; waited < kSettleMs; ++waited) {
        if (player_->Settled()) return true;
        vlx->SleepMs(1);
    }
    return player_->Settled();
}

void Form1::takeReports() {
    if (bell_) bell_->clear();
    showLiveSoon();
    PlayerReport r;
    while (player_ && player_->TakeReport(r)) {
        if (r.kind == PlayerReport::Kind::Failed) {
            // The player has switched itself off already.
            if (Enable->isChecked()) Enable->setChecked(false);
            report(tr("Arpeggiation was switched off after an error: %1").arg(QString::fromUtf8(r.what)));
        } else if (r.kind == PlayerReport::Kind::Learnt) {
            Hands->Learnt(r);
        } else if (r.kind == PlayerReport::Kind::Recalled) {
            Hands->Recalled(r);
        } else {
            clock_ = r;
            showClock();
        }
    }
    showChangedInCycle();
}

void Form1::restoreConnections() {
    for (const QString& line : keeper_.warnings()) std::fprintf(stderr, "VLXArp: %s\n", qPrintable(line));
    for (OwnPort port : {OwnPort::In, OwnPort::Out}) {
        std::vector<std::string> stored;
        for (const auto& [name, text] : storedConnections(port)) stored.push_back(text);
        keeper_.remember(port, stored);
    }
}

void Form1::connectPorts() {
    PortConnections* ports = PortConnectionsOf(vlx.get());
    // A server may tell of a change before its own view of the graph shows
    // it (PipeWire's does, for a connection another client ended): look once
    // more when the graph has settled, or that change would go unseen.
    if (!portsSettle_) {
        portsSettle_ = new QTimer(this);
        portsSettle_->setSingleShot(true);
        portsSettle_->setInterval(kPortsSettleMs);
        connect(portsSettle_, &QTimer::timeout, this, [this] { keeper_.portsChanged(); });
    }
    if (ports)
        ports->OnPortsChanged([this] {
            keeper_.portsChanged();
            portsSettle_->start();
        });
    keeper_.attach(ports ? std::shared_ptr<PortConnections>(vlx, ports) : nullptr);
}

void Form1::Form_Unload(int& Cancel) {
    if (unloaded_) return;
    if (saving_) {  // a close asked for while the messages of this one are shown
        Cancel = 1;
        return;
    }
    if (Enable->isChecked()) {
        Enable->setChecked(false);
        Cancel = 1;
        return;
    }
    saveSettings();
    release();
}

void Form1::saveSettings() {
    // A file that was not read is not written over, which the start said to
    // the user; a close for the surroundings still tells its log and status
    // what each value lost.
    const QString problem = settings_ ? settings_->Problem() : QString();
    if (!problem.isEmpty() && !unattended_) return;
    saving_ = true;
    struct Saved {
        bool& saving;
        ~Saved() { saving = false; }
    } saved{saving_};
    std::vector<Util::Unsaved> unsaved;
    auto save = [&](const char* name, const Util::Value& value, std::int32_t type) {
        const std::int32_t error = Util::SetKeyValue(kKeyPath, name, value, type);
        if (error == Util::Success) return;
        QString line = Util::ValueLine(name, value, type);
        if (line.isEmpty()) line = QStringLiteral("%1 (%2)").arg(QString::fromLatin1(name), QString::fromStdString(Util::ToText(value)));
        unsaved.push_back({name, error, line,
                           problem.isEmpty() ? Util::Describe(error) : tr("the file was not read: %1").arg(problem)});
    };
    saveControls(save);
    // The remembered ports, numbered from 1; older files lack them, and a
    // host that never told its connections leaves the stored ones as they are.
    // Another instance may have saved its own list meanwhile: this one's
    // disconnections and new connections apply to that, numbered under the
    // file's lock, so that two closes never number ports alike.
    auto saveConnections = [&] {
        if (!keeper_.knows() || !problem.isEmpty()) return;
        for (OwnPort port : {OwnPort::In, OwnPort::Out}) {
            const auto now = storedConnections(port);
            std::vector<std::string> stored;
            for (const auto& [name, text] : now) stored.push_back(text);
            std::set<QString> written;
            int n = 0;
            for (const std::string& text : keeper_.toRemember(port, stored)) {
                const std::string name = ConnectionKeeper::ValueName(port, ++n);
                save(name.c_str(), text, Util::TypeText);
                written.insert(QString::fromStdString(name).toCaseFolded());
            }
            for (const auto& [name, text] : now) {
                if (!written.contains(QString::fromStdString(name).toCaseFolded()))
                    Util::DeleteKeyValue(kKeyPath, name);
            }
        }
    };
    // Every value is staged above or under the lock; the file is written once, here.
    if (settings_) {
        const auto underLock = [&] {
            saveConnections();
            Hands->StageSettings(save);
        };
        for (Util::Unsaved& lost : settings_->Commit(underLock)) unsaved.push_back(std::move(lost));
    }
    bool connectionsSaid = false;  // one report stands for all of them
    for (const Util::Unsaved& lost : unsaved) {
        if (ConnectionKeeper::NumberedValue(lost.name) && std::exchange(connectionsSaid, true)) continue;
        reportUnsaved(lost);
    }
}

// The Tempo text while it is a tempo the window accepts; otherwise (an entry
// refused or not finished) the last accepted tempo, which the scroll bar holds.
std::int32_t Form1::tempoToSave() const {
    const QString typed = clockShown() ? typedTempo_ : Tempo->text();  // the box shows the clock's
    return tempoOf(typed).value_or(VScrollTempo->value());
}

void Form1::reportUnsaved(const Util::Unsaved& unsaved) {
    // Asked again for each value: a signal may arrive while a message is shown.
    if (!unattended_) {
        showMessage_(QStringLiteral("SetKeyValue %1 Failed").arg(QString::fromStdString(unsaved.name)));
        return;
    }
    exitStatus_ = 1;
    const QString file = settings_ ? settings_->FilePath() : Util::KeyFilePath(kKeyPath);
    std::fprintf(stderr, "VLXArp: %s was not saved to %s: %s\n", qPrintable(unsaved.line), qPrintable(file),
                 qPrintable(unsaved.reason));
}

void Form1::endWithoutClose(bool windowLost) noexcept {
    if (unloaded_) return;
    unattended_ = true;
    if (windowLost) exitStatus_ = 1;
    // As Enable_Click switching off, without the button; then the note-offs
    // are given time to go out, since the host may never be released.
    try {
        player_->Set(Control::Arpeggiate, 0);
        settlePlayer();
        vlx->Flush();
    } catch (...) {
    }
    try {
        saveSettings();
    } catch (...) {
        exitStatus_ = 1;
    }
    release();
}

void Form1::release() {
    unloaded_ = true;
    liveTimer_->stop();
    reconnect_->stop();
    reopen_ = {};
    // Normally switched off already; a program ended without a close must
    // not leave notes sounding either: the player stops in its cycle, and
    // what it sends gets time to go out.
    if (player_) {
        try {
            player_->Set(Control::Arpeggiate, 0);
            // The connections end with the program: what passed through to
            // the synth and is still down is let go of there first.
            if (vlx && vlx->ExitWithClient() == 1) player_->ReleasePassed();
            if (settlePlayer()) vlx->Flush();
        } catch (...) {
        }
        drivePlayer(nullptr);
    }
    player_.reset();
    settings_.reset();
    if (vlx && PortConnectionsOf(vlx.get())) {
        // The host lives in this process and ends with it; unless it is to
        // take its connections along, the keyboard keeps playing the synth.
        try {
            if (vlx->ExitWithClient() != 1) {
                // PipeWire may drop the cycle in which a peer's links change:
                // the last note-offs go out before the bridge is made.
                vlx->Flush();
                keeper_.bridge();
            }
        } catch (...) {
        }
    }
    keeper_.attach(nullptr);
    if (vlx) detachHost();
    vlx.reset();
}

// The window stops hearing from the host: its input, loss, renewal and port
// notices. Nothing is sent or closed.
void Form1::detachHost() {
    if (inputNotifier_) {
        inputNotifier_->setEnabled(false);
        inputNotifier_->deleteLater();
        inputNotifier_ = nullptr;
    }
    vlx->OnConnectionLost({});
    vlx->OnRenewalDue({});
    if (PortConnections* ports = PortConnectionsOf(vlx.get())) ports->OnPortsChanged({});
}

void Form1::closeEvent(QCloseEvent* event) {
    int Cancel = 0;
    handle([&] { Form_Unload(Cancel); });
    if (Cancel != 0)
        event->ignore();
    else
        event->accept();
}

// The player switches the host's input events and diversion on and off,
// and silences and empties the engine, in its next cycle.
void Form1::Enable_Click() {
    if (!fromPlayer_) player_->Set(Control::Arpeggiate, Enable->isChecked() ? 1 : 0);
    clock_ = PlayerReport{};
    showClock();
    if (!Enable->isChecked()) {
        // From the event loop: a close that switches off and then saves (a
        // signal's) saves with the host whose connections are showing.
        if (renewalDue_)
            QMetaObject::invokeMethod(this, [this] { handle([this] { renewHostWhenSafe(); }); }, Qt::QueuedConnection);
    }
}

// Restored at the start, before there is a player: it takes the box's
// state when arpeggiation is switched on.
void Form1::Divert_Click() {
    if (player_ && !fromPlayer_) player_->Set(Control::Divert, Divert->isChecked() ? 1 : 0);
}

void Form1::CloseOnExit_Click() { vlx->ExitWithClient(CloseOnExit->isChecked() ? 1 : 0); }

bool Form1::tempoRefused() const { return !Tempo->isReadOnly() && !tempoOf(Tempo->text()); }

void Form1::Tempo_Validate(bool& Cancel) {
    if (Tempo->isReadOnly()) {  // the clock's tempo: nobody typed it
        Cancel = false;
        return;
    }
    const auto tempo = tempoOf(Tempo->text());
    if (!tempo) {
        showMessage_(QString::fromStdString(RangeMessage(Control::Tempo)));
        Cancel = true;
        return;
    }
    VScrollTempo->setValue(*tempo);
    Cancel = false;
}

// The scroll bar holds the accepted tempo: only here does a tempo reach the
// player, never while it is being typed.
void Form1::VScrollTempo_Change() {
    Tempo->setText(tempoText(VScrollTempo->value()));
    tempoGiven();
}

void Form1::tempoGiven() {
    // Given over a lost clock's tempo, it is the typed one from now on.
    if (lostTempoShown()) typedTempo_ = Tempo->text();
    if (player_ && !unloaded_ && !fromPlayer_) player_->Set(Control::Tempo, VScrollTempo->value());
}

template <class Body>
void Form1::handle(Body&& body) noexcept {
    try {
        body();
    } catch (const std::exception& e) {
        failed(QString::fromUtf8(e.what()));
    } catch (...) {
        failed(tr("Unknown error"));
    }
}

void Form1::handleCall(const std::function<void()>& body) noexcept { handle(body); }

// An error switches arpeggiation off, silencing what sounds, and is shown
// once; the program keeps running.
void Form1::failed(const QString& what) noexcept {
    try {
        if (failing_) return;  // a follow-on error of the switch-off itself
        failing_ = true;
        switchOffAfterFailure();
        failing_ = false;
        report(tr("Arpeggiation was switched off after an error: %1").arg(what));
    } catch (...) {
        failing_ = false;
    }
}

void Form1::switchOffAfterFailure() noexcept {
    try {
        failing_ = true;
        if (Enable->isChecked()) Enable->setChecked(false);
    } catch (...) {
    }
    // Whatever the switch-off got to, nothing may be left sounding.
    try {
        if (player_) player_->Set(Control::Arpeggiate, 0);
    } catch (...) {
    }
    failing_ = false;
}

void Form1::report(const QString& text) {
    // Shown from the event loop, not from inside the host's own call.
    QMetaObject::invokeMethod(this, [this, text] { showMessage_(text); }, Qt::QueuedConnection);
}

}  // namespace vlx
