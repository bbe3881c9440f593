// What a person sees of the phase lamp and the level bar, read back from rendered images.

#include "Blinker.h"
#include "Meter.h"

#include <QImage>
#include <cmath>
#include <gtest/gtest.h>

namespace {

QImage render(QWidget& widget, QColor background) {
    QImage image(widget.size(), QImage::Format_ARGB32);
    image.fill(background);
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

// Counts the runs of block-coloured pixels along the middle row of a rendered meter.
int blocksOn(Meter& meter) {
    const QImage image = render(meter, Qt::white);
    int blocks = 0;
    for (int x = 0, inBlock = 0; x < image.width(); ++x) {
        const QRgb p = image.pixel(x, image.height() / 2);
        const int filled = qBlue(p) > 100 && qRed(p) < 100;
        blocks += filled && !inBlock;
        inBlock = filled;
    }
    return blocks;
}

} // namespace

TEST(Blinker, IsBrightestAtTheTickDarkeningTowardsTheNextAndGlowsWhenInactive) {
    Blinker blinker;
    blinker.resize(41, 40);
    // Phases that are not numbers read as the tick; absurd ones stay within the lamp's range.
    const std::pair<double, int> cases[] = {{0.0, 100}, {0.5, 200}, {0.99, 298}, {NAN, 100}, {7.5, 300}};
    for (const auto& [phase, darkening] : cases) {
        blinker.setPhase(phase);
        EXPECT_EQ(blinker.darkeningFactor(), darkening) << phase;
        const QImage image = render(blinker, Qt::transparent);
        EXPECT_NEAR(qRed(image.pixel(20, 20)), 145 * 100 / darkening, 1) << phase;
    }
    // Inactive, the lamp drifts to a steady glow whatever the phase does.
    blinker.setPhase(0.9);
    blinker.setActive(false);
    for (int i = 0; i < 200; ++i)
        blinker.setPhase(i < 150 ? 0.0 : 0.9);
    EXPECT_NEAR(blinker.currentPhase(), 0.45, 1e-9);
    blinker.setActive(true);
    blinker.setPhase(0.2);
    EXPECT_DOUBLE_EQ(blinker.currentPhase(), 0.2);
}

TEST(Meter, DrawsOneBlockPerSixPixelsOfTheLevelAndEmptiesBelowTheRange) {
    Meter meter;
    meter.setRange(-50, 0);
    meter.resize(71, 14);
    // Pinned to the range: the progress bar alone would keep the last level for a value outside it.
    const int cases[][3] = {{0, 0, 11}, {-35, -35, 3}, {-10, -10, 9}, {-100, -50, 0}, {12, 0, 11}};
    for (const auto& c : cases) {
        meter.showLevel(c[0]);
        EXPECT_TRUE(meter.level() == c[1] && blocksOn(meter) == c[2]) << c[0];
    }
}
