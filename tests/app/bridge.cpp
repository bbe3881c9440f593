// The engine bridge's poll: blink rule, change-only non-beatyness, level truncation and the
// order of its signals, driven with given readings.

#include "QLumacore.h"

#include <QSignalSpy>
#include <QStringList>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace {

QLumacore::Readings beatAt(double beat) {
    QLumacore::Readings r;
    r.beat = beat;
    return r;
}

int blinksBetween(double from, double to) {
    QLumacore bridge;
    bridge.publish(beatAt(from));
    QSignalSpy blinks(&bridge, &QLumacore::beat);
    bridge.publish(beatAt(to));
    for (const QList<QVariant>& args : blinks)
        EXPECT_TRUE(args.at(0).toBool());
    return static_cast<int>(blinks.count());
}

} // namespace

TEST(BridgePoll, BlinksOncePerPollInWhichATickPassed) {
    EXPECT_EQ(blinksBetween(7.98, 8.01), 1);
    EXPECT_EQ(blinksBetween(8.01, 8.40), 0);
    // Two ticks within one poll still give a single blink.
    EXPECT_EQ(blinksBetween(7.98, 9.05), 1);
    // The tracker's realignment may move the phase backwards across a tick.
    EXPECT_EQ(blinksBetween(9.02, 8.97), 1);
}

TEST(BridgePoll, EachLevelBlinksOnItsOwnTicksAndCarriesFractionAndFullPhase) {
    QLumacore bridge;
    bridge.publish(QLumacore::Readings{1.9, 7.9, 31.9});
    QSignalSpy bars(&bridge, &QLumacore::bar), beats(&bridge, &QLumacore::beat), tatums(&bridge, &QLumacore::tatum);
    QSignalSpy barPhase(&bridge, &QLumacore::barPhase), barFull(&bridge, &QLumacore::barFullPhase);
    bridge.publish(QLumacore::Readings{1.25, 8.1, 32.0});
    EXPECT_TRUE(bars.count() == 0 && beats.count() == 1 && tatums.count() == 1);
    EXPECT_DOUBLE_EQ(barPhase.at(0).at(0).toDouble(), 0.25);
    EXPECT_DOUBLE_EQ(barFull.at(0).at(0).toDouble(), 1.25);
}

TEST(BridgePoll, NonBeatynessIsSignalledOnlyWhenItChanges) {
    QLumacore bridge;
    QSignalSpy changes(&bridge, &QLumacore::nonBeatynessChange);
    QSignalSpy updates(&bridge, &QLumacore::nonBeatynessUpdate);
    QLumacore::Readings r;
    r.nonBeatyness = -20.0;
    for (int i = 0; i < 3; ++i)
        bridge.publish(r);
    EXPECT_EQ(changes.count(), 1);
    r.nonBeatyness = -21.5;
    bridge.publish(r);
    ASSERT_EQ(changes.count(), 2);
    EXPECT_DOUBLE_EQ(changes.at(1).at(0).toDouble(), -21.5);
    // The silence logic needs every poll, repeated values included.
    EXPECT_EQ(updates.count(), 4);
}

TEST(BridgePoll, LevelIsTruncatedTowardsZero) {
    QLumacore bridge;
    QSignalSpy levels(&bridge, &QLumacore::audioLevelChange);
    // Readings that are not numbers fall back to silence; absurd ones stay finite.
    const struct {
        double db;
        int shown;
    } cases[] = {{-35.7, -35},
                 {-0.5, 0},
                 {3.9, 3},
                 {-100.0, -100},
                 {std::nan(""), -100},
                 {-std::numeric_limits<double>::infinity(), -100},
                 {-1e300, -1000}};
    for (const auto& c : cases) {
        QLumacore::Readings r;
        r.level = c.db;
        bridge.publish(r);
        ASSERT_EQ(levels.count(), 1) << c.db;
        EXPECT_EQ(levels.takeFirst().at(0).toInt(), c.shown) << c.db;
    }
}

TEST(BridgePoll, ABlinkComesAfterThePhasesOfItsPoll) {
    QLumacore bridge;
    bridge.publish(QLumacore::Readings{});
    QStringList order;
    auto record = [&order](const char* name) { return [&order, name] { order << name; }; };
    QObject::connect(&bridge, &QLumacore::beat, record("beat"));
    QObject::connect(&bridge, &QLumacore::beatPhase, record("beatPhase"));
    QObject::connect(&bridge, &QLumacore::beatFullPhase, record("beatFullPhase"));
    bridge.publish(beatAt(1.0));
    EXPECT_EQ(order, (QStringList{"beatPhase", "beatFullPhase", "beat"}));
}

TEST(BridgeWithoutEngine, RemembersSwitchesAndTuningAndRunsThePollTimer) {
    QLumacore bridge;
    bridge.enableMidiClockOutput(2);
    bridge.changeHalfTime(4.5);
    EXPECT_TRUE(bridge.getMidiClockEnabled() && bridge.lastHalfTime() == 4.5);
    EXPECT_TRUE(!bridge.selectMidiDev(0) && bridge.getMidiDevIndex() == -1);
    bridge.sendMidiTestNote(static_cast<QLumacore::MeterLevel>(7));
    // Without an engine the poll publishes nothing.
    QSignalSpy levels(&bridge, &QLumacore::audioLevelChange);
    bridge.updateOutputs();
    EXPECT_EQ(levels.count(), 0);
    // The poll timer starts (twice is harmless) and stops.
    bridge.startProcessing();
    bridge.startProcessing();
    EXPECT_TRUE(bridge.isProcessing());
    bridge.stopProcessing();
    EXPECT_FALSE(bridge.isProcessing());
}
