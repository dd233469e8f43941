// Processor features: CPUID and XGETBV probed once, each probe guarded so that a fault counts
// as a missing feature.
#include <csetjmp>
#include <csignal>

#include "convert/convert.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define VQ_X86 1
#endif

namespace vq {

bool detect_mmx() {
#if VQ_X86
  // __get_cpuid_max checks the ID flag first (on 32-bit processors) and answers 0 when the
  // processor has no identification instruction; a highest standard leaf of 0 means no leaf 1.
  if (__get_cpuid_max(0, nullptr) == 0) return false;
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  return (edx & bit_MMX) != 0;
#else
  return false;
#endif
}

namespace {

sigjmp_buf g_probe_jump;

void on_probe_fault(int) {
  siglongjmp(g_probe_jump, 1);
}

// Runs `probe` with SIGILL, SIGSEGV and SIGBUS turned into a "false" answer.
bool run_guarded(bool (*probe)()) {
  struct sigaction fault = {}, old_ill = {}, old_segv = {}, old_bus = {};
  fault.sa_handler = on_probe_fault;
  sigemptyset(&fault.sa_mask);
  sigaction(SIGILL, &fault, &old_ill);
  sigaction(SIGSEGV, &fault, &old_segv);
  sigaction(SIGBUS, &fault, &old_bus);
  volatile bool answer = false;
  if (sigsetjmp(g_probe_jump, 1) == 0) answer = probe();
  sigaction(SIGILL, &old_ill, nullptr);
  sigaction(SIGSEGV, &old_segv, nullptr);
  sigaction(SIGBUS, &old_bus, nullptr);
  return answer;
}

#if VQ_X86
bool detect_sse2() {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  return (edx & bit_SSE2) != 0;
}

// The register states the OS saves (XCR0 through XGETBV); only where CPUID says OSXSAVE.
unsigned saved_state() {
  unsigned xcr0_lo, xcr0_hi;
  __asm__ volatile("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
  return xcr0_lo;
}

// The extended feature bits of CPUID leaf 7; 0 on processors without that leaf.
unsigned leaf7_ebx() {
  if (__get_cpuid_max(0, nullptr) < 7) return 0;
  unsigned eax, ebx, ecx, edx;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  return ebx;
}

// AVX2 needs the instruction set (leaf 7) and an OS that saves the YMM state (OSXSAVE, then
// XCR0 bits 1 and 2). The tier also takes FMA for granted (the RGB metrics' float kernels fuse
// their multiply-adds), which every processor with AVX2 has; one without it (a virtual machine
// that hides it) gets the tier below.
bool detect_avx2() {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  if ((ecx & bit_OSXSAVE) == 0 || (ecx & bit_AVX) == 0 || (ecx & bit_FMA) == 0) return false;
  return (saved_state() & 6) == 6 && (leaf7_ebx() & bit_AVX2) != 0;
}

// AVX-512 (foundation, DQ, BW, VL), asked once AVX2 is known to be there: those leaf 7 bits
// and an OS that saves the opmask and ZMM state besides YMM's (XCR0 bits 1, 2 and 5 to 7).
bool detect_avx512() {
  const unsigned need = bit_AVX512F | bit_AVX512DQ | bit_AVX512BW | bit_AVX512VL;
  return (saved_state() & 0xe6) == 0xe6 && (leaf7_ebx() & need) == need;
}
#endif

}  // namespace

bool detect_mmx_guarded() {
  return run_guarded(detect_mmx);
}

namespace {

uint32_t probe_cpu_flags() {
  uint32_t flags = 0;
  if (!detect_mmx_guarded()) return flags;
  flags |= kCpuMmx;
#if VQ_X86
  if (!run_guarded(detect_sse2)) return flags;
  flags |= kCpuSse2;
  if (!run_guarded(detect_avx2)) return flags;
  flags |= kCpuAvx2;
  if (run_guarded(detect_avx512)) flags |= kCpuAvx512;
#endif
  return flags;
}

}  // namespace

uint32_t detect_cpu_flags() {
  // Probed once: signal handlers are swapped during a probe, which must not race.
  static const uint32_t flags = probe_cpu_flags();
  return flags;
}

}  // namespace vq
