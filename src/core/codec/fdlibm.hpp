#pragma once
// Natural logarithm, sine and cosine following the classic fdlibm algorithms
// (error below one ulp). The rotation matrix is a function of these exact
// bits, so they must not come from whatever libm the host provides.
#include <cstdint>

namespace zorvex::fdlibm {

double log(double x);
double sin(double x);
double cos(double x);

// x = n*pi/2 + (y[0] + y[1]), |y[0] + y[1]| <= pi/4 (roughly); returns n.
// Exact for every finite double (the large-argument path uses 1584 bits of
// 2/pi); infinities and NaN give y = NaN and n = 0.
int rem_pio2(double x, double y[2]);

// Kernels on [-pi/4, pi/4]: x + y is the argument, y the tail of a
// reduction. kernel_sin ignores y when iy is 0.
double kernel_sin(double x, double y, int iy);
double kernel_cos(double x, double y);

}  // namespace zorvex::fdlibm
