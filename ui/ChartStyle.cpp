#include "ChartStyle.h"

#include <cmath>

double ChartStyle::NiceStep(double raw)
{
    if (!(raw > 0) || !std::isfinite(raw))
        return 1;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double factor : {1.0, 2.0, 5.0, 10.0}) {
        if (factor * power >= raw * (1 - 1e-9))
            return factor * power;
    }
    return 10 * power;
}
