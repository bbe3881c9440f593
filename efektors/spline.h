/* Interpolation through control points, for the curve editor's drawn curves.
 *
 * A spline is either piecewise linear or a cubic spline whose ends follow a boundary condition
 * (fixed slope, fixed curvature, or curvature running out from the neighbour). The curve editor
 * builds one spline per run of nodes of the same kind and samples it to draw the curve and to
 * read the controller value at the play position.
 *
 * Generation is lazy: adding points or changing settings only marks the spline stale, and the
 * next evaluation regenerates it. Generation allocates and takes time in proportion to the
 * number of points (the linear system is tridiagonal and solved as such); evaluating a spline
 * that is already generated does not allocate, lock or throw. A caller that evaluates on a real-time thread
 * should therefore call generate() beforehand on its own thread.
 */
#ifndef BEATLUME_SPLINE_H
#define BEATLUME_SPLINE_H

#include <boost/numeric/ublas/vector.hpp>

#include <cstdint>
#include <utility>
#include <vector>

namespace magnet::math {

class Spline {
public:
    enum Boundary_type : std::int32_t {
        SLOPE = 0,     // the first derivative at the end is the end's value
        CURVATURE = 1, // the second derivative at the end is the end's value
        RUNOUT = 2,    // the end's second derivative equals its neighbour's
    };
    enum Spline_type : std::int32_t { LINEAR = 0, CUBIC = 1 };

    // One piece of the curve: on the interval starting at x, the value at x + t is
    // ((a·t + b)·t + c)·t + d.
    struct SplineData {
        double x, a, b, c, d;
    };

    using Point = std::pair<double, double>;
    // uBLAS's default storage constructs elements through std::allocator::construct, which
    // C++20 removed; std::vector storage serves the same dense vectors.
    using Vector = boost::numeric::ublas::vector<double, std::vector<double>>;

    // No points, natural cubic (both ends CURVATURE 0).
    Spline() = default;

    void addPoint(double x, double y);
    void setType(Spline_type type);
    void setLowBoundary(Boundary_type boundary, double value = 0.0);
    void setHighBoundary(Boundary_type boundary, double value = 0.0);

    // Sorts the points (by x, ties by y), moves each point not above its predecessor just
    // above it (a relative nudge of 10 machine epsilons), and computes the pieces. Fewer than two points leave an empty curve
    // (and a message on standard output).
    void generate();

    // Value at x; generates first when stale. Beyond the points the curve continues by the
    // end conditions (see lowCalc and highCalc).
    double operator()(double x);

    // Value beyond the last point (x ≥ the last x); generates first when stale.
    double highCalc(double x);

    // Solves the tridiagonal system with sub-diagonal `lower` (entry i in row i, entry 0 unused),
    // `diagonal` and super-diagonal `upper` (entry i in row i) for the right-hand side `rhs`,
    // which receives the solution; `diagonal` is used as work space. False when a
    // pivot vanishes or is not finite (the system is singular or the input absurd).
    static bool solveTridiagonal(std::vector<double> const& lower, std::vector<double>& diagonal,
                                 std::vector<double> const& upper, std::vector<double>& rhs);

    // The control points, sorted once generated.
    std::vector<Point> const& points() const { return points_; }
    std::size_t size() const { return points_.size(); }
    bool valid() const { return valid_; }
    Spline_type type() const { return type_; }
    // Pieces and second derivatives of the last generation (second derivatives: cubic only).
    std::vector<SplineData> const& intervals() const { return intervals_; }
    Vector const& secondDerivatives() const { return secondDerivatives_; }

private:
    void separateEqualX();
    void generateCubic(std::vector<double> const& h);
    double lowCalc(double x) const;
    double fallbackValue() const;
    static double evaluate(SplineData const& piece, double x) {
        double const t = x - piece.x;
        return ((piece.a * t + piece.b) * t + piece.c) * t + piece.d;
    }

    std::vector<Point> points_;
    std::vector<SplineData> intervals_;
    Vector secondDerivatives_;
    bool valid_ = false;
    Boundary_type lowBoundary_ = CURVATURE;
    Boundary_type highBoundary_ = CURVATURE;
    double lowValue_ = 0.0;
    double highValue_ = 0.0;
    Spline_type type_ = CUBIC;
};

} // namespace magnet::math

#endif
