// reference/gmp_words.h: word vectors (most significant word first) to and from GMP
// integers, for the arithmetic tests and the arithmetic fuzzer.
#pragma once

#include <gmp.h>

#include <algorithm>
#include <cstdint>
#include <vector>

static_assert(sizeof(mp_limb_t) == sizeof(uint64_t), "64-bit GMP limbs expected");

namespace lvgmp {

using Words = std::vector<uint64_t>;

// An mpz_t that clears itself.
struct Z {
    mpz_t v;
    Z() { mpz_init(v); }
    ~Z() { mpz_clear(v); }
    Z(const Z &) = delete;
    Z &operator=(const Z &) = delete;
};

// Our words run most significant first; mpz_import with order 1 reads them so.
inline void to_mpz(mpz_t z, const Words &w) {
    if (w.empty())
        mpz_set_ui(z, 0);
    else
        mpz_import(z, w.size(), 1, sizeof(uint64_t), 0, 0, w.data());
}

// The low 64 x n bits of z as n words; *fits tells whether that was all of z.
inline Words from_mpz(const mpz_t z, size_t n, bool *fits = nullptr) {
    Words buf(mpz_size(z) + 1, 0), out(n, 0);
    size_t count = 0;
    mpz_export(buf.data(), &count, 1, sizeof(uint64_t), 0, 0, z);
    if (fits != nullptr) *fits = count <= n;
    const size_t keep = std::min(count, n);
    std::copy(buf.begin() + static_cast<std::ptrdiff_t>(count - keep),
              buf.begin() + static_cast<std::ptrdiff_t>(count), out.end() - static_cast<std::ptrdiff_t>(keep));
    return out;
}

}  // namespace lvgmp
