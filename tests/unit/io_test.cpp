// Bounded reads of the command line's input: pieces of long lines, lone
// carriage returns, the size-limit stop and the terminal line's trimming.
#include "io.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

namespace vantrel {
namespace {

// A pipe whose write end the test feeds step by step.
class Pipe {
 public:
  Pipe() {
    int fds[2];
    if (::pipe(fds) == 0) {
      read_ = fds[0];
      write_ = fds[1];
    }
  }
  ~Pipe() {
    if (read_ >= 0) ::close(read_);
    close_write();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  int read_end() const { return read_; }
  void write(const std::string& bytes) {
    ASSERT_EQ(::write(write_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void close_write() {
    if (write_ >= 0) ::close(write_);
    write_ = -1;
  }

 private:
  int read_ = -1;
  int write_ = -1;
};

using Status = LineReader::Status;
using Ending = LineReader::Ending;

// Every piece until the end, as "L:" (line) or "P:" (piece) plus its bytes,
// and for lines the ending: "\n", "\r" or "$" (end of input).
std::vector<std::string> pieces(const std::string& input, std::size_t max_piece, bool lone_cr) {
  Pipe p;
  p.write(input);
  p.close_write();
  LineReader reader(p.read_end(), max_piece, lone_cr);
  std::vector<std::string> out;
  std::string_view piece;
  for (Status s; (s = reader.next(piece)) != Status::End;) {
    if (s == Status::Error) {
      out.push_back("error: " + reader.error());
      break;
    }
    std::string item = (s == Status::Line ? "L:" : "P:") + std::string(piece);
    if (s == Status::Line) {
      item += reader.ending() == Ending::LineFeed         ? "\\n"
              : reader.ending() == Ending::CarriageReturn ? "\\r"
                                                          : "$";
    }
    out.push_back(std::move(item));
  }
  return out;
}

using Items = std::vector<std::string>;

TEST(LineReader, WholeLinesEndAtLineFeedsOnly) {
  EXPECT_EQ(pieces("a\r\nb\rc\n\nlast", LineReader::kUnlimited, false),
            (Items{"L:a\\n", "L:b\rc\\n", "L:\\n", "L:last$"}));
  EXPECT_EQ(pieces("", LineReader::kUnlimited, false), Items{});
  EXPECT_EQ(pieces("x\r", LineReader::kUnlimited, false), Items{"L:x\r$"});
}

TEST(LineReader, LoneCarriageReturnsEndLinesWhenAsked) {
  // The last carriage return is seen before the end of input is: the text
  // before it comes out first.
  EXPECT_EQ(pieces("a\r\nb\rc\n\r\rd\r", LineReader::kUnlimited, true),
            (Items{"L:a\\n", "L:b\\r", "L:c\\n", "L:\\r", "L:\\r", "P:d", "L:\\r"}));
}

TEST(LineReader, LongLinesComeInPiecesCutAtCharacterBoundaries) {
  // Eight-byte pieces; the euro sign (three bytes) is never cut.
  EXPECT_EQ(pieces("abcdefg\xE2\x82\xACxyz\nshort\n", 8, false),
            (Items{"P:abcdefg", "L:\xE2\x82\xACxyz\\n", "L:short\\n"}));
  // A line of exactly the limit is whole; one byte more is cut.
  EXPECT_EQ(pieces("12345678\n123456789\n", 8, false),
            (Items{"L:12345678\\n", "P:12345678", "L:9\\n"}));
  // The carriage return of a line feed does not count.
  EXPECT_EQ(pieces("12345678\r\n", 8, false), (Items{"L:12345678\\n"}));
}

TEST(LineReader, InvalidUtf8IsAnErrorWhereverAPieceIsCut) {
  EXPECT_EQ(pieces("ok\nbad \xff\n", LineReader::kUnlimited, false),
            (Items{"L:ok\\n", "error: stream did not contain valid UTF-8"}));
  // A truncated character before the line end, and one cut across pieces.
  EXPECT_EQ(pieces("abc\xE2\x82\n", LineReader::kUnlimited, true),
            (Items{"error: stream did not contain valid UTF-8"}));
  EXPECT_EQ(pieces("abcdefg\xE2\x82x\n", 8, true),
            (Items{"P:abcdefg", "error: stream did not contain valid UTF-8"}));
}

// A caller that refuses bad lines reads on past them: the reader has moved
// beyond the bad piece and says whether that piece ended its line.
TEST(LineReader, ReadingGoesOnAfterAnInvalidPiece) {
  Pipe p;
  p.write("abcdefg\xffxyz\n\xc3\nok");
  p.close_write();
  LineReader reader(p.read_end(), 8, false);
  std::string_view piece;
  std::vector<std::string> seen;
  for (Status s; (s = reader.next(piece)) != Status::End;) {
    if (s == Status::Error) {
      ASSERT_TRUE(reader.invalid_utf8()) << reader.error();
      seen.push_back(reader.line_finished() ? "bad line end" : "bad piece");
    } else {
      seen.push_back(std::string(s == Status::Line ? "L:" : "P:") + std::string(piece));
    }
  }
  EXPECT_EQ(seen, (Items{"bad piece", "L:xyz", "bad line end", "L:ok"}));
}

TEST(LineReader, TextBeforeACarriageReturnIsHandedOutWithoutWaiting) {
  Pipe p;
  LineReader reader(p.read_end(), LineReader::kUnlimited, true);
  std::string_view piece;
  p.write("threat ahead.\r");
  // Whether a line feed follows is not known yet, and the producer is quiet:
  // the text must come out now (a blocking read would hang this test).
  ASSERT_EQ(reader.next(piece), Status::Piece);
  EXPECT_EQ(piece, "threat ahead.");
  p.write("\nnext\r");
  ASSERT_EQ(reader.next(piece), Status::Line);
  EXPECT_EQ(piece, "");
  EXPECT_EQ(reader.ending(), Ending::LineFeed);
  ASSERT_EQ(reader.next(piece), Status::Piece);
  EXPECT_EQ(piece, "next");
  p.close_write();
  ASSERT_EQ(reader.next(piece), Status::Line);
  EXPECT_EQ(piece, "");
  EXPECT_EQ(reader.ending(), Ending::CarriageReturn);
  EXPECT_EQ(reader.next(piece), Status::End);
}

TEST(BoundedRead, StopsOneBytePastTheLimitWithoutWaitingForTheEnd) {
  Pipe p;
  p.write("0123456789abcdef");  // the write end stays open
  const auto read = read_up_to(p.read_end(), 10);
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, "0123456789a");
  Pipe short_input;
  short_input.write("0123456789\n");
  short_input.close_write();
  EXPECT_EQ(read_up_to(short_input.read_end(), 11), "0123456789\n");
}

TEST(BoundedRead, OnlyTheBytesReadAreChecked) {
  const auto read_all = [](const std::string& bytes, std::size_t limit) {
    Pipe p;
    p.write(bytes);
    p.close_write();
    return read_up_to(p.read_end(), limit);
  };
  // The stop cuts a character: not an error, the text is over the limit.
  EXPECT_EQ(read_all("abcd\xE2\x82\xAC", 4), "abcd\xE2");
  EXPECT_FALSE(
      read_all("ab\xFF"
               "cdef",
               4));
  EXPECT_EQ(read_all("abcdef\xFF", 4), "abcde");  // past the stop: never seen
  EXPECT_FALSE(read_all("abc\xE2\x82", 10));      // cut by the end of input
}

TEST(TerminalLine, TrailingWhiteSpaceIsTrimmedHoweverLong) {
  const auto line = [](const std::string& bytes, std::size_t limit) {
    Pipe p;
    p.write(bytes);
    p.close_write();
    return read_terminal_line(p.read_end(), limit);
  };
  EXPECT_EQ(line("hello \t\nignored", 100), "hello");
  // Far more White_Space than the limit after short text: still exact.
  EXPECT_EQ(line("hello" + std::string(5000, ' ') + "\xE3\x80\x80\n", 10), "hello");
  // Text that goes on past the limit comes back longer than the limit.
  const auto over = line("hello" + std::string(5000, ' ') + "x\n", 10);
  ASSERT_TRUE(over);
  EXPECT_GT(over->size(), 10u);
  EXPECT_LE(over->size(), 14u);
  // A character cut at the held bytes is judged whole.
  EXPECT_EQ(line("0123456789\xE3\x80\x80\xE3\x80\x80\n", 10), "0123456789");
  EXPECT_FALSE(line("0123456789" + std::string(100, ' ') + "\xFF\n", 10));
  EXPECT_FALSE(line("0123456789" + std::string(100, ' ') + "\xE3\x80", 10));
}

}  // namespace
}  // namespace vantrel
