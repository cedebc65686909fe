// Standard input and output for the commands: whole reads, line reads with
// UTF-8 checks, and writes that report failure instead of raising SIGPIPE.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

// Writes every byte to standard output; false when the write fails.
bool write_stdout(std::string_view bytes);
// Writes every byte to standard error, ignoring failures.
void write_stderr(std::string_view bytes);

bool stdin_is_terminal();

// Everything until end of input; nullopt on a read error or invalid UTF-8.
std::optional<std::string> read_all_stdin();

// Reads standard input one line at a time. A line ends at a line feed (a
// carriage return right before it is dropped); a last line without one still
// counts. Each line must be valid UTF-8.
class LineReader {
 public:
  enum class Status { Line, End, Error };

  // Status::Line with the line in `line` (valid until the next call),
  // Status::End at end of input, or Status::Error with `error` set.
  Status next(std::string_view& line);
  const std::string& error() const { return error_; }

 private:
  bool fill();

  std::string buf_;
  std::size_t pos_ = 0;  // start of unconsumed bytes in buf_
  bool eof_ = false;
  std::string error_;
};

}  // namespace vantrel
