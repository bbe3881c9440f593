// What a person sees of the phase lamp and the level bar, read back from rendered images.

#include "Blinker.h"
#include "Meter.h"

#include <QImage>
#include <QPainter>
#include <cmath>
#include <gtest/gtest.h>

namespace {

QImage render(QWidget& widget, QColor background) {
    QImage image(widget.size(), QImage::Format_ARGB32);
    image.fill(background);
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

int centreGrey(Blinker& blinker) {
    const QImage image = render(blinker, Qt::transparent);
    return qRed(image.pixel(image.width() / 2, image.height() / 2));
}

// Counts the runs of block-coloured pixels along one row of a rendered meter.
int blocksOn(Meter& meter) {
    const QImage image = render(meter, Qt::white);
    int blocks = 0;
    bool inBlock = false;
    for (int x = 0; x < image.width(); ++x) {
        const bool filled =
            qBlue(image.pixel(x, image.height() / 2)) > 100 && qRed(image.pixel(x, image.height() / 2)) < 100;
        if (filled && !inBlock)
            ++blocks;
        inBlock = filled;
    }
    return blocks;
}

} // namespace

TEST(Blinker, IsBrightestAtTheTickDarkeningTowardsTheNext) {
    Blinker blinker;
    blinker.resize(41, 40);
    for (const auto& [phase, darkening] : {std::pair{0.0, 100}, std::pair{0.5, 200}, std::pair{0.99, 298}}) {
        blinker.setPhase(phase);
        EXPECT_EQ(blinker.darkeningFactor(), darkening) << phase;
        EXPECT_NEAR(centreGrey(blinker), 145 * 100 / darkening, 1) << phase;
    }
    // Phases that are not numbers read as the tick; absurd ones stay within the lamp's range.
    blinker.setPhase(std::nan(""));
    EXPECT_EQ(blinker.darkeningFactor(), 100);
    blinker.setPhase(7.5);
    EXPECT_LE(blinker.darkeningFactor(), 300);
}

TEST(Blinker, InactiveLampDriftsToASteadyGlow) {
    Blinker blinker;
    blinker.setPhase(0.9);
    blinker.setActive(false);
    for (int i = 0; i < 150; ++i)
        blinker.setPhase(0.0);
    EXPECT_NEAR(blinker.currentPhase(), 0.45, 1e-9);
    for (int i = 0; i < 50; ++i)
        blinker.setPhase(0.9);
    EXPECT_NEAR(blinker.currentPhase(), 0.45, 1e-9);
    blinker.setActive(true);
    blinker.setPhase(0.2);
    EXPECT_DOUBLE_EQ(blinker.currentPhase(), 0.2);
}

TEST(Meter, DrawsOneBlockPerSixPixelsOfTheLevelAndEmptiesBelowTheRange) {
    Meter meter;
    meter.setRange(-50, 0);
    meter.resize(71, 14);
    // The progress bar alone would keep the last level for a value outside its range.
    const int cases[][3] = {{0, 0, 11}, {-35, -35, 3}, {-10, -10, 9}, {-100, -50, 0}, {12, 0, 11}};
    for (const auto& c : cases) {
        meter.showLevel(c[0]);
        EXPECT_EQ(meter.value(), c[1]) << c[0];
        EXPECT_EQ(blocksOn(meter), c[2]) << c[0];
    }
}
