// A block of typed arrays ("sections") that a program reads in place,
// without parsing or copying: compiled data is written once by a build step
// and mapped at start-up.
//
// Layout, all integers in native byte order:
//   bytes 0-7    magic "VTRLIMG\0"
//   bytes 8-11   format tag chosen by the writer (u32), checked by the reader
//   bytes 12-15  section count (u32)
//   then per section: offset from the image start (u64), size in bytes (u64)
//   then the sections, each starting at a multiple of 64 bytes, zero padding
//   between them.
// Sections carry no type: writer and reader agree on their order and element
// types through the format tag. The image is written and read by the same
// build (same byte order and type sizes); it is not a file format to move
// between machines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace vantrel_core {

// Alignment of every section within the image. An image placed at a
// multiple of it can be read as any array of these types.
inline constexpr std::size_t kFlatImageAlign = 64;

// Collects sections and lays them out.
class FlatImageWriter {
 public:
  explicit FlatImageWriter(std::uint32_t format) : format_(format) {}

  // Appends a section holding a copy of `items`.
  template <class T>
  void add(std::span<const T> items) {
    static_assert(std::is_trivially_copyable_v<T>);
    add_bytes(items.data(), items.size_bytes());
  }
  template <class T>
  void add(const std::vector<T>& items) {
    add(std::span<const T>(items));
  }
  void add_string(std::string_view s) { add_bytes(s.data(), s.size()); }

  // The finished image.
  std::string finish() const;

 private:
  void add_bytes(const void* data, std::size_t size);

  std::uint32_t format_;
  std::string body_;                  // the sections, offsets relative to its start
  std::vector<std::uint64_t> table_;  // offset and size per section
};

// Hands out the sections of an image in order. A reader that meets a
// malformed header or section fails: ok() turns false and every later
// section is empty. Element values are not checked; the image is trusted
// build output.
class FlatImageReader {
 public:
  // `image` must stay alive as long as the spans handed out.
  FlatImageReader(std::span<const std::byte> image, std::uint32_t format);

  // The next section as an array of T; fails when none is left or the
  // section's size or address does not fit T.
  template <class T>
  std::span<const T> next() {
    static_assert(std::is_trivially_copyable_v<T>);
    const std::span<const std::byte> raw = next_bytes(alignof(T), sizeof(T));
    // The bytes were written from T values by the same build.
    return {reinterpret_cast<const T*>(raw.data()), raw.size() / sizeof(T)};
  }
  std::string_view next_string() {
    const auto s = next<char>();
    return {s.data(), s.size()};
  }

  bool ok() const { return ok_; }
  // True when every section has been handed out.
  bool at_end() const { return next_ == count_; }
  // Marks the image as malformed (a caller's own consistency check failed).
  void fail() { ok_ = false; }

 private:
  std::span<const std::byte> next_bytes(std::size_t align, std::size_t element_size);

  std::span<const std::byte> image_;
  std::uint32_t count_ = 0;
  std::uint32_t next_ = 0;
  bool ok_ = false;
};

}  // namespace vantrel_core
