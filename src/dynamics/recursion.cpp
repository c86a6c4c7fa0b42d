// recursion.cpp: prismatic recursion, a weight over the prime and Fibonacci cycles.
#include <cmath>

#include "runtime/internal.h"
#include "lattice/tables.h"
#include "runtime/fpenv.h"

extern "C" double prismatic_recursion(const Lattice *l, int32_t index, double value) {
    const lv::DefaultFloatEnv float_env;
    if (l == nullptr) return 0.0;
    // Euclidean remainders take a negative index into the cycles.
    const int k = ((index % 16) + 16) % 16;
    const int m = ((index % 7) + 7) % 7 + 1;
    const double g = std::pow(std::fabs(value), m * 0.125);
    const double s = std::sin(static_cast<double>(index) * 0.01 + l->time);
    const double p = ((static_cast<double>(1 << k) *
                       (std::pow(lv::kPhi, k) * static_cast<double>(lv::fib_table[k]))) *
                      static_cast<double>(lv::prime_table[k])) *
                     (s * 0.5 + 0.5);
    return g * std::sqrt(p);
}
