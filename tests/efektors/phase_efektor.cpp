// The function efektor on the engine's timer in virtual time: its values at known phases,
// level changes, enabling, and its record body through save, load and copy.
#include "PhaseEfektor.h"
#include "efektor_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDial>
#include <QSlider>
#include <QSpinBox>

#include <optional>

namespace {

struct Sent {
    double phase; // of the level the efektor follows, at the moment of sending
    int status, number, value;
};

} // namespace

class PhaseEfektorTest : public EfektorEngineTest {
protected:
    std::vector<Sent> sent(double unitSeconds = barSeconds) const {
        std::vector<Sent> out;
        for (const CapturedMessage& m : messages())
            if (m.bytes.size() == 3)
                out.push_back({m.time / unitSeconds, m.bytes[0], m.bytes[1], m.bytes[2]});
        return out;
    }
    // The value sent at the delivery for `phase` (made at that phase or one pass later).
    static std::optional<int> valueAt(const std::vector<Sent>& all, double phase) {
        for (const Sent& s : all)
            if (s.phase > phase - 1e-9 && s.phase < phase + 0.0011 / barSeconds)
                return s.value;
        return std::nullopt;
    }
};

TEST_F(PhaseEfektorTest, FallingSawOverTheBarSends64ControllersPerBar) {
    PhaseEfektor efektor(&bridge, 5, nullptr);
    efektor.waveform = PhaseEfektor::Saw;
    efektor.on_enabledCheckBox_clicked(true);
    runUntil(4 * barSeconds);

    const std::vector<Sent> all = sent();
    ASSERT_EQ(all.size(), 4u * 64u);
    EXPECT_EQ(valueAt(all, 3.25), 95); // trunc(0.75 × 127)
    for (const Sent& s : all) {
        EXPECT_EQ(s.status, 0xB0);
        EXPECT_EQ(s.number, 5);
        const double f = s.phase - std::floor(s.phase);
        if (f > 0.001 && f < 0.999) {
            EXPECT_NEAR(s.value, (1.0 - f) * 127.0, 1.0) << "at phase " << s.phase;
        }
    }
}

TEST_F(PhaseEfektorTest, SquareBetween20And100SendsOnly20And99SwitchingMidBar) {
    PhaseEfektor efektor(&bridge, 1, nullptr);
    efektor.waveform = PhaseEfektor::Square;
    efektor.min = 20;
    efektor.max = 100;
    efektor.channel = 3;
    efektor.on_enabledCheckBox_clicked(true);
    runUntil(2 * barSeconds);
    for (const Sent& s : sent()) {
        EXPECT_EQ(s.status, 0xB3);
        const double f = s.phase - std::floor(s.phase);
        if (f > 0.001 && f < 0.499) {
            EXPECT_EQ(s.value, 20) << s.phase;
        } else if (f > 0.501 && f < 0.999) {
            EXPECT_EQ(s.value, 99) << s.phase; // 99.99999999999999 truncates
        } else {
            EXPECT_TRUE(s.value == 20 || s.value == 99) << s.value;
        }
    }

    // The full range reaches both ends.
    efektor.min = 0;
    efektor.max = 127;
    clearMessages();
    runUntil(3 * barSeconds);
    const std::vector<Sent> full = sent();
    EXPECT_EQ(valueAt(full, 2.25), 0);
    EXPECT_EQ(valueAt(full, 2.75), 127);
}

TEST_F(PhaseEfektorTest, DividerSpreadsTheShapeOverSeveralBars) {
    PhaseEfektor efektor(&bridge, 1, nullptr);
    efektor.waveform = 7; // no shape: y = x
    efektor.divider = 2;
    efektor.on_enabledCheckBox_clicked(true);
    runUntil(6 * barSeconds);
    const std::vector<Sent> all = sent();
    EXPECT_EQ(valueAt(all, 4.5), 31); // k 4, i 0: x = 0.25
    EXPECT_EQ(valueAt(all, 5.5), 63); // i 1: x = 0.5

    // Divider 4 over triangles: four bars rise to 1/4, 1/2, 3/4 and 1 of the shape's input.
    efektor.divider = 4;
    efektor.waveform = PhaseEfektor::Triangle;
    clearMessages();
    runUntil(10 * barSeconds);
    const std::vector<Sent> tri = sent();
    EXPECT_EQ(valueAt(tri, 8.5), trunc((1.0 - 2.0 * 0.125) * 127.0)); // bar 8 is i 0: x 0.125
    EXPECT_EQ(valueAt(tri, 9.5), trunc((1.0 - 2.0 * 0.25) * 127.0));
}

TEST_F(PhaseEfektorTest, TriangleReachesZeroMidUnitAndInvertMirrorsIt) {
    PhaseEfektor efektor(&bridge, 1, nullptr); // triangle is the default
    efektor.on_enabledCheckBox_clicked(true);
    runUntil(barSeconds);
    std::vector<Sent> plain = sent();
    EXPECT_EQ(valueAt(plain, 0.5), 0);
    for (const Sent& s : plain)
        EXPECT_LE(s.value, 127);

    efektor.invert = true;
    clearMessages();
    runUntil(2 * barSeconds);
    const std::vector<Sent> inverted = sent();
    EXPECT_EQ(valueAt(inverted, 1.5), 127);
    const double f = 0.25; // triangle 0.5, inverted 0.5
    EXPECT_EQ(valueAt(inverted, 1.0 + f), 63);
}

TEST_F(PhaseEfektorTest, DisabledSendsNothingAndReenablingResumesAtOnce) {
    PhaseEfektor efektor(&bridge, 1, nullptr);
    efektor.findChild<QSlider*>("waveformSlider")->setValue(PhaseEfektor::Saw);
    EXPECT_EQ(efektor.waveform.load(), PhaseEfektor::Saw);
    runUntil(barSeconds);
    EXPECT_TRUE(sent().empty());
    EXPECT_GT(efektor.output.load(), 0.0); // it kept computing
    runUntil(barSeconds + 0.300);
    efektor.findChild<QCheckBox*>("enabledCheckBox")->click();
    EXPECT_TRUE(efektor.enabled);
    runUntil(barSeconds + 0.340);
    const std::vector<Sent> all = sent();
    ASSERT_EQ(all.size(), 1u); // the 64th after 0.300 s is at 0.320 s
    EXPECT_NEAR(all[0].value, (1.0 - 0.320 / barSeconds) * 127.0, 1.0);
}

TEST_F(PhaseEfektorTest, BeatLevelFromTheComboAndFromAFileSends32PerBeat) {
    PhaseEfektor efektor(&bridge, 1, nullptr);
    efektor.on_enabledCheckBox_clicked(true);
    auto* combo = efektor.findChild<QComboBox*>("meterComboBox");
    ASSERT_NE(combo, nullptr);
    ASSERT_EQ(combo->count(), 2);
    EXPECT_EQ(combo->itemText(1), "Beat");
    emit combo->activated(1);
    EXPECT_EQ(efektor.level.load(), METERLEVEL_BEAT);
    runUntil(2 * beatSeconds);
    EXPECT_EQ(sent().size(), 64u);

    // A stored "Beat" efektor follows the beat after loading.
    const auto loaded = fromRecord<PhaseEfektor>(&bridge, bodyOf(efektor));
    EXPECT_TRUE(loaded->loadedOk()) << loaded->loadProblem().toStdString();
    efektor.on_enabledCheckBox_clicked(false);
    clearMessages();
    runUntil(4 * beatSeconds);
    EXPECT_EQ(sent().size(), 64u);
}

TEST_F(PhaseEfektorTest, RecordBodyRoundTripsAndACopyFollowsTheSameLevel) {
    // The body of the example project's efektor, then one with every field changed.
    const QString example = "Function_Efektor_1\n0\n0\n127\n2\n1\n0\n0\n0\n0\n420\n40\n420\n40\n";
    const auto loaded = fromRecord<PhaseEfektor>(&bridge, example, 9);
    EXPECT_TRUE(loaded->loadedOk());
    EXPECT_EQ(loaded->windowTitle(), "Function Efektor 1");
    EXPECT_EQ(bodyOf(*loaded), example);

    const QString custom = "Bass_Wobble\n1\n100\n20\n3\n7\n74\n1\n1\n15\n10\n20\n30\n40\n";
    const auto wobble = fromRecord<PhaseEfektor>(&bridge, custom, 9);
    EXPECT_TRUE(wobble->loadedOk());
    EXPECT_EQ(wobble->windowTitle(), "Bass Wobble");
    EXPECT_EQ(wobble->min.load(), 100);
    EXPECT_EQ(wobble->divider.load(), 7);
    EXPECT_EQ(wobble->MessageNumber(), 74);
    EXPECT_EQ(wobble->channel.load(), 15);
    EXPECT_EQ(wobble->findChild<QSpinBox*>("controllerBox_2")->value(), 16);
    EXPECT_EQ(wobble->findChild<QDial*>("minDial")->value(), 100);
    EXPECT_EQ(bodyOf(*wobble), custom);

    PhaseEfektor copy(&bridge, nullptr, wobble.get());
    EXPECT_EQ(copy.windowTitle(), "Bass Wobble");
    EXPECT_EQ(copy.MessageNumber(), 74);
    EXPECT_EQ(copy.level.load(), METERLEVEL_BEAT);
    EXPECT_TRUE(copy.enabled);
    wobble->on_enabledCheckBox_clicked(false);
    runUntil(beatSeconds);
    int fromCopy = 0;
    for (const Sent& s : sent())
        fromCopy += s.status == 0xBF && s.number == 74;
    EXPECT_EQ(fromCopy, 32); // 32 per beat: the copy follows the beat
}

TEST_F(PhaseEfektorTest, BrokenRecordsGiveAnEfektorWithEveryFieldInRange) {
    const char* broken[] = {
        "T 1 -5 300 9 0 128 1 5 16 0 0 0 0",       // every value out of range
        "T 1 0 127 2 x 5 0 0 0 0 0 0 0",           // a divider that is no number
        "T 1 0 127",                               // truncated
        "T 1 0 127 2 END_EFEKTOR 1 0",             // ends early
        "\xff\xfe\x01 junk \x02\x03 1e400 -1e400", // binary junk
        "",
    };
    for (const char* record : broken) {
        const auto e = fromRecord<PhaseEfektor>(&bridge, record, 3);
        SCOPED_TRACE(record);
        EXPECT_FALSE(e->loadedOk());
        EXPECT_GE(e->divider.load(), 1);
        expectBaseFieldsInRange(*e);
        EXPECT_TRUE(e->min >= 0 && e->min <= 127 && e->max >= 0 && e->max <= 127);
        EXPECT_TRUE(e->level == METERLEVEL_BAR || e->level == METERLEVEL_BEAT);
        e->Update(3.3);
        EXPECT_TRUE(e->output >= 0.0 && e->output <= 1.0);
    }
}
