#pragma once
// Standard normal samples by the ziggurat method (256 layers, Marsaglia and
// Tsang's layout with Doornik's uniform-in-layer test), in double precision,
// from any generator with next_u64().
#include <array>
#include <cmath>
#include <cstdint>

namespace vesk {

struct ZigguratTable {
    static constexpr int LAYERS = 256;
    // The start of the tail.
    static constexpr double R = 3.6541528853610088;
    // The area of each layer, the base with its tail included.
    static constexpr double V = 0.00492867323399;

    // x[0] is the base's pseudo-width V / f(R), x[1] = R, x[LAYERS] = 0.
    std::array<double, LAYERS + 1> x{};
    // ratio[i] = x[i + 1] / x[i]: below it a point lies inside the curve.
    std::array<double, LAYERS> ratio{};
};

const ZigguratTable& ziggurat_table();

namespace normal_detail {
// [0, 1) from the top 53 bits.
inline double unit_closed_open(uint64_t w) { return static_cast<double>(w >> 11) * 0x1p-53; }
// (0, 1], safe for a logarithm.
inline double unit_open_closed(uint64_t w) { return static_cast<double>((w >> 11) + 1) * 0x1p-53; }
}  // namespace normal_detail

// One standard normal sample; at least one 64-bit draw.
template <class Rng>
double standard_normal(Rng& rng) {
    const ZigguratTable& t = ziggurat_table();
    for (;;) {
        uint64_t w = rng.next_u64();
        // The low 8 bits pick the layer, the top 53 the point across it.
        auto i = static_cast<size_t>(w & 0xff);
        double u = 2.0 * normal_detail::unit_closed_open(w) - 1.0;
        if (std::fabs(u) < t.ratio[i]) return u * t.x[i];
        if (i == 0) {
            double x, y;
            do {
                x = std::log(normal_detail::unit_open_closed(rng.next_u64())) / ZigguratTable::R;
                y = std::log(normal_detail::unit_open_closed(rng.next_u64()));
            } while (-2.0 * y < x * x);
            return u < 0 ? x - ZigguratTable::R : ZigguratTable::R - x;
        }
        double x = u * t.x[i];
        double f0 = std::exp(-0.5 * (t.x[i] * t.x[i] - x * x));
        double f1 = std::exp(-0.5 * (t.x[i + 1] * t.x[i + 1] - x * x));
        if (f1 + normal_detail::unit_closed_open(rng.next_u64()) * (f0 - f1) < 1.0) return x;
    }
}

}  // namespace vesk
