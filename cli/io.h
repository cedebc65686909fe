// Standard input and output for the commands: bounded reads, line reads with
// UTF-8 checks, and writes that report failure instead of raising SIGPIPE.
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

// Writes every byte to standard output; false when the write fails.
bool write_stdout(std::string_view bytes);
// Writes every byte to standard error, ignoring failures.
void write_stderr(std::string_view bytes);

bool stdin_is_terminal();

// The file's bytes until its end, or its first limit + 1 bytes when it is
// longer: reading stops there, since that is enough to know the text is over
// the limit. nullopt on a read error or invalid UTF-8 (a character cut by the
// stop is not an error).
std::optional<std::string> read_up_to(int fd, std::size_t limit);

// One line (as typed at a terminal) without its trailing White_Space, read
// to its end. At most limit + 4 bytes are held: past them only whether a
// character other than White_Space follows is kept, and then the text
// returned is longer than `limit` (its content no longer matters). nullopt on
// a read error or invalid UTF-8.
std::optional<std::string> read_terminal_line(int fd, std::size_t limit);

// Reads a file (standard input) one line at a time. A line ends at a line feed (a
// carriage return right before it is dropped) and, when asked for, at a lone
// carriage return; a last line without an ending still counts. Lines longer
// than the piece limit are handed out in pieces cut at character boundaries,
// so no more than the limit plus one read is ever held. Every piece must be
// valid UTF-8. A caller that refuses long lines can answer the first piece
// and skip the rest of the line piece by piece, never holding it whole.
class LineReader {
 public:
  static constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max();

  // Status::Line: `piece` is a whole line, or the last piece of a long one.
  // Status::Piece: the line goes on in the next pieces.
  enum class Status { Line, Piece, End, Error };
  // How the line just handed out ended.
  enum class Ending { LineFeed, CarriageReturn, EndOfInput };

  // Whole lines of standard input, each ending at a line feed.
  LineReader() : LineReader(0, kUnlimited, false) {}
  // `max_piece` is at least 4, so that a piece always holds a character.
  LineReader(int fd, std::size_t max_piece, bool lone_cr_ends_line);

  // The next piece in `piece` (valid until the next call), Status::End at end
  // of input, or Status::Error with error() set. An error for a piece that is
  // not valid UTF-8 (invalid_utf8()) leaves the reader past that piece, so a
  // caller may carry on; a read error is final.
  Status next(std::string_view& piece);
  // For Status::Line: what ended it.
  Ending ending() const { return ending_; }
  const std::string& error() const { return error_; }
  bool invalid_utf8() const { return invalid_utf8_; }
  // Whether the last piece handed out (or refused as invalid) ended its line.
  bool line_finished() const { return line_finished_; }

 private:
  bool fill();
  Status hand_out(Status status, std::size_t end, std::size_t consumed, std::string_view& piece);

  int fd_;
  std::string buf_;
  std::size_t pos_ = 0;       // start of unconsumed bytes in buf_
  std::size_t searched_ = 0;  // bytes from pos_ known to hold no line ending
  std::size_t max_piece_;
  bool lone_cr_ends_line_;
  bool eof_ = false;
  Ending ending_ = Ending::EndOfInput;
  bool invalid_utf8_ = false;
  bool line_finished_ = true;
  std::string error_;
};

}  // namespace vantrel
