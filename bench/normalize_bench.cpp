#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "bench_data.h"
#include "vantrel/json.h"
#include "skills/normalize.h"
#include "engine.h"

namespace {

constexpr std::size_t kMiB = 1 << 20;

std::string base64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = (static_cast<unsigned char>(bytes[i]) << 16) |
                            (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                            static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (const std::size_t rest = bytes.size() - i; rest > 0) {
    std::uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// Prose with Cyrillic look-alikes and leetspeak digits sprinkled through it.
std::string obfuscated_prose(std::size_t bytes) {
  const std::string plain = vantrel_bench::english_prose(bytes);
  std::string out;
  out.reserve(bytes + bytes / 8);
  std::size_t n = 0;
  for (char c : plain) {
    ++n;
    if (c == 'a' && n % 7 == 0) {
      out += "\u0430";
    } else if (c == 'o' && n % 5 == 0) {
      out += "\u043E";
    } else if (c == 'e' && n % 3 == 0) {
      out += '3';
    } else if (c == 's' && n % 4 == 0) {
      out += '5';
    } else {
      out += c;
    }
  }
  return out;
}

// Prose in which every other sentence-sized chunk is base64 of readable text,
// so every run decodes and is appended.
std::string base64_heavy(std::size_t bytes) {
  const std::string prose = vantrel_bench::english_prose(bytes);
  std::string out;
  out.reserve(bytes + 64);
  std::size_t pos = 0;
  while (out.size() < bytes && pos + 120 <= prose.size()) {
    out.append(prose, pos, 60);
    out += ' ';
    out += base64(std::string_view(prose).substr(pos + 60, 60));
    out += ' ';
    pos += 120;
  }
  out.resize(bytes);
  return out;
}

void run_normalizer(benchmark::State& state, const std::string& text) {
  const vantrel_core::NormalizationSkill skill(0.05);
  for (auto _ : state) benchmark::DoNotOptimize(skill.scan(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
}

void BM_NormalizePlainProse(benchmark::State& state) {
  run_normalizer(state, vantrel_bench::english_prose(static_cast<std::size_t>(state.range(0))));
}
BENCHMARK(BM_NormalizePlainProse)->Arg(1024)->Arg(kMiB);

void BM_NormalizeObfuscatedProse(benchmark::State& state) {
  run_normalizer(state, obfuscated_prose(static_cast<std::size_t>(state.range(0))));
}
BENCHMARK(BM_NormalizeObfuscatedProse)->Arg(1024)->Arg(kMiB);

void BM_NormalizeBase64Heavy(benchmark::State& state) {
  run_normalizer(state, base64_heavy(kMiB));
}
BENCHMARK(BM_NormalizeBase64Heavy);

// One-shot `scan --json` cost for a 1 KB prompt, in process: the scan and the
// JSON report line.
void BM_ScanJson1KB(benchmark::State& state) {
  const auto scanner = vantrel_core::Scanner::with_config(vantrel_core::GateConfig());
  const std::string text = vantrel_bench::english_prose(1024);
  for (auto _ : state) {
    const vantrel_core::ScanResult r = scanner.scan(text);
    benchmark::DoNotOptimize(vantrel_core::format_result_json(r));
  }
}
BENCHMARK(BM_ScanJson1KB)->Unit(benchmark::kMicrosecond);

std::string repeat(std::string_view unit, std::size_t bytes) {
  std::string s;
  s.reserve(bytes);
  while (s.size() + unit.size() <= bytes) s += unit;
  return s;
}

// Whole scans of hostile 1 MiB inputs; each must stay well under 50 ms.
void BM_ScanHostileMebibyte(benchmark::State& state) {
  std::string text;
  switch (state.range(0)) {
    case 0:
      text = repeat("\u200B", kMiB);
      state.SetLabel("zero-width spaces");
      break;
    case 1:
      text = std::string(kMiB, '=');
      state.SetLabel("'=' padding");
      break;
    case 2:
      text = repeat("0123456789abcdef", kMiB);
      state.SetLabel("hex digits");
      break;
    case 3:
      text = repeat("41", kMiB);
      state.SetLabel("hex of 'A' (decodes)");
      break;
    case 4:
      text = "a";
      text += repeat("\u0301\u0316", kMiB - 1);
      state.SetLabel("combining marks");
      break;
    case 5:
      text = repeat("a ", kMiB);
      state.SetLabel("spaced letters");
      break;
    case 6:
      text = repeat("a1", kMiB);
      state.SetLabel("leetspeak");
      break;
    case 7:
      text = base64_heavy(kMiB);
      state.SetLabel("base64 runs");
      break;
    default:
      // Two-byte look-alikes grow the text; keep it under the size limit.
      text = obfuscated_prose(kMiB - 64 * 1024);
      state.SetLabel("homoglyph prose");
      break;
  }
  const auto scanner = vantrel_core::Scanner::with_config(vantrel_core::GateConfig());
  for (auto _ : state) {
    const vantrel_core::ScanResult r = scanner.scan(text);
    benchmark::DoNotOptimize(vantrel_core::format_result_json(r));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ScanHostileMebibyte)->DenseRange(0, 8)->Unit(benchmark::kMillisecond);

}  // namespace
