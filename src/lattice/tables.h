// tables.h: the read-only Fibonacci and prime tables shared by folding and recursion.
#pragma once

namespace lv {

inline constexpr float fib_table[16] = {1, 1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233, 377, 610, 987};
inline constexpr float prime_table[16] = {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53};

}  // namespace lv
