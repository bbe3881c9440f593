#include "spline.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>

namespace magnet::math {

namespace ublas = boost::numeric::ublas;

namespace {

constexpr double machineEpsilon = 2.220446049250313e-16;
// Where a duplicate of x = 0 moves to (the relative nudge would leave it at 0).
constexpr double nudgeFromZero = 2.220446049250313e-15;

// Ascending, with NaN after every number, so that sorting stays well defined on any input.
bool numberBefore(double a, double b) {
    if (std::isnan(a))
        return false;
    if (std::isnan(b))
        return true;
    return a < b;
}

bool pointBefore(Spline::Point const& p, Spline::Point const& q) {
    if (numberBefore(p.first, q.first))
        return true;
    if (numberBefore(q.first, p.first))
        return false;
    return numberBefore(p.second, q.second);
}

} // namespace

void Spline::addPoint(double x, double y) {
    points_.emplace_back(x, y);
    valid_ = false;
}

void Spline::setType(Spline_type type) {
    type_ = type;
    valid_ = false;
}

void Spline::setLowBoundary(Boundary_type boundary, double value) {
    lowBoundary_ = boundary;
    lowValue_ = value;
    valid_ = false;
}

void Spline::setHighBoundary(Boundary_type boundary, double value) {
    highBoundary_ = boundary;
    highValue_ = value;
    valid_ = false;
}

bool Spline::solveTridiagonal(std::vector<double> const& lower, std::vector<double>& diagonal,
                              std::vector<double> const& upper, std::vector<double>& rhs) {
    std::size_t const n = diagonal.size();
    auto usable = [](double pivot) { return pivot != 0.0 && std::isfinite(pivot); };
    for (std::size_t i = 1; i < n; ++i) {
        if (!usable(diagonal[i - 1]))
            return false;
        double const factor = lower[i] / diagonal[i - 1];
        diagonal[i] -= factor * upper[i - 1];
        rhs[i] -= factor * rhs[i - 1];
    }
    if (n == 0 || !usable(diagonal[n - 1]))
        return false;
    rhs[n - 1] /= diagonal[n - 1];
    for (std::size_t i = n - 1; i-- > 0;)
        rhs[i] = (rhs[i] - upper[i] * rhs[i + 1]) / diagonal[i];
    return true;
}

// Two nodes at the same x would make an interval of width zero: after sorting (ties by y), a
// point not above its predecessor moves just above it, by a relative 10 epsilons. One pass, so
// that even a curve whose nodes all share one x is separated in linear time.
void Spline::separateEqualX() {
    std::sort(points_.begin(), points_.end(), pointBefore);
    for (std::size_t i = 1; i < points_.size(); ++i) {
        double const previous = points_[i - 1].first;
        // Infinite x cannot be separated by moving; NaN never compares.
        if (!(points_[i].first <= previous) || !std::isfinite(previous))
            continue;
        double moved = previous == 0.0 ? nudgeFromZero : previous + 10.0 * machineEpsilon * std::fabs(previous);
        if (moved == previous) // subnormal x: the relative nudge vanishes
            moved = std::nextafter(previous, std::numeric_limits<double>::infinity());
        points_[i].first = moved;
    }
}

void Spline::generate() {
    intervals_.clear();
    secondDerivatives_.resize(0, false);
    valid_ = true;
    if (points_.size() < 2) {
        std::cout << "Spline requires at least 2 points" << std::endl;
        return;
    }
    separateEqualX();

    std::size_t const n = points_.size();
    std::vector<double> h(n - 1);
    for (std::size_t i = 0; i + 1 < n; ++i)
        h[i] = points_[i + 1].first - points_[i].first;

    if (type_ == LINEAR) {
        intervals_.reserve(n - 1);
        for (std::size_t i = 0; i + 1 < n; ++i) {
            double const slope = (points_[i + 1].second - points_[i].second) / h[i];
            intervals_.push_back({points_[i].first, 0.0, 0.0, slope, points_[i].second});
        }
    } else if (type_ == CUBIC) {
        generateCubic(h);
    }
}

// Second derivatives M from the tridiagonal system S·M = R (interior rows make the slope
// continuous, the first and last rows impose the end conditions), then one cubic per interval.
// S is kept as its three diagonals: the work grows with the number of points, not its cube.
void Spline::generateCubic(std::vector<double> const& h) {
    std::size_t const n = points_.size();
    auto y = [this](std::size_t i) { return points_[i].second; };

    std::vector<double> lower(n, 0.0), diagonal(n, 0.0), upper(n, 0.0), R(n, 0.0);
    for (std::size_t j = 1; j + 1 < n; ++j) {
        lower[j] = h[j - 1];
        diagonal[j] = 2.0 * (h[j - 1] + h[j]);
        upper[j] = h[j];
        R[j] = 6.0 * ((y(j + 1) - y(j)) / h[j] - (y(j) - y(j - 1)) / h[j - 1]);
    }

    switch (lowBoundary_) {
    case RUNOUT:
        diagonal[0] = 1.0;
        upper[0] = -1.0;
        R[0] = 0.0;
        break;
    case CURVATURE:
        diagonal[0] = 1.0;
        R[0] = lowValue_;
        break;
    case SLOPE:
        diagonal[0] = 2.0 * h[0];
        upper[0] = h[0];
        R[0] = 6.0 * ((y(1) - y(0)) / h[0] - lowValue_);
        break;
    }

    std::size_t const last = n - 1;
    switch (highBoundary_) {
    case RUNOUT:
        diagonal[last] = 1.0;
        lower[last] = -1.0;
        R[last] = 0.0;
        break;
    case CURVATURE:
        diagonal[last] = 1.0;
        R[last] = highValue_;
        break;
    case SLOPE:
        diagonal[last] = 2.0 * h[last - 1];
        lower[last] = h[last - 1];
        R[last] = 6.0 * (highValue_ - (y(last) - y(last - 1)) / h[last - 1]);
        break;
    }

    // A singular system (two points with RUNOUT at both ends leave the curvature free) keeps
    // M = 0: straight pieces through the points.
    secondDerivatives_ = ublas::zero_vector<double>(n);
    if (solveTridiagonal(lower, diagonal, upper, R))
        for (std::size_t i = 0; i < n; ++i)
            secondDerivatives_(i) = R[i];

    auto const& M = secondDerivatives_;
    intervals_.reserve(n - 1);
    for (std::size_t i = 0; i + 1 < n; ++i) {
        intervals_.push_back({points_[i].first, (M(i + 1) - M(i)) / (6.0 * h[i]), M(i) / 2.0,
                              (y(i + 1) - y(i)) / h[i] - h[i] * M(i + 1) / 6.0 - h[i] * M(i) / 3.0, y(i)});
    }
}

// What a curve without pieces (fewer than two points) reads as: its only point's height, or 0.
double Spline::fallbackValue() const {
    return points_.empty() ? 0.0 : points_.front().second;
}

double Spline::operator()(double x) {
    if (!valid_)
        generate();
    if (intervals_.empty())
        return fallbackValue();
    if (x <= points_.front().first)
        return lowCalc(x);
    if (x >= points_.back().first)
        return highCalc(x);
    for (std::size_t i = 0; i + 1 < intervals_.size(); ++i) {
        if (points_[i].first <= x && x <= points_[i + 1].first)
            return evaluate(intervals_[i], x);
    }
    return evaluate(intervals_.back(), x);
}

// Before the first point: a straight line for linear splines and for a fixed slope, otherwise a
// parabola through the first point. The b of the second interval is taken as M[1]/2, which it
// equals, so that a spline of two points (one interval) needs no second interval.
double Spline::lowCalc(double x) const {
    double const t = x - points_[0].first;
    double const y0 = points_[0].second;
    if (type_ == LINEAR)
        return t * lowValue_ + y0;
    if (secondDerivatives_.size() < 2)
        return y0;
    double const h0 = points_[1].first - points_[0].first;
    double const b0 = intervals_[0].b;
    double const b1 = secondDerivatives_(1) / 2.0;
    double const s0 = (points_[1].second - y0) / h0 - 2.0 * h0 * (b0 + 2.0 * b1) / 6.0;
    switch (lowBoundary_) {
    case SLOPE:
        return t * lowValue_ + y0;
    case CURVATURE:
        return t * t * lowValue_ + s0 * t + y0;
    case RUNOUT:
        return t * t * secondDerivatives_(0) + s0 * t + y0;
    }
    std::cout << "Unknown BC" << std::endl;
    return y0;
}

double Spline::highCalc(double x) {
    if (!valid_)
        generate();
    if (intervals_.empty())
        return fallbackValue();
    std::size_t const last = points_.size() - 1;
    double const t = x - points_[last].first;
    double const yn = points_[last].second;
    if (type_ == LINEAR)
        return t * highValue_ + yn;
    if (secondDerivatives_.size() < 2)
        return yn;
    auto const& M = secondDerivatives_;
    double const h = points_[last].first - points_[last - 1].first;
    double const s1 = 2.0 * h * (M(last - 1) + 2.0 * M(last)) / 6.0 + (yn - points_[last - 1].second) / h;
    switch (highBoundary_) {
    case SLOPE:
        return t * highValue_ + yn;
    case CURVATURE:
        return t * t * highValue_ + s1 * t + yn;
    case RUNOUT:
        return t * t * M(last) + s1 * t + yn;
    }
    std::cout << "Unknown BC" << std::endl;
    return yn;
}

} // namespace magnet::math
