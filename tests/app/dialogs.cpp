// The I/O settings, channel and mapping dialogs, without an engine.

#include "AdvancedSettings.h"
#include "AudioInterface.h"
#include "MainWindow.h"
#include "MidiMapping.h"
#include "NetworkControls.h"
#include "QLumacore.h"
#include "SettingsDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QSpinBox>
#include <QTreeWidget>
#include <gtest/gtest.h>

TEST(SettingsDialog, AntiLatencyFromSliderOrTypedAgreesAndCancelPutsItBack) {
    QLumacore bridge;
    bridge.SetAntiDelay(0.0425);
    SettingsDialog dialog(&bridge);
    auto* edit = dialog.findChild<QLineEdit*>("latencyEdit");
    auto* slider = dialog.findChild<QSlider*>("latencySlider");
    EXPECT_EQ(edit->text(), "42.5 ms");
    EXPECT_EQ(slider->value(), 9); // the nearest 5 ms step
    struct Case {
        int slider;        // -1: type `typed` instead
        const char* typed;
        double antiDelay;
        const char* shown;
        int sliderAfter;
    };
    const Case cases[] = {{20, "", 0.1, "100 ms", 20},     {100, "", 0.5, "500 ms", 100},
                          {-1, "30 ms", 0.03, "30 ms", 6}, {-1, " 12.5", 0.0125, "12.5 ms", 3},
                          {-1, "fast", 0.0125, "12.5 ms", 3}, {-1, "900 ms", 0.0125, "12.5 ms", 3},
                          {-1, "nan", 0.0125, "12.5 ms", 3}};
    for (const Case& c : cases) {
        if (c.slider >= 0) {
            slider->setValue(c.slider);
        } else {
            edit->setText(c.typed);
            emit edit->returnPressed();
        }
        EXPECT_DOUBLE_EQ(bridge.GetAntiDelay(), c.antiDelay) << c.typed << c.slider;
        EXPECT_EQ(edit->text(), c.shown);
        EXPECT_EQ(slider->value(), c.sliderAfter);
    }
    dialog.reject();
    EXPECT_DOUBLE_EQ(bridge.GetAntiDelay(), 0.0425);
    SettingsDialog kept(&bridge);
    kept.findChild<QSlider*>("latencySlider")->setValue(4);
    kept.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    EXPECT_DOUBLE_EQ(bridge.GetAntiDelay(), 0.02);
}

TEST(SettingsDialog, OscAndLinkChoicesAreStoredAndReachAnEngine) {
    QSettings("Kalvora", "Beatlume").clear();
    {
        QLumacore bridge;
        SettingsDialog dialog(&bridge);
        auto* host = dialog.findChild<QLineEdit*>("oscHost");
        host->setText(" 127.0.0.1 ");
        emit host->editingFinished();
        dialog.findChild<QCheckBox*>("oscEnable")->setChecked(true);
        dialog.findChild<QSpinBox*>("oscOffset")->setValue(25);
        dialog.findChild<QSpinBox*>("linkOffset")->setValue(-10);
        EXPECT_EQ(QSettings("Kalvora", "Beatlume").value("Beatlume/OscHost").toString(), "127.0.0.1");
    }
    LumaCore_t* engine = lc_init_virtual(16);
    applyNetworkSettings(engine);
    EXPECT_EQ(osc_output_enabled(lc_get_osc_output(engine)), 1);
    EXPECT_DOUBLE_EQ(osc_output_get_latency_offset(lc_get_osc_output(engine)), 0.025);
    EXPECT_DOUBLE_EQ(link_output_get_latency_offset(lc_get_link_output(engine)), -0.010);
    EXPECT_EQ(link_output_enabled(lc_get_link_output(engine)), 0); // only the main window's box starts Link
    lc_close(engine);
    QSettings("Kalvora", "Beatlume").clear();
}

TEST(ChannelDialog, CheckStatesChooseTheMixedChannels) {
    QLumacore bridge;
    bridge.createAudioInterface();
    AudioInterface* audio = bridge.audioInterface();
    ASSERT_NE(audio, nullptr);
    audio->resetChannels(2);

    AdvancedSettings dialog(nullptr, &bridge);
    dialog.SetSelectedAudioDevice(0);
    auto* list = dialog.findChild<QTreeWidget*>("channelList");
    ASSERT_EQ(list->topLevelItemCount(), 2);
    // Only the second channel heard.
    list->topLevelItem(0)->setCheckState(0, Qt::Unchecked);
    list->topLevelItem(1)->setCheckState(0, Qt::Checked);
    EXPECT_EQ(audio->getCurrentChannels(), (std::vector<char>{0, 1}));

    // A device change selects the first channel only, and the list shows it.
    audio->resetChannels(4);
    dialog.SetSelectedAudioDevice(1);
    ASSERT_EQ(list->topLevelItemCount(), 4);
    EXPECT_TRUE(list->topLevelItem(0)->checkState(0) == Qt::Checked && list->topLevelItem(1)->checkState(0) == Qt::Unchecked);
    EXPECT_EQ(audio->getCurrentChannels(), (std::vector<char>{1, 0, 0, 0}));
}

TEST(MidiMappingDialog, SilencesTheAutomaticNotesWhileOpen) {
    QSettings("Kalvora", "Beatlume").clear();
    auto* bridge = new QLumacore;
    MainWindow window(bridge);
    ASSERT_TRUE(bridge->getMidiNoteEnabled());
    window.setSendPhase(true);
    {
        MidiMapping mapping(bridge, &window);
        EXPECT_FALSE(bridge->getMidiNoteEnabled());
        auto* sendPhase = mapping.findChild<QCheckBox*>("checkBox");
        EXPECT_TRUE(sendPhase->isChecked());
        sendPhase->setChecked(false);
        EXPECT_TRUE(!window.getSendPhase() && bridge->getSendPhase() == 0);
        mapping.findChild<QPushButton*>("beatNoteSendButton")->click();
        EXPECT_FALSE(bridge->getMidiNoteEnabled());
    }
    EXPECT_TRUE(bridge->getMidiNoteEnabled());

    bridge->enableMidiNoteOutput(0);
    { MidiMapping mapping(bridge, &window); }
    EXPECT_FALSE(bridge->getMidiNoteEnabled());
    QSettings("Kalvora", "Beatlume").clear();
}
