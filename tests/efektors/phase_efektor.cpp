// The function efektor on the engine's timer in virtual time: its values at known phases,
// level changes and enabling. Record bodies, levels among them, are checked through project files.
#include "PhaseEfektor.h"
#include "efektor_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QSlider>

#include <optional>

class PhaseEfektorTest : public EfektorEngineTest {
protected:
    // The value sent at the delivery for bar phase `phase` (made at that phase or one pass later).
    static std::optional<int> valueAt(const std::vector<Sent>& all, double phase) {
        for (const Sent& s : all)
            if (s.time > phase - 1e-9 && s.time < phase + 0.0011 / barSeconds)
                return s.value;
        return std::nullopt;
    }
};

// Values sent at chosen bar phases for each shape, range, divider and inversion; every case
// also sends one controller per 64th of a bar on its channel.
TEST_F(PhaseEfektorTest, ShapesRangesDividersAndInversionGiveTheirValuesAtKnownPhases) {
    struct Case {
        int waveform, min, max, divider;
        bool invert;
        std::vector<std::pair<double, int>> values; // bar phase, value sent there
    };
    const Case cases[] = {
        {PhaseEfektor::Saw, 0, 127, 1, false, {{0.5, 63}, {3.25, 95}}}, // falling: trunc(0.75 × 127)
        {PhaseEfektor::Square, 20, 100, 1, false, {{0.25, 20}, {0.75, 99}}}, // 99.99999999999999 truncates
        {PhaseEfektor::Square, 0, 127, 1, false, {{0.25, 0}, {0.75, 127}}},
        {7, 0, 127, 2, false, {{0.5, 31}, {1.5, 63}, {2.5, 31}}}, // no shape (y = x) over two bars
        // Four bars rise to 1/4, 1/2, 3/4 and 1 of the triangle's input.
        {PhaseEfektor::Triangle, 0, 127, 4, false, {{0.5, 95}, {1.5, 63}, {4.5, 95}}},
        {PhaseEfektor::Triangle, 0, 127, 1, false, {{0.5, 0}}},
        {PhaseEfektor::Triangle, 0, 127, 1, true, {{0.5, 127}, {1.25, 63}}},
    };
    double base = 0; // each case for eight bars from a bar that every divider divides
    for (const Case& c : cases) {
        SCOPED_TRACE(c.waveform * 1000 + c.divider * 10 + c.invert);
        clearMessages();
        PhaseEfektor efektor(&bridge, 1, nullptr);
        efektor.waveform = c.waveform;
        efektor.min = c.min;
        efektor.max = c.max;
        efektor.divider = c.divider;
        efektor.invert = c.invert;
        efektor.channel = 3;
        efektor.on_enabledCheckBox_clicked(true);
        runUntil((base + 8) * barSeconds);
        const std::vector<Sent> all = sent(barSeconds);
        EXPECT_EQ(all.size(), 8u * 64u);
        for (const Sent& s : all)
            ASSERT_TRUE(s.status == 0xB3 && s.number == 1 && s.value >= 0 && s.value <= 127) << s.value;
        for (const auto& [phase, value] : c.values)
            EXPECT_EQ(valueAt(all, base + phase), value) << "at bar phase " << phase;
        base += 8;
    }
}

TEST_F(PhaseEfektorTest, DisabledSendsNothingReenablingResumesAtOnceAndTheBeatLevelSends32PerBeat) {
    PhaseEfektor efektor(&bridge, 1, nullptr);
    efektor.findChild<QSlider*>("waveformSlider")->setValue(PhaseEfektor::Saw);
    runUntil(barSeconds);
    EXPECT_TRUE(sent().empty());
    EXPECT_GT(efektor.output.load(), 0.0); // it kept computing
    runUntil(barSeconds + 0.300);
    efektor.findChild<QCheckBox*>("enabledCheckBox")->click();
    runUntil(barSeconds + 0.340);
    ASSERT_EQ(sent().size(), 1u); // the 64th after 0.300 s is at 0.320 s
    EXPECT_NEAR(sent()[0].value, (1.0 - 0.320 / barSeconds) * 127.0, 1.0);

    clearMessages();
    emit efektor.findChild<QComboBox*>("meterComboBox")->activated(1);
    EXPECT_EQ(efektor.level.load(), METERLEVEL_BEAT);
    runUntil(barSeconds + 0.340 + 2 * beatSeconds);
    EXPECT_EQ(sent().size(), 64u);
}
