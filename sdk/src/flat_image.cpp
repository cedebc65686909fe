#include "flat_image.h"

#include <cstring>

namespace vantrel_core {

namespace {

constexpr char kMagic[8] = {'V', 'T', 'R', 'L', 'I', 'M', 'G', '\0'};
constexpr std::size_t kFixedHeader = 16;  // magic, format tag, section count

std::size_t round_up(std::size_t n) {
  return (n + kFlatImageAlign - 1) / kFlatImageAlign * kFlatImageAlign;
}

template <class T>
void put(std::string& out, std::size_t at, T value) {
  std::memcpy(out.data() + at, &value, sizeof value);
}

template <class T>
T get(std::span<const std::byte> in, std::size_t at) {
  T value;
  std::memcpy(&value, in.data() + at, sizeof value);
  return value;
}

}  // namespace

void FlatImageWriter::add_bytes(const void* data, std::size_t size) {
  body_.resize(round_up(body_.size()), '\0');
  table_.push_back(body_.size());
  table_.push_back(size);
  if (size != 0) body_.append(static_cast<const char*>(data), size);
}

std::string FlatImageWriter::finish() const {
  const std::size_t count = table_.size() / 2;
  const std::size_t header = round_up(kFixedHeader + table_.size() * sizeof(std::uint64_t));
  std::string out(header, '\0');
  std::memcpy(out.data(), kMagic, sizeof kMagic);
  put(out, 8, format_);
  put(out, 12, static_cast<std::uint32_t>(count));
  for (std::size_t i = 0; i < count; ++i) {
    put(out, kFixedHeader + 16 * i, static_cast<std::uint64_t>(header + table_[2 * i]));
    put(out, kFixedHeader + 16 * i + 8, table_[2 * i + 1]);
  }
  out += body_;
  return out;
}

FlatImageReader::FlatImageReader(std::span<const std::byte> image, std::uint32_t format)
    : image_(image) {
  if (image.size() < kFixedHeader || std::memcmp(image.data(), kMagic, sizeof kMagic) != 0 ||
      get<std::uint32_t>(image, 8) != format) {
    return;
  }
  const auto count = get<std::uint32_t>(image, 12);
  if ((image.size() - kFixedHeader) / 16 < count) return;
  count_ = count;
  ok_ = true;
}

std::span<const std::byte> FlatImageReader::next_bytes(std::size_t align,
                                                       std::size_t element_size) {
  if (!ok_ || next_ == count_) {
    ok_ = false;
    return {};
  }
  const std::size_t entry = kFixedHeader + 16 * static_cast<std::size_t>(next_++);
  const auto offset = get<std::uint64_t>(image_, entry);
  const auto size = get<std::uint64_t>(image_, entry + 8);
  if (offset > image_.size() || size > image_.size() - offset || size % element_size != 0) {
    ok_ = false;
    return {};
  }
  const auto raw = image_.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(size));
  if (reinterpret_cast<std::uintptr_t>(raw.data()) % align != 0) {
    ok_ = false;
    return {};
  }
  return raw;
}

}  // namespace vantrel_core
