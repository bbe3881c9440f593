#include "bar_position.h"

#include <cmath>

extern "C" {

int lc_ticks_per_bar(double barPeriod, double period) {
    const double ratio = barPeriod / period;
    if (!std::isfinite(ratio) || ratio < 1.0)
        return 1;
    return ratio > 64.0 ? 64 : static_cast<int>(std::lround(ratio));
}

int lc_position_in_bar(double tickTime, double barTime, double period, int perBar) {
    const double steps = std::round((tickTime - barTime) / period);
    if (!std::isfinite(steps) || perBar < 1)
        return 0;
    const long position = static_cast<long>(std::fmod(steps, static_cast<double>(perBar)));
    return static_cast<int>(position < 0 ? position + perBar : position);
}

} // extern "C"
