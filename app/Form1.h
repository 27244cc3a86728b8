// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's only window: it owns the MIDI host and the player, and
// shows and edits. The player (the engine, its input path and the pump)
// runs in the host's audio thread; the window hands it the switches and the
// accepted values of its controls, and shows what the player reports (the
// clock, errors). It never waits for the player, except at the end, for
// the last note-offs.
#include <array>
#include <atomic>
#include <bitset>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <QLineEdit>
#include <QPointer>
#include <QWidget>

#include "app/CommandLine.h"
#include "app/Connections.h"
#include "app/LiveView.h"
#include "app/Util.h"
#include "host/api/HostAutomation.h"
#include "player/Player.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QMessageBox;
class QMenu;
class QPushButton;
class QScrollBar;
class QSocketNotifier;
class QTimer;

namespace vlx {

class HandsFreePanel;

class Form1 : public QWidget {
    Q_OBJECT
public:
    using HostFactory = std::function<std::shared_ptr<HostAutomation>()>;
    // Shows one message with only an OK button.
    using MessageBox = std::function<void(const QString& text)>;

    static constexpr const char* kKeyPath = "Software\\Veloxa\\VLXArp";

    // Creates the controls and runs Form_Load; the factory's errors pass to
    // the caller.
    // `options` are what the command line asked of this run.
    explicit Form1(HostFactory createHost, CommandLineOptions options = {}, QWidget* parent = nullptr);
    ~Form1() override;

    void Form_Load();
    void Form_Unload(int& Cancel);
    void Enable_Click();
    void Divert_Click();
    void CloseOnExit_Click();
    void Tempo_Validate(bool& Cancel);
    void VScrollTempo_Change();
    // The window's menu (right click, the Menu key, Shift+F10).
    void FollowClock_Click();
    void AllNotesOff_Click();
    // A tap of the tap tempo at `ms` of a monotonic clock: four set the tempo.
    void Tap(std::int64_t ms);

    void setMessageBox(MessageBox show) { showMessage_ = std::move(show); }

    // From now on the window closes for its surroundings (a signal, the
    // session ending), with nobody to answer a message: a value that cannot
    // be saved is reported on stderr, and exitStatus() becomes 1.
    void setUnattended() noexcept { unattended_ = true; }
    // Ends what the window runs without a close of the window, whose display
    // may be gone: switches arpeggiation off, lets the note-offs out through
    // the host, saves the settings as an unattended close does and releases
    // everything, reading the controls but never changing them. With
    // windowLost, the exit status is 1 whatever the save did.
    void endWithoutClose(bool windowLost) noexcept;
    // 0, or 1 when the window was lost or an unattended close lost a value.
    int exitStatus() const noexcept { return exitStatus_; }

    // State, for the program around the window and for tests.
    Player* player() const noexcept { return player_.get(); }
    const std::shared_ptr<HostAutomation>& host() const noexcept { return vlx; }
    bool unloaded() const noexcept { return unloaded_; }
    // The controls' values as the player is given them: the tempo the
    // window last accepted, the lists' item values, the switches' states.
    ControlValues values() const;
    // The widget of a control: a check box, a push button, a list, the
    // tempo's scroll bar (which holds the accepted tempo) or a menu entry.
    QObject* widget(Control c) const { return widgets_[static_cast<std::size_t>(c)]; }

    // The controls, in tab order, named as their objectName.
    QCheckBox* Divert = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* Tempo = nullptr;
    QScrollBar* VScrollTempo = nullptr;
    QLabel* Label4 = nullptr;
    QComboBox* Octaves = nullptr;
    QPushButton* Enable = nullptr;
    QCheckBox* CloseOnExit = nullptr;
    QCheckBox* Retrigger = nullptr;
    QLabel* Label2 = nullptr;
    QComboBox* Resolution = nullptr;
    QLabel* Label3 = nullptr;
    QComboBox* Sustain = nullptr;
    QLabel* Label5 = nullptr;
    QComboBox* Cycle = nullptr;
    QLabel* Status = nullptr;
    // Below the controls above: the latch and what plays.
    QPushButton* Latch = nullptr;
    LiveView* Live = nullptr;
    // The second page, beside the first: the controls the table places
    // there, in their groups; More shows and hides it.
    QPushButton* More = nullptr;
    QWidget* Panel = nullptr;
    // The entries of the window's menu, Menu among them.
    QMenu* Menu = nullptr;
    QAction* FollowClock = nullptr;
    QAction* SustainHold = nullptr;
    QAction* KeepBeat = nullptr;
    QAction* ShuffleEveryPass = nullptr;
    QAction* AllNotesOff = nullptr;
    // Learning MIDI for the control the menu was opened over.
    QAction* LearnMidi = nullptr;
    // Presets and MIDI learn, on the second page.
    HandsFreePanel* Hands = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    friend class HandsFreePanel;
    void createControls();
    void fitFont();
    void saveSettings();
    std::int32_t tempoToSave() const;
    // A tempo text as the window takes it: whole bpm unless exact steps.
    std::optional<std::int32_t> tempoOf(const QString& text) const;

    void reportUnsaved(const Util::Unsaved& unsaved);
    void release();
    void connectHost();
    void detachHost();
    void showHostStatus();
    // A lost connection: said once, arpeggiation off, and the host reopened
    // when its MIDI system is back.
    void connectionLost(const QString& text);
    QMessageBox* showNotice(const QString& name, const QString& text);
    void tryReconnect();
    // A host whose MIDI system is still there but refused it something is
    // replaced by a fresh one without a word, once arpeggiation is off.
    void renewHostWhenSafe();
    void installHost(std::shared_ptr<HostAutomation> host);
    // The player is run by the host's cycles, or by none.
    void drivePlayer(CycleProcessor* processor);
    // Waits, within a bound, until the player has taken every change handed
    // to it (the cycles run on); false when they do not.
    bool settlePlayer();
    // A control changed, by the user or the program: its reaction, and the
    // player told.
    void controlChanged(Control c);
    std::int32_t valueOf(Control c) const;
    void setValue(Control c, std::int32_t value);
    // A tempo the user gave, even one equal to the last: it takes over
    // from a lost clock's.
    void tempoGiven();
    // Each control's widget made, filled from the table and wired to
    // controlChanged (FormControls.cpp).
    void registerControls();
    void createPanel();
    // The first page: the controls, the latch and the live view.
    static QSize twipsSize();
    void showPanel(bool shown);
    // The settings each control keeps, and the command line's for this run.
    void restoreControls();
    void wholeTempoUnlessExact();
    void applyCommandLine();
    void saveControls(const std::function<void(const char*, const Util::Value&, std::int32_t)>& save);
    void takeReports();
    // What the cycles changed themselves (a binding, a preset recalled),
    // shown once the player has taken every change the window handed it.
    void showChangedInCycle();
    // The control a widget shows (a label names its buddy's).
    std::optional<Control> controlAt(QWidget* at) const;
    void showLive();
    void showLiveSoon();
    // Connects the host's ports as remembered and asked for, now and as
    // ports appear; call again with a freshly opened host.
    void connectPorts();
    void restoreConnections();

    // Playing with a band: the menu, the MIDI clock, the sustain pedal and
    // all notes off (Form1Band.cpp).
    void createMenu();
    void openMenuFromKeyboard();
    bool tempoRefused() const;
    void showClock();
    bool clockShown() const noexcept { return !typedTempo_.isEmpty(); }
    // The tempo box shows a lost clock's last tempo, which plays on.
    bool lostTempoShown() const noexcept { return clockShown() && !Tempo->isReadOnly(); }

    // Runs a handler so that no error reaches the event loop.
    template <class Body>
    void handle(Body&& body) noexcept;
    void handleCall(const std::function<void()>& body) noexcept;
    void failed(const QString& what) noexcept;
    void switchOffAfterFailure() noexcept;
    void report(const QString& text);

    std::shared_ptr<HostAutomation> vlx;
    // Wakes the window when the player has something to report.
    class ReportBell;
    std::unique_ptr<ReportBell> bell_;
    std::unique_ptr<Player> player_;

    HostFactory createHost_;
    CommandLineOptions options_;
    ConnectionKeeper keeper_;
    QTimer* portsSettle_ = nullptr;  // a second look at the ports once a change has settled
    MessageBox showMessage_;
    QSocketNotifier* inputNotifier_ = nullptr;
    bool failing_ = false;
    bool connectionLost_ = false;
    QPointer<QMessageBox> lostNotice_;  // said while the connection is lost
    bool renewalDue_ = false;  // the host asked to be replaced
    // While the connection is lost: opens the host again every second.
    QTimer* reconnect_ = nullptr;
    HostAutomation::Reopen reopen_;
    bool unloaded_ = false;
    // The followed clock as the player last reported it.
    PlayerReport clock_;
    // While the clock's tempo is shown: the tempo typed before, which the
    // pattern plays at when the clock goes. Empty otherwise.
    QString typedTempo_;
    QString hostStatus_;      // the status line's own text
    std::array<QObject*, kControlCount> widgets_{};
    // What the settings file gave each control at the start (its default
    // when it had none it could use), whether it had one, and whether the
    // user changed the control since: the close keeps what the user chose,
    // not what the command line asked of this run.
    ControlValues stored_;
    std::array<bool, kControlCount> fileHad_{};
    std::array<bool, kControlCount> touched_{};
    bool restoring_ = false;
    bool fromPlayer_ = false;  // showing the player's change: not handed back to it
    std::uint32_t changedShown_ = 0;
    std::optional<Control> learnFor_;
    QTimer* liveTimer_ = nullptr;
    LiveView::Clock::time_point liveShown_{};
    // The settings file, read once at the start and written once at the close.
    std::unique_ptr<Util::HeldKey> settings_;
    std::vector<std::int64_t> taps_;  // ms of the latest taps, by a monotonic clock
    bool unattended_ = false;
    bool saving_ = false;
    int exitStatus_ = 0;
};

}  // namespace vlx
