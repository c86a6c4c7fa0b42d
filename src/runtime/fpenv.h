// runtime/fpenv.h: the floating-point environment the exported operations compute in.
#pragma once

#include <cstdint>
#if !defined(__x86_64__) && !defined(__aarch64__)
#include <cfenv>
#endif

namespace lv {

// While it lives, the calling thread computes in the default floating-point
// environment: round to nearest, subnormal numbers kept (neither flushed to
// zero as results nor read as zero as operands), exceptions masked. A host may
// have left another (interval arithmetic rounds up or down; code built with
// -ffast-math sets flush-to-zero and denormals-are-zero for the whole process
// when it loads), and the results, the printed text included (printf rounds by
// the current mode), would silently differ.
//
// Where the environment is the default already, it reads the control
// registers and compares once. Otherwise it sets the default and, when it
// goes, gives the caller's controls back; the exception flags raised in
// between stay raised, as they would without it.
//
// x86-64: MXCSR (SSE arithmetic) and the x87 control word (long double, and
// glibc's rounding mode as printf reads it). AArch64: FPCR. Elsewhere the
// rounding mode, as <fenv.h> reaches it.
class DefaultFloatEnv {
  public:
    DefaultFloatEnv() noexcept {
        saved_ = read();
        if (saved_ != kDefault) [[unlikely]]
            pin();
    }
    ~DefaultFloatEnv() {
        if (saved_ != kDefault) [[unlikely]]
            restore();
    }
    DefaultFloatEnv(const DefaultFloatEnv &) = delete;
    DefaultFloatEnv &operator=(const DefaultFloatEnv &) = delete;

  private:
#if defined(__x86_64__)
    // MXCSR bits 6-15 control (DAZ, the masks, rounding, FTZ), bits 0-5 are
    // the flags; the x87 control word's bits 0-5 are masks, 8-9 precision,
    // 10-11 rounding. Held as one word: MXCSR's below, the x87's above.
    static constexpr uint32_t kMxcsrControl = 0xFFC0, kMxcsrDefault = 0x1F80;
    static constexpr uint32_t kX87Control = 0x0F3F, kX87Default = 0x033F;
    static constexpr uint64_t kDefault = kMxcsrDefault | uint64_t{kX87Default} << 32;
    static uint32_t mxcsr() {
        uint32_t m;
        asm volatile("stmxcsr %0" : "=m"(m));
        return m;
    }
    static uint16_t x87() {
        uint16_t c;
        asm volatile("fnstcw %0" : "=m"(c));
        return c;
    }
    static void set(uint32_t m, uint16_t c) {
        asm volatile("ldmxcsr %0" : : "m"(m) : "memory");
        asm volatile("fldcw %0" : : "m"(c) : "memory");
    }
    uint64_t read() noexcept {
        whole_x87_ = x87();
        return (mxcsr() & kMxcsrControl) | uint64_t{whole_x87_ & kX87Control} << 32;
    }
    void pin() noexcept {
        set((mxcsr() & ~kMxcsrControl) | kMxcsrDefault,
            static_cast<uint16_t>((whole_x87_ & ~kX87Control) | kX87Default));
    }
    void restore() noexcept {
        set((mxcsr() & ~kMxcsrControl) | static_cast<uint32_t>(saved_ & kMxcsrControl), whole_x87_);
    }
    uint16_t whole_x87_ = 0;
#elif defined(__aarch64__)
    // FPCR holds only controls (rounding, FZ, DN, AHP, the traps); its
    // default is all zero. The flags live in FPSR, which is left alone.
    static constexpr uint64_t kDefault = 0;
    static uint64_t read() noexcept {
        uint64_t v;
        asm volatile("mrs %0, fpcr" : "=r"(v));
        return v;
    }
    static void set(uint64_t v) noexcept { asm volatile("msr fpcr, %0" : : "r"(v) : "memory"); }
    void pin() noexcept { set(kDefault); }
    void restore() noexcept { set(saved_); }
#else
#if defined(FE_TONEAREST)
    static constexpr uint64_t kDefault = static_cast<uint64_t>(FE_TONEAREST);
    static uint64_t read() noexcept { return static_cast<uint64_t>(std::fegetround()); }
    void pin() noexcept { std::fesetround(FE_TONEAREST); }
    void restore() noexcept { std::fesetround(static_cast<int>(saved_)); }
#else
    static constexpr uint64_t kDefault = 0;
    static uint64_t read() noexcept { return 0; }
    void pin() noexcept {}
    void restore() noexcept {}
#endif
#endif
    uint64_t saved_;
};

}  // namespace lv
