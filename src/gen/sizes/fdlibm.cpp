// Argument reduction and minimax approximations after fdlibm (e_exp.c, e_log.c, s_expm1.c,
// e_pow.c) as simplified in musl. Every operation is an IEEE double operation in the order
// written; reordering or contracting any of them changes last bits of the results.
#include "gen/sizes/fdlibm.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

namespace kro::gen::fdlibm {

namespace {

uint32_t high_word(double x) {
    return static_cast<uint32_t>(std::bit_cast<uint64_t>(x) >> 32);
}
uint32_t low_word(double x) {
    return static_cast<uint32_t>(std::bit_cast<uint64_t>(x));
}
double from_words(uint32_t high, uint32_t low) {
    return std::bit_cast<double>(static_cast<uint64_t>(high) << 32 | low);
}
double with_high_word(double x, uint32_t high) {
    return from_words(high, low_word(x));
}
double with_low_word_zero(double x) {
    return from_words(high_word(x), 0);
}
double bits(uint64_t pattern) {
    return std::bit_cast<double>(pattern);
}

// 2^k for a normal exponent, -1022 <= k <= 1023.
double power_of_two(int k) {
    return std::bit_cast<double>(static_cast<uint64_t>(0x3ff + k) << 52);
}

// ln2 split so that k * LN2_HI is exact for |k| < 2^11.
const double LN2_HI = bits(0x3fe62e42fee00000);   // 6.93147180369123816490e-01
const double LN2_LO = bits(0x3dea39ef35793c76);   // 1.90821492927058770002e-10
const double INV_LN2 = bits(0x3ff71547652b82fe);  // 1.44269504088896338700e+00

// exp(r) = 1 + r + r*R(r*r)/(2-R(r*r)) with this minimax R on [0, 0.34658*0.34658].
const double P1 = bits(0x3fc555555555553e);  //  1.66666666666666019037e-01
const double P2 = bits(0xbf66c16c16bebd93);  // -2.77777777770155933842e-03
const double P3 = bits(0x3f11566aaf25de2c);  //  6.61375632143793436117e-05
const double P4 = bits(0xbebbbd41c5d26bf1);  // -1.65339022054652515390e-06
const double P5 = bits(0x3e66376972bea4d0);  //  4.13813679705723846039e-08

const double HUGE_NUMBER = 1.0e300;
const double TINY_NUMBER = 1.0e-300;

}  // namespace

double exp(double x) {
    const double o_threshold = bits(0x40862e42fefa39ef);  //  709.782712893383973096
    const double u_near = bits(0xc086232bdd7abcd2);       // -708.39641853226410622
    const double u_threshold = bits(0xc0874910d52d3051);  // -745.13321910194110842
    const uint32_t hx_signed = high_word(x);
    const int sign = static_cast<int>(hx_signed >> 31);
    const uint32_t hx = hx_signed & 0x7fffffff;

    if (hx >= 0x4086232b) {  // |x| >= 708.39 or NaN
        if (std::isnan(x)) return x;
        if (x > o_threshold) return x * 0x1p1023;  // overflow unless x is +inf
        if (x < u_near && x < u_threshold) return 0;
    }

    double hi = 0;
    double lo = 0;
    int k = 0;
    if (hx > 0x3fd62e42) {       // |x| > 0.5 ln2: x = k ln2 + r, |r| <= 0.5 ln2
        if (hx >= 0x3ff0a2b2) {  // |x| >= 1.5 ln2
            k = static_cast<int>(INV_LN2 * x + (sign != 0 ? -0.5 : 0.5));
        } else {
            k = 1 - sign - sign;
        }
        hi = x - k * LN2_HI;
        lo = k * LN2_LO;
        x = hi - lo;
    } else if (hx > 0x3e300000) {  // |x| > 2^-28
        hi = x;
    } else {
        return 1 + x;
    }

    const double xx = x * x;
    const double c = x - xx * (P1 + xx * (P2 + xx * (P3 + xx * (P4 + xx * P5))));
    const double y = 1 + (x * c / (2 - c) - lo + hi);
    if (k == 0) return y;
    return std::scalbn(y, k);
}

double log(double x) {
    const double lg1 = bits(0x3fe5555555555593);  // 6.666666666666735130e-01
    const double lg2 = bits(0x3fd999999997fa04);  // 3.999999999940941908e-01
    const double lg3 = bits(0x3fd2492494229359);  // 2.857142874366239149e-01
    const double lg4 = bits(0x3fcc71c51d8e78af);  // 2.222219843214978396e-01
    const double lg5 = bits(0x3fc7466496cb03de);  // 1.818357216161805012e-01
    const double lg6 = bits(0x3fc39a09d078c69f);  // 1.531383769920937332e-01
    const double lg7 = bits(0x3fc2f112df3e5244);  // 1.479819860511658591e-01

    uint64_t ix = std::bit_cast<uint64_t>(x);
    uint32_t hx = static_cast<uint32_t>(ix >> 32);
    int k = 0;
    if (hx < 0x00100000 || (hx >> 31) != 0) {
        if (ix << 1 == 0) return -1 / (x * x);      // log(+-0) = -inf
        if ((hx >> 31) != 0) return (x - x) / 0.0;  // log(negative) = NaN
        // Subnormal: scale into the normal range.
        k -= 54;
        x *= 0x1p54;
        ix = std::bit_cast<uint64_t>(x);
        hx = static_cast<uint32_t>(ix >> 32);
    } else if (hx >= 0x7ff00000) {
        return x;
    } else if (hx == 0x3ff00000 && ix << 32 == 0) {
        return 0;
    }

    // Reduce x into [sqrt(2)/2, sqrt(2)]: x = 2^k (1 + f).
    hx += 0x3ff00000 - 0x3fe6a09e;
    k += static_cast<int>(hx >> 20) - 0x3ff;
    hx = (hx & 0x000fffff) + 0x3fe6a09e;
    x = std::bit_cast<double>(static_cast<uint64_t>(hx) << 32 | (ix & 0xffffffff));

    const double f = x - 1.0;
    const double hfsq = 0.5 * f * f;
    const double s = f / (2.0 + f);
    const double z = s * s;
    const double w = z * z;
    const double t1 = w * (lg2 + w * (lg4 + w * lg6));
    const double t2 = z * (lg1 + w * (lg3 + w * (lg5 + w * lg7)));
    const double r = t2 + t1;
    const double dk = k;
    return s * (hfsq + r) + dk * LN2_LO - hfsq + f + dk * LN2_HI;
}

double expm1(double x) {
    const double o_threshold = bits(0x40862e42fefa39ef);  // 709.782712893383973096
    // Scaled coefficients of R(2z), z = x*x/2.
    const double q1 = bits(0xbfa11111111110f4);  // -3.33333333333331316428e-02
    const double q2 = bits(0x3f5a01a019fe5585);  //  1.58730158725481460165e-03
    const double q3 = bits(0xbf14ce199eaadbb7);  // -7.93650757867487942473e-05
    const double q4 = bits(0x3ed0cfca86e65239);  //  4.00821782732936239552e-06
    const double q5 = bits(0xbe8afdb76e09c32d);  // -2.01099218183624371326e-07

    const uint32_t hx = high_word(x) & 0x7fffffff;
    const bool negative = (high_word(x) >> 31) != 0;

    if (hx >= 0x4043687a) {  // |x| >= 56 ln2
        if (std::isnan(x)) return x;
        if (negative) return -1;
        if (x > o_threshold) return x * 0x1p1023;
    }

    double c = 0;
    int k = 0;
    if (hx > 0x3fd62e42) {  // |x| > 0.5 ln2
        double hi = 0;
        double lo = 0;
        if (hx < 0x3ff0a2b2) {  // and |x| < 1.5 ln2
            if (!negative) {
                hi = x - LN2_HI;
                lo = LN2_LO;
                k = 1;
            } else {
                hi = x + LN2_HI;
                lo = -LN2_LO;
                k = -1;
            }
        } else {
            k = static_cast<int>(INV_LN2 * x + (negative ? -0.5 : 0.5));
            const double t = k;
            hi = x - t * LN2_HI;
            lo = t * LN2_LO;
        }
        x = hi - lo;
        c = (hi - x) - lo;
    } else if (hx < 0x3c900000) {  // |x| < 2^-54
        return x;
    }

    const double hfx = 0.5 * x;
    const double hxs = x * hfx;
    const double r1 = 1.0 + hxs * (q1 + hxs * (q2 + hxs * (q3 + hxs * (q4 + hxs * q5))));
    const double t = 3.0 - r1 * hfx;
    double e = hxs * ((r1 - t) / (6.0 - x * t));
    if (k == 0) return x - (x * e - hxs);  // c is 0
    e = x * (e - c) - c;
    e -= hxs;
    // expm1(x) = 2^k (x_reduced - e + 1) - 1
    if (k == -1) return 0.5 * (x - e) - 0.5;
    if (k == 1) {
        if (x < -0.25) return -2.0 * (e - (x + 0.5));
        return 1.0 + 2.0 * (x - e);
    }
    if (k < 0 || k > 56) {
        double y = x - e + 1.0;
        if (k == 1024) {
            y = y * 2.0 * 0x1p1023;
        } else {
            y = y * power_of_two(k);
        }
        return y - 1.0;
    }
    const double two_k = power_of_two(k);
    const double two_minus_k = power_of_two(-k);
    if (k < 20) return (x - e + (1 - two_minus_k)) * two_k;
    return (x - (e + two_minus_k) + 1) * two_k;
}

double pow(double x, double y) {
    const double bp[] = {1.0, 1.5};
    const double dp_h[] = {0.0, bits(0x3fe2b80340000000)};  // 5.84962487220764160156e-01
    const double dp_l[] = {0.0, bits(0x3e4cfdeb43cfd006)};  // 1.35003920212974897128e-08
    const double two53 = 9007199254740992.0;
    // Coefficients of (3/2)(log(x) - 2s - 2/3 s^3).
    const double l1 = bits(0x3fe3333333333303);       // 5.99999999999994648725e-01
    const double l2 = bits(0x3fdb6db6db6fabff);       // 4.28571428578550184252e-01
    const double l3 = bits(0x3fd55555518f264d);       // 3.33333329818377432918e-01
    const double l4 = bits(0x3fd17460a91d4101);       // 2.72728123808534006489e-01
    const double l5 = bits(0x3fcd864a93c9db65);       // 2.30660745775561754067e-01
    const double l6 = bits(0x3fca7e284a454eef);       // 2.06975017800338417784e-01
    const double lg2 = bits(0x3fe62e42fefa39ef);      //  6.93147180559945286227e-01
    const double lg2_h = bits(0x3fe62e4300000000);    //  6.93147182464599609375e-01
    const double lg2_l = bits(0xbe205c610ca86c39);    // -1.90465429995776804525e-09
    const double ovt = 8.0085662595372944372e-17;     // -(1024 - log2(ovfl + .5ulp))
    const double cp = bits(0x3feec709dc3a03fd);       //  9.61796693925975554329e-01 = 2/(3 ln2)
    const double cp_h = bits(0x3feec709e0000000);     //  9.61796700954437255859e-01
    const double cp_l = bits(0xbe3e2fe0145b01f5);     // -7.02846165095275826516e-09
    const double ivln2 = bits(0x3ff71547652b82fe);    //  1.44269504088896338700e+00 = 1/ln2
    const double ivln2_h = bits(0x3ff7154760000000);  // 1.44269502162933349609e+00
    const double ivln2_l = bits(0x3e54ae0bf85ddf44);  // 1.92596299112661746887e-08

    const auto hx = static_cast<int32_t>(high_word(x));
    const uint32_t lx = low_word(x);
    const auto hy = static_cast<int32_t>(high_word(y));
    const uint32_t ly = low_word(y);
    int32_t ix = hx & 0x7fffffff;
    const int32_t iy = hy & 0x7fffffff;

    if ((iy | static_cast<int32_t>(ly)) == 0) return 1.0;  // x^0 = 1, even for NaN x
    if (hx == 0x3ff00000 && lx == 0) return 1.0;           // 1^y = 1, even for NaN y
    if (ix > 0x7ff00000 || (ix == 0x7ff00000 && lx != 0) || iy > 0x7ff00000 || (iy == 0x7ff00000 && ly != 0))
        return x + y;

    // For x < 0: 0 when y is not an integer, 1 for an odd and 2 for an even integer.
    int yisint = 0;
    if (hx < 0) {
        if (iy >= 0x43400000) {
            yisint = 2;  // |y| >= 2^53: even
        } else if (iy >= 0x3ff00000) {
            const int e = (iy >> 20) - 0x3ff;
            if (e > 20) {
                const uint32_t j = ly >> (52 - e);
                if ((j << (52 - e)) == ly) yisint = 2 - static_cast<int>(j & 1);
            } else if (ly == 0) {
                const int32_t j = iy >> (20 - e);
                if ((j << (20 - e)) == iy) yisint = 2 - (j & 1);
            }
        }
    }

    if (ly == 0) {
        if (iy == 0x7ff00000) {                                                   // y is +-inf
            if (((ix - 0x3ff00000) | static_cast<int32_t>(lx)) == 0) return 1.0;  // (-1)^+-inf
            if (ix >= 0x3ff00000) return hy >= 0 ? y : 0.0;                       // |x| > 1
            return hy >= 0 ? 0.0 : -y;                                            // |x| < 1
        }
        if (iy == 0x3ff00000) return hy >= 0 ? x : 1 / x;      // y is +-1
        if (hy == 0x40000000) return x * x;                    // y is 2
        if (hy == 0x3fe00000 && hx >= 0) return std::sqrt(x);  // y is 0.5, x >= +0
    }

    double ax = std::fabs(x);
    if (lx == 0 && (ix == 0x7ff00000 || ix == 0 || ix == 0x3ff00000)) {  // x is +-0, +-inf, +-1
        double z = ax;
        if (hy < 0) z = 1 / z;
        if (hx < 0) {
            if (((ix - 0x3ff00000) | yisint) == 0) {
                z = (z - z) / (z - z);  // (-1)^non-integer is NaN
            } else if (yisint == 1) {
                z = -z;
            }
        }
        return z;
    }

    if (hx < 0 && yisint == 0) return (x - x) / (x - x);    // negative^non-integer is NaN
    const double s = (hx < 0 && yisint == 1) ? -1.0 : 1.0;  // sign of the result

    double t1 = 0;
    double t2 = 0;
    if (iy > 0x41e00000) {      // |y| > 2^31
        if (iy > 0x43f00000) {  // |y| > 2^64: certain overflow or underflow
            if (ix <= 0x3fefffff) return hy < 0 ? HUGE_NUMBER * HUGE_NUMBER : TINY_NUMBER * TINY_NUMBER;
            if (ix >= 0x3ff00000) return hy > 0 ? HUGE_NUMBER * HUGE_NUMBER : TINY_NUMBER * TINY_NUMBER;
        }
        // Overflow or underflow unless x is close to one.
        if (ix < 0x3fefffff) return hy < 0 ? s * HUGE_NUMBER * HUGE_NUMBER : s * TINY_NUMBER * TINY_NUMBER;
        if (ix > 0x3ff00000) return hy > 0 ? s * HUGE_NUMBER * HUGE_NUMBER : s * TINY_NUMBER * TINY_NUMBER;
        // |1 - x| <= 2^-20: log(x) by x - x^2/2 + x^3/3 - x^4/4.
        const double t = ax - 1.0;
        const double w = (t * t) * (0.5 - t * (bits(0x3fd5555555555555) - t * 0.25));
        const double u = ivln2_h * t;
        const double v = t * ivln2_l - w * ivln2;
        t1 = with_low_word_zero(u + v);
        t2 = v - (t1 - u);
    } else {
        int n = 0;
        if (ix < 0x00100000) {  // subnormal x
            ax *= two53;
            n -= 53;
            ix = static_cast<int32_t>(high_word(ax));
        }
        n += (ix >> 20) - 0x3ff;
        const int32_t j = ix & 0x000fffff;
        // Normalise into [1, 2) and pick the interval around 1 or 1.5.
        ix = j | 0x3ff00000;
        int k = 0;
        if (j <= 0x3988e) {  // |x| < sqrt(3/2)
            k = 0;
        } else if (j < 0xbb67a) {  // |x| < sqrt(3)
            k = 1;
        } else {
            k = 0;
            n += 1;
            ix -= 0x00100000;
        }
        ax = with_high_word(ax, static_cast<uint32_t>(ix));

        // ss = s_h + s_l = (x - 1)/(x + 1) or (x - 1.5)/(x + 1.5)
        double u = ax - bp[k];
        double v = 1.0 / (ax + bp[k]);
        const double ss = u * v;
        const double s_h = with_low_word_zero(ss);
        // t_h = ax + bp[k], high part
        double t_h = from_words(static_cast<uint32_t>(((ix >> 1) | 0x20000000) + 0x00080000 + (k << 18)), 0);
        double t_l = ax - (t_h - bp[k]);
        const double s_l = v * ((u - s_h * t_h) - s_h * t_l);
        // log(ax)
        double s2 = ss * ss;
        double r = s2 * s2 * (l1 + s2 * (l2 + s2 * (l3 + s2 * (l4 + s2 * (l5 + s2 * l6)))));
        r += s_l * (s_h + ss);
        s2 = s_h * s_h;
        t_h = with_low_word_zero(3.0 + s2 + r);
        t_l = r - ((t_h - 3.0) - s2);
        // u + v = ss (1 + ...)
        u = s_h * t_h;
        v = s_l * t_h + t_l * ss;
        // 2/(3 ln2) (ss + ...)
        const double p_h = with_low_word_zero(u + v);
        const double p_l = v - (p_h - u);
        const double z_h = cp_h * p_h;
        const double z_l = cp_l * p_h + p_l * cp + dp_l[k];
        // log2(ax) = (ss + ...) 2/(3 ln2) = n + dp_h + z_h + z_l
        const double t = n;
        t1 = with_low_word_zero(((z_h + z_l) + dp_h[k]) + t);
        t2 = z_l - (((t1 - t) - dp_h[k]) - z_h);
    }

    // (y1 + y2)(t1 + t2) with y1 the high part of y.
    const double y1 = with_low_word_zero(y);
    const double p_l = (y - y1) * t1 + y * t2;
    double p_h = y1 * t1;
    double z = p_l + p_h;
    int32_t j = static_cast<int32_t>(high_word(z));
    const uint32_t i = low_word(z);
    if (j >= 0x40900000) {  // z >= 1024
        if (((j - 0x40900000) | static_cast<int32_t>(i)) != 0) return s * HUGE_NUMBER * HUGE_NUMBER;
        if (p_l + ovt > z - p_h) return s * HUGE_NUMBER * HUGE_NUMBER;
    } else if ((j & 0x7fffffff) >= 0x4090cc00) {  // z <= -1075
        if (((static_cast<uint32_t>(j) - 0xc090cc00u) | i) != 0) return s * TINY_NUMBER * TINY_NUMBER;
        if (p_l <= z - p_h) return s * TINY_NUMBER * TINY_NUMBER;
    }

    // 2^(p_h + p_l)
    const int32_t abs_j = j & 0x7fffffff;
    int k = (abs_j >> 20) - 0x3ff;
    int32_t n = 0;
    if (abs_j > 0x3fe00000) {  // |z| > 0.5: n = [z + 0.5]
        n = j + (0x00100000 >> (k + 1));
        k = ((n & 0x7fffffff) >> 20) - 0x3ff;  // new k for n
        const double t = from_words(static_cast<uint32_t>(n & ~(0x000fffff >> k)), 0);
        n = ((n & 0x000fffff) | 0x00100000) >> (20 - k);
        if (j < 0) n = -n;
        p_h -= t;
    }
    double t = with_low_word_zero(p_l + p_h);
    const double u = t * lg2_h;
    const double v = (p_l - (t - p_h)) * lg2 + t * lg2_l;
    z = u + v;
    const double w = v - (z - u);
    t = z * z;
    t1 = z - t * (P1 + t * (P2 + t * (P3 + t * (P4 + t * P5))));
    const double r = (z * t1) / (t1 - 2.0) - (w + z * w);
    z = 1.0 - (r - z);
    j = static_cast<int32_t>(high_word(z));
    j += static_cast<int32_t>(static_cast<uint32_t>(n) << 20);
    if ((j >> 20) <= 0) {
        z = std::scalbn(z, n);  // subnormal result
    } else {
        z = with_high_word(z, static_cast<uint32_t>(j));
    }
    return s * z;
}

}  // namespace kro::gen::fdlibm
