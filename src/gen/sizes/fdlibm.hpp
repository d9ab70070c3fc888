#pragma once
// exp, log, expm1 and pow of the fdlibm family (the lineage carried by FreeBSD msun and musl).
// Seeded lognormal and Pareto sizes must be bit-identical on every build, and the system math
// library is free to round a last bit differently, so the sampler uses these and nothing else.
// Compiled without fused multiply-add or fast-math; pure functions, safe from any thread.

namespace kro::gen::fdlibm {

double exp(double x);
double log(double x);
double expm1(double x);
double pow(double x, double y);

}  // namespace kro::gen::fdlibm
