// The engine bridge's poll: blink rule, change-only non-beatyness, level truncation and the
// order of its signals, driven with given readings.

#include "QLumacore.h"

#include <QSignalSpy>
#include <QStringList>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

TEST(BridgePoll, BlinksOncePerPollInWhichATickPassedEachLevelOnItsOwn) {
    // From, to, blinks: two ticks within one poll still give one; the tracker's realignment may
    // move the phase backwards across a tick.
    const double cases[][3] = {{7.98, 8.01, 1}, {8.01, 8.40, 0}, {7.98, 9.05, 1}, {9.02, 8.97, 1}};
    for (const auto& c : cases) {
        QLumacore bridge;
        bridge.publish(QLumacore::Readings{0, c[0], 0});
        QSignalSpy blinks(&bridge, &QLumacore::beat);
        bridge.publish(QLumacore::Readings{0, c[1], 0});
        EXPECT_EQ(blinks.count(), c[2]) << c[0] << " to " << c[1];
        EXPECT_TRUE(blinks.isEmpty() || blinks.at(0).at(0).toBool());
    }
    QLumacore bridge;
    bridge.publish(QLumacore::Readings{1.9, 7.9, 31.9});
    QSignalSpy bars(&bridge, &QLumacore::bar), beats(&bridge, &QLumacore::beat), tatums(&bridge, &QLumacore::tatum);
    QSignalSpy barPhase(&bridge, &QLumacore::barPhase), barFull(&bridge, &QLumacore::barFullPhase);
    QStringList order;
    QObject::connect(&bridge, &QLumacore::beat, [&] { order << "beat"; });
    QObject::connect(&bridge, &QLumacore::beatPhase, [&] { order << "beatPhase"; });
    bridge.publish(QLumacore::Readings{1.25, 8.1, 32.0});
    EXPECT_TRUE(bars.count() == 0 && beats.count() == 1 && tatums.count() == 1);
    EXPECT_TRUE(barPhase.at(0).at(0).toDouble() == 0.25 && barFull.at(0).at(0).toDouble() == 1.25);
    // A lamp's blink comes after the phases of its poll.
    EXPECT_EQ(order, (QStringList{"beatPhase", "beat"}));
}

TEST(BridgePoll, NonBeatynessChangesAreSignalledOnceAndLevelsTruncatedTowardsZero) {
    QLumacore bridge;
    QSignalSpy changes(&bridge, &QLumacore::nonBeatynessChange);
    QSignalSpy updates(&bridge, &QLumacore::nonBeatynessUpdate);
    QSignalSpy levels(&bridge, &QLumacore::audioLevelChange);
    // Readings that are not numbers fall back to silence; absurd ones stay finite.
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, int> cases[] = {{-35.7, -35}, {-35.7, -35}, {-0.5, 0},       {3.9, 3},
                                            {-100.0, -100}, {std::nan(""), -100}, {-inf, -100}, {-1e300, -1000}};
    for (const auto& [db, shown] : cases) {
        QLumacore::Readings r;
        r.level = db;
        r.nonBeatyness = std::isfinite(db) && db > -100 ? db : 3.9;
        bridge.publish(r);
        ASSERT_EQ(levels.count(), 1) << db;
        EXPECT_EQ(levels.takeFirst().at(0).toInt(), shown) << db;
    }
    EXPECT_EQ(changes.count(), 3);
    EXPECT_DOUBLE_EQ(changes.at(1).at(0).toDouble(), -0.5);
    // The silence logic needs every poll, repeated values included.
    EXPECT_EQ(updates.count(), 8);

    // Without an engine nothing is published and nothing breaks.
    QLumacore idle;
    QSignalSpy none(&idle, &QLumacore::audioLevelChange);
    EXPECT_TRUE(!idle.selectMidiDev(0) && idle.getMidiDevIndex() == -1);
    idle.sendMidiTestNote(static_cast<QLumacore::MeterLevel>(7));
    idle.updateOutputs();
    EXPECT_EQ(none.count(), 0);
}
