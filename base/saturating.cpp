#include "base/saturating.hpp"

namespace vesk {

void append_decimal(std::string& out, u128 v) {
    char buf[40];
    int n = 0;
    do {
        buf[n++] = static_cast<char>('0' + static_cast<int>(v % 10));
        v /= 10;
    } while (v != 0);
    while (n > 0) out.push_back(buf[--n]);
}

std::string u128_to_string(u128 v) {
    std::string s;
    append_decimal(s, v);
    return s;
}

}  // namespace vesk
