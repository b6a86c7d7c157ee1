#include "run/path_rules_core.h"

namespace pathrules {

int EqualsIgnoreCaseAnsi(const char* a, const char* b, FoldFn fold) {
    if (!a && !b) return 1;
    if (!a || !b) return 0;
    size_t n = Length(a);
    if (Length(b) != n) return 0;
    return EqualFolded(a, b, n, fold) ? 1 : 0;
}

int StartsWithIgnoreCaseAnsi(const char* a, const char* b, size_t n, FoldFn fold) {
    if (n == 0) return 1;
    if (!a || !b) return 0;
    for (size_t i = 0; i < n; ++i) {
        uint32_t x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x != y && fold(x) != fold(y)) return 0;
        if (!x) return 1;
    }
    return 1;
}

}  // namespace pathrules
