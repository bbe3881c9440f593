// The desktop program's engine end to end on a private JACK server (dummy back end): it captures
// a 120 BPM drum pattern that a JACK client of the test plays into its input through PortAudio,
// and sends its MIDI clock to a JACK MIDI input owned by the test. (The program as its own process
// over JACK is the headless tests' subject.)

#include "AudioInterface.h"
#include "MainWindow.h"
#include "QLumacore.h"
#include "SettingsDialog.h"
#include "jack_rig.h"
#include "jack_server.h"
#include "synth_music.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QSettings>

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr unsigned char midiStart = 0xFA;

using beatlume::test::JackRig;
using Message = beatlume::test::MidiMessage;

// The program sends on its own port, and the drums go to its audio input once that
// exists; the test connects both, as a patchbay would.
bool connectDrums(const JackRig& drums) {
    return drums.connectMidiFrom("Beatlume:Beatlume") && drums.connectMusic();
}

// Waits for a condition with a deadline that only guards against a hang; Qt's events are
// handled meanwhile (the bridge's poll runs in-process).
template <typename Condition> bool waitFor(Condition done, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

size_t countStatus(const std::vector<Message>& messages, unsigned char status) {
    return static_cast<size_t>(
        std::count_if(messages.begin(), messages.end(), [&](const Message& m) { return m.bytes[0] == status; }));
}

// A private JACK server with the test's client on it, ready to loop 16 s at 120 BPM: a whole
// number of bars, so the loop keeps the beat.
class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!server.available())
            GTEST_SKIP() << "no JACK server for this test: " << server.skip_reason();
        synth::MusicSpec spec;
        spec.bpm = 120.0;
        spec.seconds = 16.0;
        client = std::make_unique<JackRig>("beatlume-e2e", synth::renderMusicFloat(spec), false);
        ASSERT_TRUE(client->ready()) << "cannot open the test's JACK client";
    }
    beatlume::test::JackServer server;
    std::unique_ptr<JackRig> client;
};

} // namespace

// In-process: the real start-up path of the main window, a device change that restarts the
// engine while music plays, and the shutdown, all under the sanitizers.
TEST_F(EndToEnd, DeviceChangeRestartsTheEngineAndShutdownIsClean) {
    // Stored devices that are gone fall back to the default input with its first channel and
    // to the port opened at start-up.
    {
        QSettings stored("Kalvora", "Beatlume");
        stored.clear();
        stored.setValue("Beatlume/AudioInputDevice", "Vanished interface");
        stored.setValue("Beatlume/AudioChannels", QVariantList{0, 1});
        stored.setValue("Beatlume/MidiOutputDevice", "Vanished port");
    }

    auto* bridge = new QLumacore;
    ASSERT_TRUE(bridge->init());
    auto window = std::make_unique<MainWindow>(bridge);
    AudioInterface* audio = bridge->audioInterface();
    ASSERT_NE(audio, nullptr);
    const QList<QString> devices = bridge->getAudioDevList();
    ASSERT_FALSE(devices.isEmpty());
    ASSERT_GE(audio->getAudioDevIndex(), 0);
    EXPECT_EQ(devices[audio->getAudioDevIndex()], "system");
    EXPECT_EQ(bridge->getMidiDevIndex(), 0);
    // The JACK dummy back end offers two capture channels; the first one is heard.
    ASSERT_EQ(audio->getCurrentChannels(), (std::vector<char>{1, 0}));
    window->findChild<QCheckBox*>("midiClockEnable")->setChecked(true);

    ASSERT_TRUE(waitFor([this] { return connectDrums(*client); }, 30));
    client->play();
    ASSERT_TRUE(waitFor([&] { return countStatus(client->messages(), midiStart) >= 1; }, 90))
        << "no MIDI Start before the device change";
    const double before = AudioInterface::GetStreamTime(audio);
    EXPECT_GT(before, 0.5);

    // The same device again takes the whole path of a change: stream closed, engine stopped,
    // new stream, engine run again, time source and MIDI switches re-applied.
    audio->toggleChannel(1, 1);
    bridge->stopProcessing();
    audio->selectAudioDev(audio->getAudioDevIndex());
    bridge->startProcessing();
    EXPECT_EQ(audio->getCurrentChannels(), (std::vector<char>{1, 0}));
    EXPECT_LT(AudioInterface::GetStreamTime(audio), before);
    EXPECT_TRUE(bridge->getMidiClockEnabled());

    // Choosing other devices in the I/O settings dialog restarts the engine at once and
    // selects the new device's first channel only. PortAudio offers the test's own client as
    // a one-channel input device.
    const int systemIndex = audio->getAudioDevIndex();
    const int clientIndex = devices.indexOf("beatlume-e2e");
    ASSERT_GE(clientIndex, 0) << devices.join(", ").toStdString();
    {
        SettingsDialog settings(bridge, window.get());
        auto* select = settings.findChild<QComboBox*>("audioDevSelect");
        select->setCurrentIndex(clientIndex);
        EXPECT_EQ(audio->getAudioDevIndex(), clientIndex);
        EXPECT_EQ(audio->getCurrentChannels(), (std::vector<char>{1}));
        EXPECT_TRUE(bridge->isProcessing());
        audio->toggleChannel(0, 0);
        select->setCurrentIndex(systemIndex);
        EXPECT_EQ(audio->getAudioDevIndex(), systemIndex);
        EXPECT_EQ(audio->getCurrentChannels(), (std::vector<char>{1, 0}));
    }

    const size_t startsBefore = countStatus(client->messages(), midiStart);
    ASSERT_TRUE(waitFor([this] { return connectDrums(*client); }, 30));
    ASSERT_TRUE(waitFor([&] { return countStatus(client->messages(), midiStart) > startsBefore; }, 90))
        << "the restarted engine never started the MIDI clock";

    window->close();
    QSettings stored("Kalvora", "Beatlume");
    EXPECT_EQ(stored.value("Beatlume/AudioInputDevice").toString(), devices[audio->getAudioDevIndex()]);
    EXPECT_EQ(stored.value("Beatlume/MidiOutputDevice").toString(), "Beatlume:Beatlume"); // its own port
    EXPECT_TRUE(stored.value("Beatlume/MidiClockEnabled").toBool() &&
                stored.value("Beatlume/AudioChannels").toList() == QVariantList({1, 0}));
    window.reset(); // closes the stream, terminates PortAudio and closes the engine

    // The next start opens the stored device with the stored channels.
    stored.setValue("Beatlume/AudioChannels", QVariantList{0, 1});
    stored.sync();
    bridge = new QLumacore;
    ASSERT_TRUE(bridge->init());
    window = std::make_unique<MainWindow>(bridge);
    EXPECT_EQ(bridge->audioInterface()->getAudioDevIndex(), systemIndex);
    EXPECT_EQ(bridge->audioInterface()->getCurrentChannels(), (std::vector<char>{0, 1}));
    EXPECT_TRUE(window->findChild<QCheckBox*>("midiClockEnable")->isChecked());
    window.reset();
    stored.clear();
}
