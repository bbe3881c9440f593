// The main window without an engine: first start, the settings round trip, the tempo-range
// button, the half-life slider and "Stop on silence".

#include "Blinker.h"
#include "MainWindow.h"
#include "NomusicDialog.h"
#include "QLumacore.h"

#include <QCheckBox>
#include <QDial>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <gtest/gtest.h>

namespace {

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

    void poll(double level) {
        QLumacore::Readings r;
        r.level = level;
        r.nonBeatyness = level;
        bridge->publish(r);
    }

    bool midiBoxesChecked() {
        return child<QCheckBox>("midiNoteEnable")->isChecked() &&
               child<QCheckBox>("midiClockEnable")->isChecked();
    }
    bool midiBoxesUnchecked() {
        return !child<QCheckBox>("midiNoteEnable")->isChecked() &&
               !child<QCheckBox>("midiClockEnable")->isChecked();
    }

    QLumacore* bridge = nullptr;
    std::unique_ptr<MainWindow> window;
};

} // namespace

TEST_F(MainWindowTest, FirstStartWithoutStoredSettings) {
    build();
    EXPECT_EQ(window->windowTitle(), "Beatlume");
    EXPECT_EQ(window->width(), 190);
    EXPECT_TRUE(child<QCheckBox>("midiNoteEnable")->isChecked());
    EXPECT_TRUE(bridge->getMidiNoteEnabled());
    EXPECT_FALSE(child<QCheckBox>("midiClockEnable")->isChecked());
    EXPECT_FALSE(bridge->getMidiClockEnabled());
    EXPECT_FALSE(child<QCheckBox>("nonMusicCheck")->isChecked());
    // Phase controllers go out, although the window's own choice stays off.
    EXPECT_EQ(bridge->getSendPhase(), 1);
    EXPECT_FALSE(window->getSendPhase());
    EXPECT_EQ(child<QSlider>("robustSlider")->value(), 50);
    EXPECT_EQ(child<QLabel>("halflifeLabel")->text(), "Halflife: 3.0s");
    EXPECT_DOUBLE_EQ(bridge->lastHalfTime(), 3.0);
    EXPECT_TRUE(child<QPushButton>("DMXButton")->isHidden());
    EXPECT_EQ(child<QPushButton>("effects")->text(), "Efektors");
    EXPECT_TRUE(bridge->isProcessing());
    EXPECT_DOUBLE_EQ(window->getSilenceThreshold(), -35.0);
    EXPECT_DOUBLE_EQ(window->getSilenceHold(), 0.0);
}

TEST_F(MainWindowTest, SettingsSurviveARestart) {
    build();
    child<QSlider>("robustSlider")->setValue(45);
    child<QCheckBox>("midiNoteEnable")->setChecked(false);
    child<QCheckBox>("midiClockEnable")->setChecked(true);
    window->setSendPhase(true);
    window->close();

    QSettings stored("Kalvora", "Beatlume");
    EXPECT_EQ(stored.value("Beatlume/HalfLife").toInt(), 45);
    EXPECT_FALSE(stored.value("Beatlume/MidiNoteEnabled").toBool());
    EXPECT_TRUE(stored.value("Beatlume/MidiClockEnabled").toBool());
    EXPECT_TRUE(stored.value("Beatlume/SendPhase").toBool());
    EXPECT_TRUE(stored.contains("MainWindow/Position"));
    // Without an audio interface or MIDI port no device is stored.
    EXPECT_FALSE(stored.contains("Beatlume/AudioInputDevice"));
    EXPECT_FALSE(stored.contains("Beatlume/MidiOutputDevice"));

    build();
    EXPECT_EQ(child<QSlider>("robustSlider")->value(), 45);
    EXPECT_EQ(child<QLabel>("halflifeLabel")->text(), "Halflife: 4.5s");
    EXPECT_FALSE(child<QCheckBox>("midiNoteEnable")->isChecked());
    EXPECT_FALSE(bridge->getMidiNoteEnabled());
    EXPECT_TRUE(child<QCheckBox>("midiClockEnable")->isChecked());
    EXPECT_TRUE(bridge->getMidiClockEnabled());
    EXPECT_TRUE(window->getSendPhase());
    EXPECT_EQ(bridge->getSendPhase(), 1);
    // Whatever the slider shows, the engine starts with a half-life of 3 s.
    EXPECT_DOUBLE_EQ(bridge->lastHalfTime(), 3.0);

    // A stored "off" overrides the engine's default of sending phase controllers.
    window->setSendPhase(false);
    window->close();
    build();
    EXPECT_EQ(bridge->getSendPhase(), 0);
    EXPECT_FALSE(window->getSendPhase());
}

TEST_F(MainWindowTest, TempoButtonCyclesThroughThreeRanges) {
    build();
    auto* button = child<QPushButton>("tempoButton");
    const QList<QList<double>> expected{
        {1.5, 3.0 / 7.0, 6.0 / 49.0}, {2.6246719160104988, 0.75, 3.0 / 14.0}, {2.1, 0.55, 0.18}};
    for (int press = 0; press < 3; ++press) {
        button->pressed();
        const QList<double> medians = bridge->lastMyyValues();
        ASSERT_EQ(medians.size(), 3);
        for (int level = 0; level < 3; ++level)
            EXPECT_NEAR(medians[level], expected[press][level], 1e-15)
                << "press " << press << " level " << level;
        EXPECT_EQ(window->getTempoState(), (press + 1) % 3);
        EXPECT_FALSE(button->icon().isNull());
    }
    // 60 / beat median: 140, 80 and about 109 beats per minute.
    button->pressed();
    EXPECT_NEAR(60.0 / bridge->lastMyyValues()[1], 140.0, 1e-9);
}

TEST_F(MainWindowTest, HalfLifeSliderShowsSecondsAndTunesTheTracker) {
    build();
    auto* slider = child<QSlider>("robustSlider");
    slider->setValue(45);
    EXPECT_EQ(child<QLabel>("halflifeLabel")->text(), "Halflife: 4.5s");
    EXPECT_DOUBLE_EQ(bridge->lastHalfTime(), 4.5);
    slider->setValue(30);
    EXPECT_EQ(child<QLabel>("halflifeLabel")->text(), "Halflife: 3s");
    EXPECT_DOUBLE_EQ(bridge->lastHalfTime(), 3.0);
    slider->setValue(500);
    EXPECT_EQ(child<QLabel>("halflifeLabel")->text(), "Halflife: 12s");
}

TEST_F(MainWindowTest, StopOnSilenceFollowsTheLevelAndDigitalSilence) {
    build();
    child<QCheckBox>("nonMusicCheck")->click();
    window->silenceDialog()->findChild<QDial*>("dial")->setValue(2);
    ASSERT_DOUBLE_EQ(window->getSilenceHold(), 2.0);
    ASSERT_DOUBLE_EQ(window->getSilenceThreshold(), -35.0);

    poll(-40);
    EXPECT_TRUE(midiBoxesChecked());
    poll(-41);
    EXPECT_TRUE(midiBoxesChecked());
    poll(-42);
    EXPECT_TRUE(midiBoxesUnchecked());
    EXPECT_FALSE(bridge->getMidiNoteEnabled());
    EXPECT_FALSE(bridge->getMidiClockEnabled());
    EXPECT_FALSE(child<Blinker>("beatGauge")->isActive());

    poll(-20);
    EXPECT_TRUE(midiBoxesChecked());
    EXPECT_TRUE(bridge->getMidiNoteEnabled());
    EXPECT_TRUE(bridge->getMidiClockEnabled());
    EXPECT_TRUE(child<Blinker>("barGauge")->isActive());

    // A silent input reports the same −100 dB at every poll.
    poll(-100);
    poll(-100);
    EXPECT_TRUE(midiBoxesChecked());
    poll(-100);
    EXPECT_TRUE(midiBoxesUnchecked());
    poll(-100);
    EXPECT_TRUE(midiBoxesUnchecked());
    EXPECT_FALSE(child<Blinker>("tatumGauge")->isActive());
}

TEST_F(MainWindowTest, TurningStopOnSilenceOffRestoresTheMidi) {
    build();
    auto* check = child<QCheckBox>("nonMusicCheck");
    check->click();
    poll(-45);
    poll(-46);
    ASSERT_TRUE(midiBoxesUnchecked());
    check->click();
    EXPECT_TRUE(midiBoxesChecked());
    poll(-47);
    EXPECT_TRUE(midiBoxesChecked());
    EXPECT_TRUE(child<Blinker>("barGauge")->isActive());
    // With "Stop on silence" off the boxes are the user's again.
    child<QCheckBox>("midiClockEnable")->setChecked(false);
    poll(-48);
    EXPECT_FALSE(child<QCheckBox>("midiClockEnable")->isChecked());
}

TEST_F(MainWindowTest, LevelReachesTheLevelBars) {
    build();
    poll(-12.8);
    auto* bar = window->findChild<QProgressBar*>("audioLevelBar");
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->value(), -12);
    poll(-100);
    EXPECT_EQ(bar->value(), -50);
    auto* rms = window->silenceDialog()->findChild<QProgressBar*>("rmsvalue");
    ASSERT_NE(rms, nullptr);
    EXPECT_EQ(rms->value(), -50);
}

TEST_F(MainWindowTest, MenusOfferSettingsProjectsQuitAndAbout) {
    build();
    QStringList texts;
    for (QAction* action : window->findChildren<QAction*>())
        if (!action->text().isEmpty())
            texts << action->text();
    for (const char* text :
         {"&Settings", "&Load Project", "&Save Project", "&Save Project As..", "&Quit", "&About"})
        EXPECT_TRUE(texts.contains(text)) << text;
}
