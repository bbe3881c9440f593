// The curve editor's spline: values against hand-solved splines inside and beyond the points (the
// system behind them is checked row by row on a long curve),
// duplicate x (the editor adds its nodes in order), and the degenerate cases.
#include "spline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <limits>
#include <utility>

using magnet::math::Spline;

namespace {

constexpr double tolerance = 1e-12;

Spline through(std::initializer_list<std::pair<double, double>> points,
               Spline::Spline_type type = Spline::CUBIC) {
    Spline spline;
    spline.setType(type);
    for (auto const& [x, y] : points)
        spline.addPoint(x, y);
    return spline;
}

TEST(Spline, NaturalCubicMatchesHandSolvedSystems) {
    // 4·M1 = 6·(−1 − 1): M1 = −3; piece 0 is −0.5·t³ + 1.5·t.
    Spline three = through({{0, 0}, {1, 1}, {2, 0}});
    EXPECT_NEAR(three(0.5), 0.6875, tolerance);
    EXPECT_NEAR(three(1.5), 0.6875, tolerance);
    // Beyond the natural ends: s0 = 1 − 2·(0 + 2·(−1.5))/6 = 2, s1 = 2·(−3)/6 − 1 = −2.
    EXPECT_NEAR(three(-1), -2.0, tolerance);
    EXPECT_NEAR(three(3), -2.0, tolerance);
    EXPECT_NEAR(three.highCalc(2.5), -1.0, tolerance);

    // Uneven spacing h = 1, 2, 1: 6·M1 + 2·M2 = −15, 2·M1 + 6·M2 = 15, so M1 = −3.75, M2 = 3.75.
    Spline four = through({{0, 0}, {1, 2}, {3, 1}, {4, 3}});
    EXPECT_NEAR(four(0.5), 1.234375, tolerance);
    EXPECT_NEAR(four(2.0), 1.5, tolerance);
    EXPECT_NEAR(four(3.5), 1.765625, tolerance);
    // The ends exactly (the editor reads its end nodes there).
    EXPECT_DOUBLE_EQ(four(0), 0.0);
    EXPECT_DOUBLE_EQ(four(4), 3.0);
}

TEST(Spline, EqualXIsSeparatedByTenEpsilon) {
    // Ties sort by y, so (1, 0) stays and (1, 5) moves, whatever the order they came in.
    Spline pair = through({{1, 5}, {1, 0}});
    pair.generate();
    ASSERT_EQ(pair.size(), 2u);
    EXPECT_EQ(pair.points()[0], std::make_pair(1.0, 0.0));
    EXPECT_EQ(pair.points()[1], std::make_pair(1.0 + 2.220446049250313e-15, 5.0));
    EXPECT_TRUE(std::isfinite(pair(1.0 + 1e-15)));

    // A hostile curve: all its nodes at one x, separated in one pass.
    Spline column;
    for (int i = 0; i < 2000; ++i)
        column.addPoint(5.0, i);
    column.generate();
    for (std::size_t i = 0; i + 1 < column.size(); ++i)
        ASSERT_LT(column.points()[i].first, column.points()[i + 1].first) << "i = " << i;
}

TEST(Spline, TooFewPointsOrNonFiniteInputNeitherHangNorCrash) {
    EXPECT_DOUBLE_EQ(Spline()(0.5), 0.0);
    Spline single = through({{3, 7}});
    EXPECT_DOUBLE_EQ(single(0.0), 7.0);
    EXPECT_DOUBLE_EQ(single.highCalc(9.0), 7.0);

    double const inf = std::numeric_limits<double>::infinity();
    double const nan = std::numeric_limits<double>::quiet_NaN();
    Spline spline = through({{nan, 1}, {0, 0}, {inf, 2}, {inf, 3}, {1, nan}, {2, 1}});
    spline.generate();
    EXPECT_EQ(spline.size(), 6u);
    EXPECT_DOUBLE_EQ(spline.points().front().first, 0.0);
    (void)spline(0.5);
    (void)spline(nan);

    Spline tiny = through(
        {{std::numeric_limits<double>::denorm_min(), 0}, {std::numeric_limits<double>::denorm_min(), 1}});
    tiny.generate();
    EXPECT_LT(tiny.points()[0].first, tiny.points()[1].first);
}

// The longest curve a project may hold, unevenly spaced: every row of the system holds, and
// the curve follows the smooth function it samples.
TEST(Spline, LongCurvesSolveTheirWholeSystem) {
    Spline spline;
    auto const f = [](double x) { return std::sin(x / 40.0); };
    for (int i = 0; i < 2000; ++i) {
        double const x = 9.0 * i + 3.0 * std::sin(i);
        spline.addPoint(x, f(x));
    }
    spline.setLowBoundary(Spline::SLOPE, 1.0 / 40.0);
    spline.setHighBoundary(Spline::RUNOUT);
    spline.generate();
    auto const& p = spline.points();
    auto const& M = spline.secondDerivatives();
    std::size_t const last = p.size() - 1;
    auto const h = [&](std::size_t i) { return p[i + 1].first - p[i].first; };
    auto const d = [&](std::size_t i) { return (p[i + 1].second - p[i].second) / h(i); };
    for (std::size_t j = 1; j < last; ++j)
        ASSERT_NEAR(h(j - 1) * M(j - 1) + 2 * (h(j - 1) + h(j)) * M(j) + h(j) * M(j + 1), 6 * (d(j) - d(j - 1)),
                    1e-12)
            << j;
    EXPECT_NEAR(2 * h(0) * M(0) + h(0) * M(1), 6 * (d(0) - 1.0 / 40.0), 1e-12);
    EXPECT_NEAR(M(last), M(last - 1), 1e-15);
    EXPECT_NEAR(spline(9000.5), f(9000.5), 1e-4);
}

} // namespace
