// reference/slot_image.h: every field and word of a slot, kept apart from it,
// and the fields in which two slots differ: the one slot comparison of the
// tests, the fault harness and the fuzzers. Doubles and the base compare as
// bit patterns (NaN equals NaN), words by value; a vector by its storage,
// count, sign and word 0. With `Buffers::ByAddress` the buffers' addresses
// count too, for operations that must leave a slot exactly as it was.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "lumivane/lumivane.h"

namespace lvref {

// Doubles as bit patterns: NaN equals NaN, 0.0 differs from -0.0.
inline bool same_bits(double a, double b) {
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

enum Vec { kExponentVec, kCountVec, kAuxVec };

struct VecImage {
    bool stored = false;
    uint64_t count = 0;
    uint8_t sign = 0;
    uint64_t word0 = 0;
    bool operator==(const VecImage &) const = default;
};

struct SlotImage {
    bool stored = false;
    std::vector<uint64_t> mantissa;
    uint64_t num_words = 0;
    int64_t exponent = 0;
    uint32_t flags = 0;
    uint16_t init_tag = 0;
    uint32_t base = 0;
    int32_t mantissa_bits = 0, exponent_bits = 0;
    uint64_t phase = 0, phase_vel = 0, omega = 0, amp_im = 0;
    std::array<VecImage, 3> vec;
    std::array<const void *, 4> buffers{};  // mantissa, then the vectors' words

    // No mantissa storage, as after a failed mantissa allocation.
    SlotImage &without_mantissa() {
        stored = false;
        mantissa.clear();
        return *this;
    }
    SlotImage &without_words(Vec v) {
        vec[v].stored = false;
        vec[v].word0 = 0;
        return *this;
    }
    // The fields a step stores whatever its write-back does.
    SlotImage &motion_of(const SlotImage &o) {
        phase = o.phase;
        phase_vel = o.phase_vel;
        amp_im = o.amp_im;
        return *this;
    }
};

inline VecImage image(const Mpi &v) {
    VecImage m;
    m.stored = v.words != nullptr;
    m.count = v.word_count;
    m.sign = v.sign;
    if (m.stored && v.word_count >= 1) m.word0 = v.words[0];
    return m;
}

inline SlotImage image(const Slot &s) {
    SlotImage m;
    m.stored = s.mantissa_words != nullptr;
    if (m.stored) m.mantissa.assign(s.mantissa_words, s.mantissa_words + s.num_words);
    m.num_words = s.num_words;
    m.exponent = s.exponent;
    m.flags = s.flags;
    m.init_tag = s.init_tag;
    m.base = std::bit_cast<uint32_t>(s.base);
    m.mantissa_bits = s.mantissa_bits;
    m.exponent_bits = s.exponent_bits;
    m.phase = std::bit_cast<uint64_t>(s.phase);
    m.phase_vel = std::bit_cast<uint64_t>(s.phase_vel);
    m.omega = std::bit_cast<uint64_t>(s.omega);
    m.amp_im = std::bit_cast<uint64_t>(s.amp_im);
    m.vec = {image(s.exponent_mpi), image(s.num_words_mpi), image(s.aux_mpi)};
    m.buffers = {s.mantissa_words, s.exponent_mpi.words, s.num_words_mpi.words, s.aux_mpi.words};
    return m;
}

enum class Buffers { ByValue, ByAddress };

// The fields in which `got` differs from `want`, "" when none.
inline std::string differences(const SlotImage &got, const SlotImage &want,
                               Buffers buffers = Buffers::ByValue) {
    std::string why;
    const auto check = [&why](bool same, const char *field) {
        if (!same) why += std::string(field) + "; ";
    };
    check(got.stored == want.stored, "mantissa storage");
    check(got.mantissa == want.mantissa, "mantissa words");
    check(got.num_words == want.num_words, "num_words");
    check(got.exponent == want.exponent, "exponent");
    check(got.flags == want.flags, "flags");
    check(got.init_tag == want.init_tag, "init_tag");
    check(got.base == want.base, "base");
    check(got.mantissa_bits == want.mantissa_bits && got.exponent_bits == want.exponent_bits,
          "widths");
    check(got.phase == want.phase, "phase");
    check(got.phase_vel == want.phase_vel, "phase_vel");
    check(got.omega == want.omega, "omega");
    check(got.amp_im == want.amp_im, "amp_im");
    check(got.vec[kExponentVec] == want.vec[kExponentVec], "exponent_mpi");
    check(got.vec[kCountVec] == want.vec[kCountVec], "num_words_mpi");
    check(got.vec[kAuxVec] == want.vec[kAuxVec], "aux_mpi");
    if (buffers == Buffers::ByAddress) check(got.buffers == want.buffers, "buffer addresses");
    return why;
}

inline std::string differences(const Slot &got, const Slot &want,
                               Buffers buffers = Buffers::ByValue) {
    return differences(image(got), image(want), buffers);
}

}  // namespace lvref
