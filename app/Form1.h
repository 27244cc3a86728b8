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

#include <QLineEdit>
#include <QWidget>

#include "app/CommandLine.h"
#include "app/Connections.h"
#include "app/Util.h"
#include "engine/Arpeggiator.h"
#include "host/HostAutomation.h"
#include "model/InputQ.h"

class QCheckBox;
class QComboBox;
class QLabel;
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

protected:
    void closeEvent(QCloseEvent* event) override;

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
    // Connects the host's ports as remembered and asked for, now and as
    // ports appear; call again with a freshly opened host.
    void connectPorts();
    void restoreConnections();

    // The pass's message pump when it sent nothing.
    void pumpIdle(std::int32_t lNow);
    void waitRealTime(std::int32_t wakeAt);
    std::int32_t nextWake(std::int32_t lNow) const;

    // Runs a handler so that no error reaches the event loop.
    template <class Body>
    void handle(Body&& body) noexcept;
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
    // How many connections of each own port the settings file held.
    std::array<int, 2> rememberedCount_{};
    MessageBox showMessage_;
    IdleWait idleWait_;
    QSocketNotifier* inputNotifier_ = nullptr;
    HostClockAlarm* alarm_ = nullptr;
    bool failing_ = false;
    bool connectionLost_ = false;
    bool unloaded_ = false;
    // Keys whose latest press the host held back (DivertInput 1), by
    // channel * 256 + note: their releases stay with the engine.
    std::bitset<16 * 256> divertedPress_;
    // The settings file, read once at the start and written once at the close.
    std::unique_ptr<Util::HeldKey> settings_;
    bool unattended_ = false;
    bool saving_ = false;
    int exitStatus_ = 0;
};

}  // namespace vlx
