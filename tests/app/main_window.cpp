// The main window without an engine (or with a virtual one): first start, the settings round
// trip, the tempo-range button, the half-life slider, "Stop on silence", and the tempo panel's
// readouts and controls with injected tap times.

#include "Blinker.h"
#include "Efektor.h"
#include "EfektorList.h"
#include "MainWindow.h"
#include "Meter.h"
#include "NomusicDialog.h"
#include "QLumacore.h"
#include "TapTempo.h"
#include "TempoPanel.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDataStream>
#include <QDial>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSet>
#include <QSettings>
#include <QSlider>
#include <QStatusBar>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "synth_music.h"

namespace {

// Engines the window may get: none for want of a MIDI port, then a virtual one.
bool midiPortAppeared = false;
LumaCore_t* engineWhenPortAppeared(int* status) {
    *status = midiPortAppeared ? 0 : 3;
    return midiPortAppeared ? lc_init_virtual(64) : nullptr;
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override { QSettings("Kalvora", "Beatlume").clear(); }
    void TearDown() override { QSettings("Kalvora", "Beatlume").clear(); }

    // The window owns the bridge.
    void build() {
        window.reset();
        bridge = new QLumacore;
        window = std::make_unique<MainWindow>(bridge);
    }

    template <typename T> T* child(const char* name) {
        T* widget = window->findChild<T*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    void poll(double level, QLumacore::TrackState state) {
        QLumacore::Readings r;
        r.level = level;
        r.nonBeatyness = level;
        r.state = state;
        bridge->publish(r);
    }

    // The user's choices as the window and the engine hold them: note box, notes sent, clock box,
    // clock sent, "Stop on silence", phase controllers sent, the window's phase choice, half-life,
    // the engine's stop on silence and hold, anti-delay, tempo range.
    std::vector<double> choices() {
        // clang-format off
        return {double(child<QCheckBox>("midiNoteEnable")->isChecked()),  double(bridge->getMidiNoteEnabled()),
                double(child<QCheckBox>("midiClockEnable")->isChecked()), double(bridge->getMidiClockEnabled()),
                double(child<QCheckBox>("nonMusicCheck")->isChecked()),   double(bridge->getSendPhase()),
                double(window->getSendPhase()),                           bridge->lastHalfTime(),
                double(bridge->getStopOnSilence()),                       double(bridge->getHoldBars()),
                bridge->GetAntiDelay(),                                   double(window->getTempoState())};
        // clang-format on
    }

    QLumacore* bridge = nullptr;
    std::unique_ptr<MainWindow> window;
};

} // namespace

TEST_F(MainWindowTest, WithoutMidiPortTheWindowOpensAndPicksThePortUpLater) {
    midiPortAppeared = false;
    bridge = new QLumacore;
    bridge->setEngineFactory(engineWhenPortAppeared);
    EXPECT_FALSE(bridge->init());
    window = std::make_unique<MainWindow>(bridge);
    window->show();
    EXPECT_TRUE(window->deviceStatus().contains("No MIDI output port")) << window->deviceStatus().toStdString();
    EXPECT_TRUE(child<QPushButton>("statusSettingsButton")->isVisible());

    child<QSlider>("robustSlider")->setValue(60);
    child<QCheckBox>("nonMusicCheck")->click();
    midiPortAppeared = true;
    window->checkDevices();
    ASSERT_NE(bridge->engineHandle(), nullptr);
    EXPECT_FALSE(window->deviceStatus().contains("No MIDI output port: nothing is sent"));
    EXPECT_TRUE(bridge->isProcessing() && std::abs(bridge->lastHalfTime() - 6.0) < 1e-9 &&
                lc_get_stop_on_silence(bridge->engineHandle()) == 0);
    midiPortAppeared = false;

    // A nudge moves the engine's reading ahead, not the user's anti-latency.
    bridge->SetAntiDelay(0.03);
    window->tempoPanel()->findChild<QAction*>("earlierAction")->trigger();
    window->tempoPanel()->findChild<QAction*>("earlierAction")->trigger();
    bridge->nudgePhase(-QLumacore::maxNudge); // beyond the limit
    EXPECT_NEAR(lc_get_anti_delay(bridge->engineHandle()), 0.05, 1e-12);
    EXPECT_NEAR(bridge->GetAntiDelay(), 0.03, 1e-12);
}

TEST_F(MainWindowTest, FirstStartDefaultsAndSettingsSurviveARestart) {
    build();
    // The engine stops on silence; the "Send phase" box and the controllers sent agree: none (64
    // and 65 are sustain and portamento on a synthesiser).
    EXPECT_EQ(choices(), (std::vector<double>{1, 1, 0, 0, 1, 0, 0, 3.0, 1, 8, 0, 0}));
    EXPECT_TRUE(bridge->isProcessing());
    child<QSlider>("robustSlider")->setValue(45);
    child<QCheckBox>("midiNoteEnable")->setChecked(false);
    child<QCheckBox>("midiClockEnable")->setChecked(true);
    window->setSendPhase(true);
    child<QPushButton>("tempoButton")->pressed();
    child<QCheckBox>("nonMusicCheck")->click();
    window->silenceDialog()->findChild<QDial*>("dial")->setValue(7);
    bridge->SetAntiDelay(0.035);
    window->resize(700, 420);
    window->efektors()->move(300, 200);
    window->close();

    // Without an audio interface or MIDI port no device is stored.
    QSettings stored("Kalvora", "Beatlume");
    EXPECT_FALSE(stored.contains("Beatlume/AudioInputDevice") ||
                 stored.contains("Beatlume/MidiOutputDevice"));

    build();
    EXPECT_EQ(choices(), (std::vector<double>{0, 0, 1, 1, 0, 1, 1, 4.5, 0, 7, 0.035, 1}));
    EXPECT_NEAR(60.0 / bridge->lastMyyValues()[1], 140.0, 1e-9);
    EXPECT_TRUE(window->size() == QSize(700, 420) && window->efektors()->pos() == QPoint(300, 200));

    child<QCheckBox>("nonMusicCheck")->click();
    window->setSendPhase(false);
    window->close();
    build();
    EXPECT_EQ(choices(), (std::vector<double>{0, 0, 1, 1, 1, 0, 0, 4.5, 1, 7, 0.035, 1}));

    // Absurd stored values fall back to the defaults, and windows stay on the screen.
    window->close();
    const std::pair<const char*, QVariant> absurd[] = {
        {"Beatlume/HoldBars", 1000}        , {"Beatlume/AntiDelay", 1e300},  {"Beatlume/TempoRange", -7},
        {"Beatlume/HalfLife", 1e9},           {"MainWindow/Position", QPoint(-9000, 99999)}, {"Beatlume/SilenceThreshold", 1e9},
        {"EfektorList/Position", QPoint(99999, -9000)}};
    for (const auto& [key, value] : absurd)
        QSettings("Kalvora", "Beatlume").setValue(key, value);
    build();
    EXPECT_TRUE(window->getHoldBars() == 8 && window->getSilenceThreshold() == -30 && bridge->GetAntiDelay() == 0.0 &&
                window->getTempoState() == 0);
    EXPECT_EQ(child<QLabel>("halflifeLabel")->text(), QString("Halflife: %1s").arg(bridge->lastHalfTime()));
    const QRect screen = window->screen()->availableGeometry();
    EXPECT_TRUE(screen.contains(window->pos()) && screen.contains(window->efektors()->frameGeometry()));
}

TEST_F(MainWindowTest, TempoButtonCyclesThroughThreeRanges) {
    build();
    for (const double beatBpm : {140.0, 80.0, 60.0 / 0.55}) {
        child<QPushButton>("tempoButton")->pressed();
        EXPECT_NEAR(60.0 / bridge->lastMyyValues().value(1), beatBpm, 1e-9);
    }
    EXPECT_EQ(window->getTempoState(), 0);
}

// The engine decides when the music has gone; the window passes the switch and the hold on, shows
// the level, and lets the lamps sleep while the engine holds its outputs back.
TEST_F(MainWindowTest, StopOnSilenceIsTheEnginesSwitchAndTheLampsFollowIt) {
    build();
    auto* check = child<QCheckBox>("nonMusicCheck");
    window->silenceDialog()->findChild<QDial*>("dial")->setValue(2);
    EXPECT_EQ(bridge->getHoldBars(), 2);
    window->silenceDialog()->findChild<QSlider*>("horizontalSlider")->setValue(-40);
    EXPECT_EQ(bridge->getSilenceThreshold(), -40.0);
    poll(-42, QLumacore::TrackState::Holding);
    EXPECT_TRUE(child<Blinker>("beatGauge")->isActive());
    EXPECT_EQ(window->silenceDialog()->findChild<Meter*>("rmsvalue")->level(), -42);
    poll(-100, QLumacore::TrackState::NoEvidence);
    EXPECT_FALSE(child<Blinker>("tatumGauge")->isActive());
    check->click();
    EXPECT_FALSE(bridge->getStopOnSilence());
    poll(-100, QLumacore::TrackState::NoEvidence);
    EXPECT_TRUE(child<Blinker>("barGauge")->isActive());
}

TEST_F(MainWindowTest, ClosingAsksBeforeUnsavedChangesAreLost) {
    build();
    window->show();
    EfektorList* list = window->efektors();
    EXPECT_TRUE(window->screen()->availableGeometry().contains(list->frameGeometry()));
    int asked = 0;
    auto answer = EfektorList::UnsavedChoice::Cancel;
    list->setPrompts([&](const QString&) { return ++asked, answer; }, nullptr);
    EXPECT_FALSE(window->isWindowModified());
    for (int i = 0; i < 3; ++i)
        list->findChild<QComboBox*>("addBox")->setCurrentIndex(1);
    EXPECT_TRUE(window->isWindowModified());
    // Efektor windows keep off the list.
    for (Efektor* efektor : list->scene(0))
        EXPECT_FALSE(efektor->frameGeometry().intersects(list->frameGeometry()));
    list->findChild<QListWidget*>("efektorListWidget")->setCurrentRow(0);
    list->findChild<QPushButton*>("deleteEfektor")->click();
    child<QAction>("undoAction")->trigger();
    EXPECT_EQ(list->scene(0).size(), 3);

    EXPECT_TRUE(!window->close() && window->isVisible());
    answer = EfektorList::UnsavedChoice::Discard;
    EXPECT_TRUE(window->close());
    EXPECT_EQ(asked, 2);
}

TEST_F(MainWindowTest, AFilePlaysInPlaceOfTheLiveInputUntilStopped) {
    midiPortAppeared = true;
    bridge = new QLumacore;
    bridge->setEngineFactory(engineWhenPortAppeared);
    ASSERT_TRUE(bridge->init());
    midiPortAppeared = false;
    window = std::make_unique<MainWindow>(bridge);
    EXPECT_TRUE(!window->playFile("/nonexistent/song.wav") &&
                window->statusBar()->currentMessage().startsWith("Cannot play"));

    // Half a second of silence as 16-bit mono WAV.
    QTemporaryDir dir;
    QFile wav(dir.filePath("rehearsal.wav"));
    ASSERT_TRUE(wav.open(QIODevice::WriteOnly));
    QDataStream out(&wav);
    out.setByteOrder(QDataStream::LittleEndian);
    out << 0x46464952u << 36u + 44100u << 0x45564157u << 0x20746d66u << 16u << quint16(1) << quint16(1) << 44100u
        << 88200u << quint16(2) << quint16(16) << 0x61746164u << 44100u;
    wav.write(QByteArray(44100, 0));
    wav.close();

    ASSERT_TRUE(window->playFile(wav.fileName()));
    EXPECT_TRUE(window->playingFile() == "rehearsal.wav" && child<QAction>("stopFileAction")->isEnabled());
    EXPECT_TRUE(window->deviceStatus().contains("playing rehearsal.wav")) << window->deviceStatus().toStdString();
    child<QPushButton>("statusStopButton")->click();
    EXPECT_TRUE(window->playingFile().isEmpty() && !window->deviceStatus().contains("playing") &&
                !child<QAction>("stopFileAction")->isEnabled());
}

TEST(TapTempo, IntervalsPausesBouncesAndOutliers) {
    struct Case {
        std::vector<double> taps;
        double bpm;
    };
    const Case cases[] = {
        {{0.0}, 0.0},
        {{0.0, 0.5, 1.0, 1.5}, 120.0},
        {{0.0, 0.5, 1.0, 1.6, 2.0}, 120.0},          // a late tap and an early one average out
        {{0.0, 0.5, 1.0, 3.5}, 0.0},                 // a pause starts again
        {{0.0, 0.5, 1.0, 3.5, 4.0, 4.5}, 120.0},
        {{0.0, 0.5, 0.55, 1.0}, 120.0},              // a bounce of the key is no tap
        {{0.0, 0.5, 1.0, 1.25, 1.5}, 240.0},         // a change of mind drops the old taps
        {{0.0, 0.5, 1.0, 0.2}, 0.0},                 // time going backwards
        {{0.0, 0.5, std::nan(""), 5.0, 5.5}, 120.0},
    };
    for (const Case& c : cases) {
        TapTempo tapper;
        double bpm = 0.0;
        for (double t : c.taps)
            bpm = tapper.tap(t);
        EXPECT_NEAR(bpm, c.bpm, 1e-9) << c.taps.size() << " taps ending " << c.taps.back();
        EXPECT_NEAR(tapper.bpm(), c.bpm, 1e-9);
    }
}

TEST_F(MainWindowTest, TempoPanelControlsGiveHintsAndHaveKeysOfTheirOwn) {
    build();
    TempoPanel* panel = window->tempoPanel();
    double now = 100.0;
    panel->setClock([&now] { return now; });
    auto trigger = [&](const char* name) {
        QAction* action = panel->findChild<QAction*>(name);
        ASSERT_NE(action, nullptr) << name;
        action->trigger();
    };
    for (int tap = 0; tap < 4; ++tap, now += 0.5)
        trigger("tapAction");
    EXPECT_TRUE(child<QLabel>("tapDisplay")->text() == "tap 120.0" && std::abs(bridge->lastHints().tempo - 120.0) < 1e-9);

    trigger("halfAction");
    EXPECT_NEAR(bridge->lastHints().tempo, 60.0, 1e-9);
    for (const char* name : {"doubleAction", "doubleAction", "oneAction", "freezeAction", "earlierAction",
                             "earlierAction", "laterAction"})
        trigger(name);
    const QLumacore::Hints hints = bridge->lastHints();
    EXPECT_TRUE(hints.tempo == 240.0 && hints.barStarts == 1 && hints.frozen);
    EXPECT_NEAR(hints.nudge, -TempoPanel::nudgeSeconds, 1e-12);

    // Every control has a key of its own.
    QSet<QKeySequence> keys;
    for (QAction* action : panel->findChildren<QAction*>())
        keys.insert(action->shortcut());
    EXPECT_TRUE(keys.size() == 7 && !keys.contains(QKeySequence()));
    EXPECT_EQ(child<QWidget>("tapButton")->focusPolicy(), Qt::StrongFocus);
}

TEST_F(MainWindowTest, TempoPanelShowsTempoBeatOfTheBarAndCertainty) {
    build();
    QLumacore::Readings r;
    r.bar = 2.75; // the fourth beat of the bar, a little into it
    r.beat = 11.02;
    r.bpm = 128.04;
    r.beatsPerBar = 4;
    r.confidence = 0.83;
    r.state = QLumacore::TrackState::Locked;
    bridge->publish(r);
    auto* lamps = child<BarLamps>("barLamps");
    EXPECT_TRUE(child<QLabel>("bpmDisplay")->text() == "128.0" && lamps->beats() == 4 && lamps->current() == 3);
    EXPECT_EQ(child<QProgressBar>("confidenceBar")->value(), 83);

    r.bpm = std::nan("");
    r.confidence = 7.0;
    r.beatsPerBar = 3;
    r.state = QLumacore::TrackState::Holding;
    bridge->publish(r);
    EXPECT_TRUE(child<QLabel>("bpmDisplay")->text() == "---" && lamps->current() == -1);
    EXPECT_EQ(child<QProgressBar>("confidenceBar")->value(), 100);

    // Bar and beat phases that disagree a little still name the right beat; a phase just
    // before the downbeat belongs to the last beat.
    EXPECT_EQ(
        (std::vector{TempoPanel::beatInBar(5.499, 17.01, 3), TempoPanel::beatInBar(5.99, 17.97, 3),
                     TempoPanel::beatInBar(6.003, 18.01, 3), TempoPanel::beatInBar(std::nan(""), 1.0, 4)}),
        (std::vector{1, 2, 0, -1}));
}

// "This is the one" on music at 120 BPM in 4/4 (bars at 0, 2, 4 … s): pressed at 7.2 s, the
// next beat (7.5 s, the bar's fourth) becomes the bar's first, and stays so for 30 s of music.
TEST(TempoPanelOnTheEngine, ThisIsTheOneMovesTheBarNotesForThirtySeconds) {
    struct Clock {
        double now = 0.0;
        static double read(void* self) { return static_cast<Clock*>(self)->now; }
    } clock;
    QLumacore bridge;
    bridge.setEngineFactory([](int* status) {
        *status = 0;
        return lc_init_virtual(1 << 15);
    });
    ASSERT_TRUE(bridge.init());
    LumaCore_t* lc = bridge.engineHandle();
    lc_register_gettime_cb(lc, &clock, Clock::read);
    lc_start_sequencer(lc);
    bridge.enableMidiNoteOutput(1);
    TempoPanel panel;
    panel.attach(&bridge);

    synth::MusicSpec spec;
    spec.seconds = 38.0;
    const std::vector<float> music = synth::renderMusicFloat(spec);
    long ms = 0;
    for (size_t frame = 0; frame + 128 <= music.size(); frame += 128) {
        clock.now = static_cast<double>(frame + 128) / 44100.0;
        lc_process_audio(music.data() + frame, 128, lc, static_cast<double>(frame) / 44100.0);
        lc_consume_audio(lc);
        if (frame / 4410 == 71 && (frame + 128) / 4410 == 72)
            panel.findChild<QAction*>("oneAction")->trigger();
        for (; ms < static_cast<long>(static_cast<double>(frame + 256) / 44.1); lc_timer_pass(lc, clock.now))
            clock.now = static_cast<double>(++ms) / 1000.0;
    }
    ASSERT_EQ(bridge.lastHints().barStarts, 1);

    // Distance of each bar note from the grid 7.5 s + 2 s k.
    std::vector<double> before, after;
    MidiOut_t* out = lc_get_midi_output(lc);
    MidiCaptureEntry_t e;
    for (size_t i = 0; i < midioutput_capture_count(out); ++i)
        if (midioutput_capture_get(out, i, &e) == 0 && e.size == 3 && e.bytes[0] == 0x90 && e.bytes[1] == 64) {
            const double x = (e.time - 7.5) / 2.0;
            if (e.time < 7.0 || e.time > 9.0)
                (e.time < 7.0 ? before : after).push_back(std::fabs(x - std::round(x)) * 2.0);
        }
    ASSERT_FALSE(before.empty());
    EXPECT_GT(before.back(), 0.4);
    EXPECT_GE(after.size(), 13u);
    EXPECT_LT(*std::max_element(after.begin(), after.end()), 0.05);
}
