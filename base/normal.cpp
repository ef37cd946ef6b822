#include "base/normal.hpp"

namespace vesk {

namespace {
ZigguratTable build() {
    ZigguratTable t;
    constexpr int C = ZigguratTable::LAYERS;
    const double r = ZigguratTable::R;
    const double v = ZigguratTable::V;
    double f = std::exp(-0.5 * r * r);
    t.x[0] = v / f;
    t.x[1] = r;
    t.x[C] = 0.0;
    for (int i = 2; i < C; ++i) {
        t.x[i] = std::sqrt(-2.0 * std::log(v / t.x[i - 1] + f));
        f = std::exp(-0.5 * t.x[i] * t.x[i]);
    }
    for (int i = 0; i < C; ++i) t.ratio[i] = t.x[i + 1] / t.x[i];
    return t;
}
}  // namespace

const ZigguratTable& ziggurat_table() {
    static const ZigguratTable table = build();
    return table;
}

}  // namespace vesk
