// Hex and base64 payload detection, decoding, and the recursive unwrapping the
// normalization skill appends to its text.
#include "encoding.h"

#include <array>
#include <bit>
#include <cstdint>

#include "byte_blocks.h"
#include "normalize.h"

namespace vantrel_core {

namespace {

// Base64 value of each byte, or -1 outside the standard alphabet.
constexpr std::array<std::int8_t, 256> make_base64_values() {
  std::array<std::int8_t, 256> v{};
  for (auto& x : v) x = -1;
  for (int i = 0; i < 26; ++i) {
    v['A' + i] = static_cast<std::int8_t>(i);
    v['a' + i] = static_cast<std::int8_t>(26 + i);
  }
  for (int i = 0; i < 10; ++i) v['0' + i] = static_cast<std::int8_t>(52 + i);
  v['+'] = 62;
  v['/'] = 63;
  return v;
}
constexpr std::array<std::int8_t, 256> kBase64Values = make_base64_values();

// Hex digit value of each byte, or -1.
constexpr std::array<std::int8_t, 256> make_hex_values() {
  std::array<std::int8_t, 256> v{};
  for (auto& x : v) x = -1;
  for (int i = 0; i < 10; ++i) v['0' + i] = static_cast<std::int8_t>(i);
  for (int i = 0; i < 6; ++i) {
    v['a' + i] = static_cast<std::int8_t>(10 + i);
    v['A' + i] = static_cast<std::int8_t>(10 + i);
  }
  return v;
}
constexpr std::array<std::int8_t, 256> kHexValues = make_hex_values();

inline bool is_base64_char(char c) {
  return kBase64Values[static_cast<unsigned char>(c)] >= 0;
}
inline bool is_hex_digit(char c) {
  return kHexValues[static_cast<unsigned char>(c)] >= 0;
}

inline bool is_readable_byte(unsigned char b) {
  return (b >= 0x21 && b <= 0x7E) || b == ' ' || b == '\t' || b == '\n' || b == '\f' || b == '\r';
}

// Per-byte masks for the run-length counters: all ones inside the alphabet,
// zero outside.
constexpr auto make_mask(const std::array<std::int8_t, 256>& values) {
  std::array<std::size_t, 256> m{};
  for (std::size_t i = 0; i < 256; ++i) m[i] = values[i] >= 0 ? ~std::size_t{0} : 0;
  return m;
}
constexpr std::array<std::size_t, 256> kBase64Mask = make_mask(kBase64Values);
constexpr std::array<std::size_t, 256> kHexMask = make_mask(kHexValues);

// A base64 run is a maximal sequence of alphabet characters plus the "="
// that follow it (at most two): the scanner consumes every such sequence
// whole, and "=" is outside the alphabet, so taking padding into a run never
// changes where the next one starts. Needs 12 characters, hence at least 10
// from the alphabet.
constexpr std::size_t kBase64Trigger = Base64Scanner::kMinLength - 2;

// Records the base64 run whose alphabet part starts at p.
void record_base64(std::string_view text, std::size_t p, std::vector<ByteRun>& runs) {
  const std::size_t n = text.size();
  std::size_t e = p;
  while (e < n && is_base64_char(text[e])) ++e;
  if (e < n && text[e] == '=') {
    ++e;
    if (e < n && text[e] == '=') ++e;
  }
  if (e - p >= Base64Scanner::kMinLength) runs.push_back({p, e});
}

// A hex run is a maximal sequence of at least 16 hex digits, which starts at
// the "0" of a preceding "0x" when the scanner took that "0x" as a prefix.
// The scanner takes "0x" as a prefix only where its "0" starts a fresh scan;
// a prefix whose digits are just the "0" of a further "0x" consumes that
// "0". Along a chain "0x0x...0x" of lone zeros the prefixes thus alternate,
// starting with the first: the digits get a prefix exactly when the chain
// right before them has odd length.
void record_hex(std::string_view text, std::size_t p, std::vector<ByteRun>& runs) {
  const std::size_t n = text.size();
  std::size_t e = p;
  while (e < n && is_hex_digit(text[e])) ++e;
  std::size_t chain = 0;
  for (std::size_t t = p;
       t >= 2 && text[t - 1] == 'x' && text[t - 2] == '0' && (t == 2 || !is_hex_digit(text[t - 3]));
       t -= 2) {
    ++chain;
  }
  runs.push_back({chain % 2 == 1 ? p - 2 : p, e});
}

#ifdef VANTREL_SIXTEEN_BYTES
// Bit k set where byte k of p[0, 64) is in the base64 alphabet, or is a hex
// digit. Setting bit 0x20 folds ASCII capitals onto small letters and moves
// no other byte into a-z.
struct AlphabetBits {
  std::uint64_t base64 = 0;
  std::uint64_t hex = 0;
};
inline AlphabetBits alphabet_bits(const char* p) {
  AlphabetBits bits;
  for (int k = 0; k < 4; ++k) {
    const __m128i w = load16(p + 16 * k);
    const __m128i folded = _mm_or_si128(w, _mm_set1_epi8(0x20));
    const __m128i digits = range16(w, '0', '9');
    const __m128i b64 = _mm_or_si128(_mm_or_si128(range16(folded, 'a', 'z'), digits),
                                     _mm_or_si128(eq16(w, '+'), eq16(w, '/')));
    const __m128i hex = _mm_or_si128(digits, range16(folded, 'a', 'f'));
    bits.base64 |= static_cast<std::uint64_t>(bits16(b64)) << (16 * k);
    bits.hex |= static_cast<std::uint64_t>(bits16(hex)) << (16 * k);
  }
  return bits;
}

// Bit k of the result is set where a run of set bits reaches exactly
// `length` (at most 32) at bit k of `now`, the run counted back into `before`,
// the previous block's bits.
template <unsigned kLength>
inline std::uint64_t run_reaches(std::uint64_t before, std::uint64_t now) {
  static_assert(kLength >= 2 && kLength <= 32);
  // Two-word values: bit k of `hi` is bit k of the block, `lo` the block before.
  struct Pair {
    std::uint64_t lo, hi;
  };
  const auto shl = [](Pair x, unsigned k) {
    return Pair{x.lo << k, x.hi << k | x.lo >> (64 - k)};
  };
  const auto both = [](Pair a, Pair b) { return Pair{a.lo & b.lo, a.hi & b.hi}; };
  // all_set(n): bit k set where bits k-n+1 to k are all set.
  Pair all_set = {before, now};
  unsigned n = 1;
  while (2 * n <= kLength - 1) {
    all_set = both(all_set, shl(all_set, n));
    n *= 2;
  }
  // Windows overlap: n set bits ending at k and n ending at k - m (m <= n)
  // make n + m ending at k.
  if (n < kLength - 1) all_set = both(all_set, shl(all_set, kLength - 1 - n));
  const Pair bits = {before, now};
  const Pair reached = both(all_set, shl(bits, kLength - 1));
  const Pair beyond = both(reached, shl(bits, kLength));
  return reached.hi & ~beyond.hi;
}
#endif

// One pass for both scanners: a run-length counter per alphabet finds every
// sequence long enough to matter without a data-dependent branch per byte.
// Once a sequence is recorded its counter keeps growing past the trigger, so
// it fires once per sequence. With SSE2 the counters are bit masks of 64
// bytes, and the positions where a run reaches the trigger come from them.
template <bool kBase64Runs, bool kHexRuns>
void scan_runs(std::string_view text, std::vector<ByteRun>* base64, std::vector<ByteRun>* hex) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t base64_len = 0;
  std::size_t hex_len = 0;
  std::size_t i = 0;
#ifdef VANTREL_SIXTEEN_BYTES
  AlphabetBits before;
  for (; i + 64 <= text.size(); i += 64) {
    const AlphabetBits now = alphabet_bits(text.data() + i);
    if constexpr (kBase64Runs) {
      for (std::uint64_t b = run_reaches<kBase64Trigger>(before.base64, now.base64); b != 0;
           b &= b - 1) {
        record_base64(text, i + std::countr_zero(b) + 1 - kBase64Trigger, *base64);
      }
      base64_len = ~now.base64 == 0 ? base64_len + 64 : std::countl_one(now.base64);
    }
    if constexpr (kHexRuns) {
      for (std::uint64_t b = run_reaches<HexScanner::kMinDigits>(before.hex, now.hex); b != 0;
           b &= b - 1) {
        record_hex(text, i + std::countr_zero(b) + 1 - HexScanner::kMinDigits, *hex);
      }
      hex_len = ~now.hex == 0 ? hex_len + 64 : std::countl_one(now.hex);
    }
    before = now;
  }
#endif
  for (; i < text.size(); ++i) {
    const unsigned char c = bytes[i];
    if constexpr (kBase64Runs) base64_len = (base64_len + 1) & kBase64Mask[c];
    if constexpr (kHexRuns) hex_len = (hex_len + 1) & kHexMask[c];
    if ((kBase64Runs && base64_len == kBase64Trigger) ||
        (kHexRuns && hex_len == HexScanner::kMinDigits)) [[unlikely]] {
      if (kBase64Runs && base64_len == kBase64Trigger) {
        record_base64(text, i + 1 - kBase64Trigger, *base64);
      }
      if (kHexRuns && hex_len == HexScanner::kMinDigits) {
        record_hex(text, i + 1 - HexScanner::kMinDigits, *hex);
      }
    }
  }
}

// Deepest level that is still decoded: the text itself (0) and one level of
// decoded text inside it (1).
constexpr unsigned kMaxDecodeDepth = 1;
// Bytes of decoded text quoted in a signal description before "...".
constexpr std::size_t kPreviewBytes = 50;

struct Encoding {
  std::optional<std::string> (*decode)(std::string_view);
  const char* signal_type;
  const char* description_prefix;
  double likelihood_ratio;
};

constexpr Encoding kBase64{&decode_base64_readable, "base64_detected", "Decoded base64: ", 25.0};
constexpr Encoding kHex{&decode_hex_readable, "hex_detected", "Decoded hex: ", 20.0};

// Decodes the runs of one encoding found in `text`; each decoded payload's
// signal is followed by the signals of what it contains, while its text
// follows the texts of what it contains.
void decode_runs(const Encoding& enc, std::string_view text, const std::vector<ByteRun>& runs,
                 unsigned depth, DecodeResult& out) {
  for (const ByteRun& run : runs) {
    std::optional<std::string> decoded = enc.decode(text.substr(run.start, run.end - run.start));
    if (!decoded) continue;
    std::string desc = enc.description_prefix;
    if (decoded->size() <= kPreviewBytes) {
      desc += *decoded;
    } else {
      // Readable payloads are pure ASCII, so the cut never splits a character.
      desc.append(*decoded, 0, kPreviewBytes);
      desc += "...";
    }
    Signal sig("normalize", enc.signal_type, std::move(desc), enc.likelihood_ratio);
    sig.offset = run.start;
    out.signals.push_back(std::move(sig));
    DecodeResult nested = NormalizationSkill::decode_recursive(*decoded, depth + 1);
    for (Signal& s : nested.signals) out.signals.push_back(std::move(s));
    for (std::string& t : nested.decoded) out.decoded.push_back(std::move(t));
    out.decoded.push_back(std::move(*decoded));
  }
}

}  // namespace

std::vector<ByteRun> HexScanner::find_all(std::string_view text) {
  std::vector<ByteRun> runs;
  scan_runs<false, true>(text, nullptr, &runs);
  return runs;
}

std::vector<ByteRun> Base64Scanner::find_all(std::string_view text) {
  std::vector<ByteRun> runs;
  scan_runs<true, false>(text, &runs, nullptr);
  return runs;
}

bool is_readable_payload(std::string_view bytes) {
  if (bytes.empty()) return false;
  for (unsigned char b : bytes) {
    if (!is_readable_byte(b)) return false;
  }
  return true;
}

std::optional<std::string> decode_base64_readable(std::string_view run) {
  while (!run.empty() && run.back() == '=') run.remove_suffix(1);
  std::string out;
  out.reserve(run.size() / 4 * 3 + 2);
  // Bits carried between characters. Every complete group of four ends with no
  // carry, so this streaming form gives exactly the per-group byte counts
  // (4 -> 3, 3 -> 2, 2 -> 1, 1 -> 0) with leftover bits ignored.
  std::uint32_t acc = 0;
  int bits = 0;
  for (char c : run) {
    const auto v = kBase64Values[static_cast<unsigned char>(c)];
    if (v < 0) return std::nullopt;  // not a base64 run; callers pass scanner runs
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      const auto byte = static_cast<unsigned char>((acc >> bits) & 0xFF);
      if (!is_readable_byte(byte)) return std::nullopt;
      out += static_cast<char>(byte);
      acc &= (1u << bits) - 1;
    }
  }
  if (out.empty()) return std::nullopt;
  return out;
}

std::optional<std::string> decode_hex_readable(std::string_view run) {
  if (run.size() >= 2 && run[0] == '0' && run[1] == 'x') run.remove_prefix(2);
  if (run.empty() || run.size() % 2 != 0) return std::nullopt;
  std::string out;
  out.reserve(run.size() / 2);
  for (std::size_t i = 0; i < run.size(); i += 2) {
    const auto hi = kHexValues[static_cast<unsigned char>(run[i])];
    const auto lo = kHexValues[static_cast<unsigned char>(run[i + 1])];
    if (hi < 0 || lo < 0) return std::nullopt;  // not a hex run
    const auto byte = static_cast<unsigned char>((hi << 4) | lo);
    if (!is_readable_byte(byte)) return std::nullopt;
    out += static_cast<char>(byte);
  }
  return out;
}

// Lives with the scanners it drives; declared on the skill, its only caller.
DecodeResult NormalizationSkill::decode_recursive(std::string_view text, unsigned depth) {
  DecodeResult result;
  if (depth > kMaxDecodeDepth) return result;
  std::vector<ByteRun> base64_runs;
  std::vector<ByteRun> hex_runs;
  scan_runs<true, true>(text, &base64_runs, &hex_runs);
  decode_runs(kBase64, text, base64_runs, depth, result);
  decode_runs(kHex, text, hex_runs, depth, result);
  return result;
}

}  // namespace vantrel_core
