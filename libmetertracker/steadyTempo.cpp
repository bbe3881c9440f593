#include "steadyTempo.h"

#include "tickGrid.h"

#include <algorithm>
#include <cmath>

namespace meterTracker {

namespace {
// Stretches tried, in ticks (steps), longest first; the shortest is longer than the short line.
constexpr std::size_t stretches[] = {128, 96, 72, 56, 40, 32};
// The stretch whose tempo the longer ones must agree with: about as long as the short line,
// but never cut back to its newest few ticks.
constexpr std::size_t referenceTicks = 24;
// The newest ticks, averaged, must lie within this share of a beat of a stretch's line for
// one tempo to explain them: a tempo off by 0.5 % leaves it within about four beats.
constexpr std::size_t newestTicks = 6;
constexpr double newestTolerance = 0.02;
// A stretch whose tempo differs from the reference's by more than this share is music that
// moved within it (rubato, a drift): its mean tempo would lag.
constexpr double referenceAgreement = 0.002;
// Ticks farther off a stretch's line than this many times its median miss are left out of it.
constexpr double farMisses = 3.0;
// A drummer pushes and drags around a steady tempo in waves of a few bars, tens of milliseconds
// each way, and the short line's tempo swings by a per cent or two with them: no absolute
// tolerance both passes those and catches a drift. What tells them apart is the shape of the
// misses of a long line, whatever their size: waves come back, a drift or an accelerando
// bends the line one way. A stretch of at least this many ticks is one tempo when neither a
// bend at its newest ticks nor a curve through it explains this share of its misses...
constexpr std::size_t wavyTicks = 40;
constexpr double bentShare = 0.6;
constexpr std::size_t bendTicks[] = {24, 12};
// ...and its newest ticks lie no farther off it than this many times the older ticks' scatter.
constexpr double newestScatters = 3.0;
// Waves far larger than the ticks' jitter from one to the next are a tempo the ticks follow
// closely, rubato or a drift: music moving, which the short line follows. A player's waves
// around a steady tempo stay within a few times that jitter.
constexpr double wavesPerJitter = 7.0;
} // namespace

SteadyTempo::Line SteadyTempo::lineFrom(std::size_t from, const double* miss, double farMiss) const {
    Line line;
    double si = 0.0, st = 0.0;
    for (std::size_t i = from; i < count; ++i)
        if (!miss || miss[i - from] <= farMiss) {
            si += index[i];
            st += time[i];
            line.ticks += 1.0;
        }
    if (line.ticks == 0.0)
        return line;
    line.meanIndex = si / line.ticks;
    line.meanTime = st / line.ticks;
    double sxx = 0.0, sxt = 0.0;
    for (std::size_t i = from; i < count; ++i)
        if (!miss || miss[i - from] <= farMiss) {
            sxx += (index[i] - line.meanIndex) * (index[i] - line.meanIndex);
            sxt += (index[i] - line.meanIndex) * (time[i] - line.meanTime);
        }
    if (sxx > 0.0)
        line.slope = sxt / sxx;
    return line;
}

bool SteadyTempo::fitNewest(std::size_t n, double& slope, double* newestResidual) const {
    if (n < 2 || n > count)
        return false;
    Line const line = lineFrom(count - n, nullptr, 0.0);
    if (!std::isfinite(line.slope) || !(line.slope > 0.0))
        return false;
    slope = line.slope;
    if (newestResidual) {
        std::size_t const newest = std::min(n, newestTicks);
        double sum = 0.0;
        for (std::size_t i = count - newest; i < count; ++i)
            sum += time[i] - (line.meanTime + slope * (index[i] - line.meanIndex));
        *newestResidual = sum / static_cast<double>(newest);
    }
    return true;
}

double SteadyTempo::trimmedSlope(std::size_t n, double slope) const {
    // The line again without the ticks far off it: the last hit ringing out after the music
    // has stopped, or a fill, places a few ticks tens of milliseconds off, and least squares
    // lets them bend a line of a minute by a tenth of a per cent. Far means several times the
    // median miss, which the ordinary scatter of the beats sets.
    std::size_t const from = count - n;
    Line const all = lineFrom(from, nullptr, 0.0);
    std::array<double, capacity> miss{};
    for (std::size_t i = from; i < count; ++i)
        miss[i - from] = std::fabs(time[i] - (all.meanTime + slope * (index[i] - all.meanIndex)));
    std::array<double, capacity> sorted = miss;
    auto const middle = sorted.begin() + static_cast<std::ptrdiff_t>(n / 2);
    std::nth_element(sorted.begin(), middle, sorted.begin() + static_cast<std::ptrdiff_t>(n));
    Line const kept = lineFrom(from, miss.data(), farMisses * *middle);
    if (kept.ticks < 0.5 * static_cast<double>(n))
        return slope;
    return std::isfinite(kept.slope) && kept.slope > 0.0 ? kept.slope : slope;
}

bool SteadyTempo::onlyWaves(std::size_t n, double slope) const {
    if (n < wavyTicks || n > count)
        return false;
    std::size_t const from = count - n;
    Line const line = lineFrom(from, nullptr, 0.0);
    std::array<double, capacity> x{}, miss{};
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = index[from + i] - line.meanIndex;
        miss[i] = time[from + i] - (line.meanTime + slope * x[i]);
    }
    // Share of the misses that one more shape along the stretch explains: the shape, less its
    // own line, against the misses.
    auto const explained = [&](auto shape) {
        double mean = 0.0, sxz = 0.0, sxx = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            mean += shape(x[i]);
            sxz += x[i] * shape(x[i]);
            sxx += x[i] * x[i];
        }
        mean /= static_cast<double>(n);
        double const b = sxx > 0.0 ? sxz / sxx : 0.0;
        double zz = 0.0, zr = 0.0, rr = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            double const z = shape(x[i]) - mean - b * x[i];
            zz += z * z;
            zr += z * miss[i];
            rr += miss[i] * miss[i];
        }
        return zz > 0.0 && rr > 0.0 ? zr * zr / (zz * rr) : 0.0;
    };
    if (explained([](double v) { return v * v; }) >= bentShare)
        return false;
    for (std::size_t const newest : bendTicks) {
        double const knee = x[n - newest];
        if (explained([knee](double v) { return std::max(v - knee, 0.0); }) >= bentShare)
            return false;
    }
    // A line's second differences cancel, and those of slow waves nearly: what is left is the
    // jitter, at six times its variance for independent misses.
    double all = 0.0, jitter = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        all += miss[i] * miss[i];
        if (i >= 2) {
            double const d2 = miss[i] - 2.0 * miss[i - 1] + miss[i - 2];
            jitter += d2 * d2;
        }
    }
    double const wavesVariance = all / static_cast<double>(n);
    double const jitterVariance = jitter / (6.0 * static_cast<double>(n - 2));
    if (wavesVariance > wavesPerJitter * wavesPerJitter * jitterVariance)
        return false;
    double older = 0.0, newest = 0.0;
    for (std::size_t i = 0; i < n - newestTicks; ++i)
        older += miss[i] * miss[i];
    for (std::size_t i = n - newestTicks; i < n; ++i)
        newest += miss[i];
    newest /= static_cast<double>(newestTicks);
    return std::fabs(newest) <= newestScatters * std::sqrt(older / static_cast<double>(n - newestTicks));
}

void SteadyTempo::reset() {
    count = used = 0;
    lastPeriod = 0.0;
    waved = false;
}

double SteadyTempo::update(double tick, double shortPeriod) {
    if (!std::isfinite(tick) || !std::isfinite(shortPeriod) || !(shortPeriod > 0.0))
        return shortPeriod;
    double const k = count == 0 || tickGrid::newPeriod(shortPeriod, lastPeriod)
                         ? -1.0
                         : tickGrid::beatsAlong(time[count - 1], tick, shortPeriod);
    bool const fresh = k < 0.0;
    lastPeriod = shortPeriod;
    if (fresh) {
        count = 1;
        index[0] = 0.0;
        time[0] = tick;
        used = 0;
        waved = false;
        return shortPeriod;
    }
    if (count == capacity) {
        for (std::size_t i = 1; i < capacity; ++i) {
            index[i - 1] = index[i];
            time[i - 1] = time[i];
        }
        --count;
    }
    index[count] = index[count - 1] + k;
    time[count] = tick;
    ++count;

    std::size_t const usedBefore = used;
    used = 0;
    // Misses that only wave must do so two steps running, unless the last step already found a
    // stretch steady: one step can catch a rubato between two turns, where the misses still
    // look like waves.
    bool const wavedBefore = waved || usedBefore > 0;
    waved = false;
    double referenceSlope = 0.0;
    if (!fitNewest(std::min(count, referenceTicks), referenceSlope, nullptr))
        return shortPeriod;
    // All the ticks kept first: a steady stretch grows tick by tick, not by whole stretches.
    auto const steadyOver = [&](std::size_t n) {
        double slope = 0.0, newest = 0.0;
        if (n > count || !fitNewest(n, slope, &newest) ||
            !(std::fabs(slope / shortPeriod - 1.0) < tickGrid::newPeriodShare))
            return 0.0;
        bool const agrees = std::fabs(slope / referenceSlope - 1.0) <= referenceAgreement &&
                            std::fabs(newest) <= newestTolerance * slope;
        if (n == count)
            waved = onlyWaves(n, slope);
        return agrees || (n == count && waved && wavedBefore) ? slope : 0.0;
    };
    if (count >= wavyTicks) {
        if (double const slope = steadyOver(count); slope > 0.0) {
            used = count;
            return trimmedSlope(count, slope);
        }
    }
    for (std::size_t const n : stretches) {
        if (count >= wavyTicks && n >= count)
            continue; // tried above with all the ticks
        if (double const slope = steadyOver(n); slope > 0.0) {
            used = n;
            return trimmedSlope(n, slope);
        }
    }
    return shortPeriod;
}

double withResonancePeriod(double linePeriod, std::size_t lineTicks, double resonancePeriod,
                           double frameRate) {
    // A line of this many ticks measures a period of this many frames (about 100 BPM) as well
    // as the resonance peak does, on the development music...
    constexpr double evenTicks = 12.0, evenFrames = 100.0;
    // ...and the share by which the two differ at most in steady music.
    constexpr double steadyDisagreement = 0.003;
    if (!std::isfinite(resonancePeriod) || !(resonancePeriod > 0.0) || !std::isfinite(linePeriod) ||
        !(linePeriod > 0.0) || !std::isfinite(frameRate) || !(frameRate > 0.0))
        return linePeriod;
    double const apart = std::fabs(resonancePeriod / linePeriod - 1.0) / steadyDisagreement;
    if (!(apart < 1.0))
        return linePeriod;
    double const relativeFrames = linePeriod * frameRate / evenFrames;
    double const lineOverResonance =
        std::pow(evenTicks / std::max(1.0, static_cast<double>(lineTicks)), 3.0) * relativeFrames *
        relativeFrames;
    double const resonanceShare = lineOverResonance / (1.0 + lineOverResonance) * (1.0 - apart);
    return linePeriod + resonanceShare * (resonancePeriod - linePeriod);
}

double ResonanceMean::mean(double resonancePeriod) {
    if (!std::isfinite(resonancePeriod) || !(resonancePeriod > 0.0))
        return 0.0;
    if (count > 0 && tickGrid::newPeriod(resonancePeriod, periods[0]))
        count = 0;
    count = std::min(count + 1, capacity);
    for (std::size_t i = count - 1; i > 0; --i)
        periods[i] = periods[i - 1];
    periods[0] = resonancePeriod;
    double sum = 0.0;
    for (std::size_t i = 0; i < count; ++i)
        sum += periods[i];
    return sum / static_cast<double>(count);
}

} // namespace meterTracker
