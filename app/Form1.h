#pragma once
// The program's only window: it owns the MIDI host, the engine and the input
// buffer, switches arpeggiation on and off, feeds the engine from the host's
// MidiInput event and drives playback from its timer loop.
//
// Everything runs on the window's thread. lBusy (-1 when free) keeps the
// engine to one user at a time; input that finds it taken waits in InQ until
// the timer loop replays it.
#include <array>
#include <atomic>
#include <bitset>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include <QLineEdit>
#include <QWidget>

#include "app/CommandLine.h"
#include "app/Connections.h"
#include "app/Util.h"
#include "engine/Arpeggiator.h"
#include "engine/ClockFollower.h"
#include "engine/SustainLatch.h"
#include "host/HostAutomation.h"
#include "model/InputQ.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QMenu;
class QPushButton;
class QScrollBar;
class QSocketNotifier;
class QTimer;

namespace vlx {

class HostClockAlarm;

class Form1 : public QWidget {
    Q_OBJECT
public:
    using HostFactory = std::function<std::shared_ptr<HostAutomation>()>;
    // Shows one message with only an OK button.
    using MessageBox = std::function<void(const QString& text)>;
    // Spends the idle time of a pass that sent nothing: returns when the host
    // clock reaches wakeAt or when window messages (input among them) arrive.
    using IdleWait = std::function<void(std::int32_t wakeAt)>;

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
    void vlx_MidiInput(std::int32_t nTimestamp, std::int32_t Port, std::int32_t status, std::int32_t data1,
                       std::int32_t data2);
    void Timer_Timer();
    // The window's menu (right click, the Menu key, Shift+F10).
    void FollowClock_Click();
    void SustainHold_Click();
    void AllNotesOff_Click();

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
    void setIdleWait(IdleWait wait) { idleWait_ = std::move(wait); }

    // State, for the program around the window and for tests.
    std::int32_t busyCount() const noexcept { return lBusy.load(); }
    const std::shared_ptr<Arpeggiator>& engine() const noexcept { return Arp; }
    const std::shared_ptr<InputQ>& inputQueue() const noexcept { return InQ; }
    const std::shared_ptr<HostAutomation>& host() const noexcept { return vlx; }
    std::int32_t nextPoll() const noexcept { return lNextPoll; }
    bool unloaded() const noexcept { return unloaded_; }

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
    QTimer* Timer = nullptr;
    // The entries of the window's menu, Menu among them.
    QMenu* Menu = nullptr;
    QAction* FollowClock = nullptr;
    QAction* SustainHold = nullptr;
    QAction* AllNotesOff = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void createControls();
    void fitFont();
    void ProcessMidi(std::int32_t lTime, std::int32_t status, std::int32_t data1, std::int32_t data2);
    void PollControls();
    void restoreSettings();
    void saveSettings();
    Util::Value tempoToSave() const;
    void reportUnsaved(const Util::Unsaved& unsaved);
    void release();
    void connectHost();
    void detachHost();
    void showHostStatus();
    // A lost connection: said once, arpeggiation off, and the host reopened
    // when its MIDI system is back.
    void connectionLost(const QString& text);
    void tryReconnect();
    // A host whose MIDI system is still there but refused it something is
    // replaced by a fresh one without a word, once arpeggiation is off.
    void renewHostWhenSafe();
    void installHost(std::shared_ptr<HostAutomation> host);
    // Connects the host's ports as remembered and asked for, now and as
    // ports appear; call again with a freshly opened host.
    void connectPorts();
    void restoreConnections();

    // Playing with a band: the menu, the MIDI clock, the sustain pedal and
    // all notes off (Form1Band.cpp).
    void createMenu();
    void openMenuFromKeyboard();
    void restoreSwitches();
    void saveSwitches(const std::function<void(const char*, const Util::Value&)>& save);
    void withEngine(std::function<void()> body);
    bool tempoRefused() const;
    void resetBand();
    // Clock, pedal and all-notes-off input; true when the message must
    // not be forwarded.
    bool bandInput(std::int32_t lTime, std::int32_t status, std::int32_t data1, std::int32_t data2);
    void clockTick(std::int32_t lTime);
    void followClockAt(std::int32_t lNow);
    std::optional<std::int32_t> clockDeadline() const;
    void stepsByTypedTempo(std::int32_t lNow);
    std::int16_t typedPeriod() const;
    std::int32_t ticksPerStep() const;
    void stopEverything();
    void showClock();
    bool clockShown() const noexcept { return !typedTempo_.isEmpty(); }

    // The pass's message pump when it sent nothing.
    void pumpIdle(std::int32_t lNow);
    void waitRealTime(std::int32_t wakeAt);
    std::int32_t nextWake(std::int32_t lNow) const;

    // Runs a handler so that no error reaches the event loop.
    template <class Body>
    void handle(Body&& body) noexcept;
    void handleCall(const std::function<void()>& body) noexcept;
    void failed(const QString& what) noexcept;
    void switchOffAfterFailure() noexcept;
    void report(const QString& text);

    std::atomic<std::int32_t> lBusy{-1};
    std::int32_t lNextPoll = 0;
    std::shared_ptr<Arpeggiator> Arp;
    std::shared_ptr<InputQ> InQ;
    std::int16_t nLastOctaves = 0;
    std::int16_t nLastResolution = 0;
    std::int16_t nLastSustain = 0;
    std::int16_t nLastCycle = 0;
    std::int16_t nLastTempo = 0;
    std::shared_ptr<HostAutomation> vlx;

    HostFactory createHost_;
    CommandLineOptions options_;
    ConnectionKeeper keeper_;
    QTimer* portsSettle_ = nullptr;  // a second look at the ports once a change has settled
    MessageBox showMessage_;
    IdleWait idleWait_;
    QSocketNotifier* inputNotifier_ = nullptr;
    HostClockAlarm* alarm_ = nullptr;
    bool failing_ = false;
    bool connectionLost_ = false;
    bool renewalDue_ = false;  // the host asked to be replaced
    // While the connection is lost: opens the host again every second.
    QTimer* reconnect_ = nullptr;
    HostAutomation::Reopen reopen_;
    bool unloaded_ = false;
    // Keys whose latest press the host held back (DivertInput 1), by
    // channel * 256 + note: their releases stay with the engine.
    std::bitset<16 * 256> divertedPress_;
    ClockFollower clock_;
    SustainLatch latch_;
    // While the clock's tempo is shown: the tempo typed before, which the
    // pattern plays at when the clock goes. Empty otherwise.
    QString typedTempo_;
    bool clockLost_ = false;  // the clock stopped arriving: said in the status line
    QString hostStatus_;      // the status line's own text
    bool followClockStored_ = false;  // the settings file had the switch
    bool sustainHoldStored_ = false;
    // The settings file, read once at the start and written once at the close.
    std::unique_ptr<Util::HeldKey> settings_;
    bool unattended_ = false;
    bool saving_ = false;
    int exitStatus_ = 0;
};

}  // namespace vlx
