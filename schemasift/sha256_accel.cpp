// SHA-256 over the x86 SHA extensions (SHA-NI), chosen at run time.
#include "schemasift/sha256_accel.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "common/sha256.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TESSARIN_SHA_NI 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace tessarin::schemasift {

#ifdef TESSARIN_SHA_NI

namespace {

alignas(16) constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

bool cpu_has_sha() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  bool ssse3 = (c >> 9) & 1, sse41 = (c >> 19) & 1;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  bool sha = (b >> 29) & 1;
  return ssse3 && sse41 && sha;
}

// Runs the compression function over whole 64-byte blocks.
__attribute__((target("sha,sse4.1"))) void compress_blocks(std::uint32_t state[8],
                                                           const unsigned char* data,
                                                           std::size_t blocks) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  // The instructions keep the state as the word pairs ABEF and CDGH.
  __m128i tmp =
      _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0])), 0xB1);
  __m128i state1 =
      _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4])), 0x1B);
  __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);
  state1 = _mm_blend_epi16(state1, tmp, 0xF0);

  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abef = state0, cdgh = state1;
    __m128i w[4];
    // Fully unrolled, the message words stay in registers.
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
      __m128i& cur = w[g & 3];
      if (g < 4)
        cur = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * g)),
                               byte_swap);
      __m128i msg =
          _mm_add_epi32(cur, _mm_load_si128(reinterpret_cast<const __m128i*>(&kRound[4 * g])));
      state1 = _mm_sha256rnds2_epu32(state1, state0, msg);
      if (g >= 3 && g <= 14) {
        __m128i& next = w[(g + 1) & 3];
        next = _mm_add_epi32(next, _mm_alignr_epi8(cur, w[(g + 3) & 3], 4));
        next = _mm_sha256msg2_epu32(next, cur);
      }
      state0 = _mm_sha256rnds2_epu32(state0, state1, _mm_shuffle_epi32(msg, 0x0E));
      if (g >= 1 && g <= 12) w[(g + 3) & 3] = _mm_sha256msg1_epu32(w[(g + 3) & 3], cur);
    }
    state0 = _mm_add_epi32(state0, abef);
    state1 = _mm_add_epi32(state1, cdgh);
  }

  tmp = _mm_shuffle_epi32(state0, 0x1B);
  state1 = _mm_shuffle_epi32(state1, 0xB1);
  state0 = _mm_blend_epi16(tmp, state1, 0xF0);
  state1 = _mm_alignr_epi8(state1, tmp, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), state0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), state1);
}

std::string digest_hex(std::string_view data) {
  std::uint32_t state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  std::size_t full = data.size() / 64;
  compress_blocks(state, bytes, full);

  // The last bytes, 0x80, zeros and the length in bits, big-endian.
  unsigned char tail[128] = {};
  std::size_t rest = data.size() - full * 64;
  if (rest > 0) std::memcpy(tail, bytes + full * 64, rest);
  tail[rest] = 0x80;
  std::size_t tail_size = rest < 56 ? 64 : 128;
  std::uint64_t bits = static_cast<std::uint64_t>(data.size()) * 8;
  for (int i = 0; i < 8; ++i) tail[tail_size - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
  compress_blocks(state, tail, tail_size / 64);

  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(64, '0');
  for (int i = 0; i < 8; ++i)
    for (int k = 0; k < 8; ++k) out[8 * i + k] = kHex[(state[i] >> (28 - 4 * k)) & 0xF];
  return out;
}

const bool kHasSha = cpu_has_sha();

}  // namespace

bool sha256_accelerated() { return kHasSha; }

std::string sha256_hex_accelerated(std::string_view data) {
  return kHasSha ? digest_hex(data) : sha256_hex(data);
}

#else

bool sha256_accelerated() { return false; }

std::string sha256_hex_accelerated(std::string_view data) { return sha256_hex(data); }

#endif

}  // namespace tessarin::schemasift
