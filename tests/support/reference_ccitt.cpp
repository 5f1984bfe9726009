// CCITT rows decoded from the codes of ITU-T T.4 (tables 2, 3 and 4) and
// T.6; see the header.  A line is held as its changing elements: the
// columns where the colour changes, white first.
#include "reference_ccitt.h"

#include <map>
#include <stdexcept>
#include <string>
#include <utility>

namespace testing_support {
namespace {

[[noreturn]] void Fail(const std::string& why) { throw std::runtime_error("CCITT: " + why); }

// A code as written in the recommendation, and its run length.
struct Code {
  const char* bits;
  int run;
};

// T.4 table 2: white terminating codes 0 to 63, then the make-up codes.
const Code WhiteCodes[] = {
    {"00110101", 0}, {"000111", 1}, {"0111", 2}, {"1000", 3}, {"1011", 4}, {"1100", 5},
    {"1110", 6}, {"1111", 7}, {"10011", 8}, {"10100", 9}, {"00111", 10}, {"01000", 11},
    {"001000", 12}, {"000011", 13}, {"110100", 14}, {"110101", 15}, {"101010", 16},
    {"101011", 17}, {"0100111", 18}, {"0001100", 19}, {"0001000", 20}, {"0010111", 21},
    {"0000011", 22}, {"0000100", 23}, {"0101000", 24}, {"0101011", 25}, {"0010011", 26},
    {"0100100", 27}, {"0011000", 28}, {"00000010", 29}, {"00000011", 30}, {"00011010", 31},
    {"00011011", 32}, {"00010010", 33}, {"00010011", 34}, {"00010100", 35}, {"00010101", 36},
    {"00010110", 37}, {"00010111", 38}, {"00101000", 39}, {"00101001", 40}, {"00101010", 41},
    {"00101011", 42}, {"00101100", 43}, {"00101101", 44}, {"00000100", 45}, {"00000101", 46},
    {"00001010", 47}, {"00001011", 48}, {"01010010", 49}, {"01010011", 50}, {"01010100", 51},
    {"01010101", 52}, {"00100100", 53}, {"00100101", 54}, {"01011000", 55}, {"01011001", 56},
    {"01011010", 57}, {"01011011", 58}, {"01001010", 59}, {"01001011", 60}, {"00110010", 61},
    {"00110011", 62}, {"00110100", 63}, {"11011", 64}, {"10010", 128}, {"010111", 192},
    {"0110111", 256}, {"00110110", 320}, {"00110111", 384}, {"01100100", 448},
    {"01100101", 512}, {"01101000", 576}, {"01100111", 640}, {"011001100", 704},
    {"011001101", 768}, {"011010010", 832}, {"011010011", 896}, {"011010100", 960},
    {"011010101", 1024}, {"011010110", 1088}, {"011010111", 1152}, {"011011000", 1216},
    {"011011001", 1280}, {"011011010", 1344}, {"011011011", 1408}, {"010011000", 1472},
    {"010011001", 1536}, {"010011010", 1600}, {"011000", 1664}, {"010011011", 1728},
};

// T.4 table 2: black terminating codes 0 to 63, then the make-up codes.
const Code BlackCodes[] = {
    {"0000110111", 0}, {"010", 1}, {"11", 2}, {"10", 3}, {"011", 4}, {"0011", 5}, {"0010", 6},
    {"00011", 7}, {"000101", 8}, {"000100", 9}, {"0000100", 10}, {"0000101", 11},
    {"0000111", 12}, {"00000100", 13}, {"00000111", 14}, {"000011000", 15},
    {"0000010111", 16}, {"0000011000", 17}, {"0000001000", 18}, {"00001100111", 19},
    {"00001101000", 20}, {"00001101100", 21}, {"00000110111", 22}, {"00000101000", 23},
    {"00000010111", 24}, {"00000011000", 25}, {"000011001010", 26}, {"000011001011", 27},
    {"000011001100", 28}, {"000011001101", 29}, {"000001101000", 30}, {"000001101001", 31},
    {"000001101010", 32}, {"000001101011", 33}, {"000011010010", 34}, {"000011010011", 35},
    {"000011010100", 36}, {"000011010101", 37}, {"000011010110", 38}, {"000011010111", 39},
    {"000001101100", 40}, {"000001101101", 41}, {"000011011010", 42}, {"000011011011", 43},
    {"000001010100", 44}, {"000001010101", 45}, {"000001010110", 46}, {"000001010111", 47},
    {"000001100100", 48}, {"000001100101", 49}, {"000001010010", 50}, {"000001010011", 51},
    {"000000100100", 52}, {"000000110111", 53}, {"000000111000", 54}, {"000000100111", 55},
    {"000000101000", 56}, {"000001011000", 57}, {"000001011001", 58}, {"000000101011", 59},
    {"000000101100", 60}, {"000001011010", 61}, {"000001100110", 62}, {"000001100111", 63},
    {"0000001111", 64}, {"000011001000", 128}, {"000011001001", 192}, {"000001011011", 256},
    {"000000110011", 320}, {"000000110100", 384}, {"000000110101", 448},
    {"0000001101100", 512}, {"0000001101101", 576}, {"0000001001010", 640},
    {"0000001001011", 704}, {"0000001001100", 768}, {"0000001001101", 832},
    {"0000001110010", 896}, {"0000001110011", 960}, {"0000001110100", 1024},
    {"0000001110101", 1088}, {"0000001110110", 1152}, {"0000001110111", 1216},
    {"0000001010010", 1280}, {"0000001010011", 1344}, {"0000001010100", 1408},
    {"0000001010101", 1472}, {"0000001011010", 1536}, {"0000001011011", 1600},
    {"0000001100100", 1664}, {"0000001100101", 1728},
};

// T.4 table 3: the make-up codes both colours share.
const Code SharedMakeUp[] = {
    {"00000001000", 1792}, {"00000001100", 1856}, {"00000001101", 1920},
    {"000000010010", 1984}, {"000000010011", 2048}, {"000000010100", 2112},
    {"000000010101", 2176}, {"000000010110", 2240}, {"000000010111", 2304},
    {"000000011100", 2368}, {"000000011101", 2432}, {"000000011110", 2496},
    {"000000011111", 2560},
};

// The two-dimensional modes of T.4 table 4 (vertical offsets as numbers).
enum class Mode { Pass, Horizontal, Vertical };
struct ModeCode {
  const char* bits;
  Mode mode;
  int offset;
};
const ModeCode ModeCodes[] = {
    {"0001", Mode::Pass, 0},        {"001", Mode::Horizontal, 0},   {"1", Mode::Vertical, 0},
    {"011", Mode::Vertical, 1},     {"000011", Mode::Vertical, 2},  {"0000011", Mode::Vertical, 3},
    {"010", Mode::Vertical, -1},    {"000010", Mode::Vertical, -2}, {"0000010", Mode::Vertical, -3},
};

// A code table keyed by (length, value).
using Table = std::map<std::pair<int, std::uint32_t>, int>;

std::pair<int, std::uint32_t> KeyOf(const char* bits) {
  std::uint32_t value = 0;
  int length = 0;
  for (; bits[length] != '\0'; ++length) value = value << 1 | static_cast<std::uint32_t>(bits[length] - '0');
  return {length, value};
}

Table RunTable(const Code* codes, std::size_t count) {
  Table table;
  for (std::size_t i = 0; i < count; ++i) table[KeyOf(codes[i].bits)] = codes[i].run;
  for (const Code& code : SharedMakeUp) table[KeyOf(code.bits)] = code.run;
  return table;
}

const Table& WhiteTable() {
  static const Table table = RunTable(WhiteCodes, std::size(WhiteCodes));
  return table;
}
const Table& BlackTable() {
  static const Table table = RunTable(BlackCodes, std::size(BlackCodes));
  return table;
}

// The bits of a strip, most significant first.
class BitReader {
 public:
  BitReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  int Next() {
    if (position_ >= size_ * 8) Fail("the data ends inside a row");
    const int bit = data_[position_ / 8] >> (7 - position_ % 8) & 1;
    ++position_;
    return bit;
  }
  bool AtEnd() const { return position_ >= size_ * 8; }
  int Peek() const { return AtEnd() ? -1 : data_[position_ / 8] >> (7 - position_ % 8) & 1; }
  void AlignTo(std::size_t bits) { position_ = (position_ + bits - 1) / bits * bits; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

// One code of table, read bit by bit (no code is longer than 13 bits).
int ReadCode(BitReader& reader, const Table& table) {
  std::uint32_t value = 0;
  for (int length = 1; length <= 13; ++length) {
    value = value << 1 | static_cast<std::uint32_t>(reader.Next());
    const auto found = table.find({length, value});
    if (found != table.end()) return found->second;
  }
  Fail("not a run-length code");
}

// A run of one colour: make-up codes, then a terminating code.
int ReadRun(BitReader& reader, bool black) {
  int run = 0;
  for (;;) {
    const int part = ReadCode(reader, black ? BlackTable() : WhiteTable());
    run += part;
    if (part < 64) return run;
  }
}

Mode ReadMode(BitReader& reader, int& offset) {
  std::uint32_t value = 0;
  for (int length = 1; length <= 7; ++length) {
    value = value << 1 | static_cast<std::uint32_t>(reader.Next());
    for (const ModeCode& code : ModeCodes) {
      if (KeyOf(code.bits) == std::make_pair(length, value)) {
        offset = code.offset;
        return code.mode;
      }
    }
  }
  Fail("not a mode code (uncompressed mode is not handled)");
}

// Adds a change of colour at column to line, the columns so far before it.
void AddChange(std::vector<std::uint32_t>& line, std::uint32_t column, std::uint32_t width) {
  if (column > width || (!line.empty() && column < line.back())) Fail("a run past the row");
  line.push_back(column);
}

// A row coded on its own: white and black runs in turn.
std::vector<std::uint32_t> OneDimensionalRow(BitReader& reader, std::uint32_t width) {
  std::vector<std::uint32_t> changes;
  std::uint32_t column = 0;
  bool black = false;
  while (column < width) {
    column += static_cast<std::uint32_t>(ReadRun(reader, black));
    AddChange(changes, column, width);
    black = !black;
  }
  return changes;
}

// b1 and b2 on reference: the first change after a0 to the colour
// opposite to black (a0's colour), and the change after it.
std::pair<std::uint32_t, std::uint32_t> ChangesAbove(const std::vector<std::uint32_t>& reference,
                                                     std::int64_t a0, bool black, std::uint32_t width) {
  for (std::size_t i = black ? 1 : 0; i < reference.size(); i += 2) {
    if (reference[i] > a0) {
      return {reference[i], i + 1 < reference.size() ? reference[i + 1] : width};
    }
  }
  return {width, width};
}

// A row coded against reference, the row above (changing elements).
std::vector<std::uint32_t> TwoDimensionalRow(BitReader& reader, const std::vector<std::uint32_t>& reference,
                                             std::uint32_t width) {
  std::vector<std::uint32_t> changes;
  std::int64_t a0 = -1;
  bool black = false;
  while (a0 < static_cast<std::int64_t>(width)) {
    const auto [b1, b2] = ChangesAbove(reference, a0, black, width);
    int offset = 0;
    const std::uint32_t start = a0 < 0 ? 0 : static_cast<std::uint32_t>(a0);
    switch (ReadMode(reader, offset)) {
      case Mode::Pass: a0 = b2; break;
      case Mode::Horizontal: {
        const std::uint32_t a1 = start + static_cast<std::uint32_t>(ReadRun(reader, black));
        const std::uint32_t a2 = a1 + static_cast<std::uint32_t>(ReadRun(reader, !black));
        AddChange(changes, a1, width);
        AddChange(changes, a2, width);
        a0 = a2;
        break;
      }
      case Mode::Vertical: {
        const std::int64_t a1 = std::int64_t{b1} + offset;
        if (a1 < static_cast<std::int64_t>(start)) Fail("a vertical code left of a0");
        AddChange(changes, static_cast<std::uint32_t>(a1), width);
        a0 = a1;
        black = !black;
        break;
      }
    }
  }
  return changes;
}

// Sets the black runs of changes in a packed row.
void FillRow(const std::vector<std::uint32_t>& changes, std::uint32_t width, std::uint8_t* row) {
  for (std::size_t i = 0; i < changes.size(); i += 2) {
    const std::uint32_t end = i + 1 < changes.size() ? changes[i + 1] : width;
    for (std::uint32_t c = changes[i]; c < end && c < width; ++c) row[c / 8] |= static_cast<std::uint8_t>(0x80 >> c % 8);
  }
}

// Skips fill bits and an end-of-line code (eleven zeros or more, then a
// one), if one comes next; true when it did.
bool SkipEndOfLine(BitReader& reader) {
  BitReader ahead = reader;
  int zeros = 0;
  while (ahead.Peek() == 0) {
    ahead.Next();
    ++zeros;
  }
  if (zeros < 11 || ahead.Peek() != 1) return false;
  ahead.Next();
  reader = ahead;
  return true;
}

}  // namespace

CcittCoding CcittOf(std::uint32_t compression, std::uint32_t t4_options, std::uint32_t t6_options) {
  static_cast<void>(t6_options);
  switch (compression) {
    case 2: return {CcittCoding::Kind::Rle, false};
    case 32771: return {CcittCoding::Kind::RleWord, false};
    case 3: return {CcittCoding::Kind::Group3, (t4_options & 1) != 0};
    case 4: return {CcittCoding::Kind::Group4, true};
    default: Fail("compression " + std::to_string(compression) + " is not CCITT");
  }
}

std::vector<std::uint8_t> DecodeCcitt(const CcittCoding& coding, const std::uint8_t* data,
                                      std::size_t size, std::uint32_t width, std::size_t rows) {
  const std::size_t row_bytes = (std::size_t{width} + 7) / 8;
  std::vector<std::uint8_t> packed(row_bytes * rows, 0);
  BitReader reader(data, size);
  std::vector<std::uint32_t> reference;  // the imaginary white row above the first
  for (std::size_t r = 0; r < rows; ++r) {
    std::vector<std::uint32_t> changes;
    switch (coding.kind) {
      case CcittCoding::Kind::Rle:
      case CcittCoding::Kind::RleWord:
        changes = OneDimensionalRow(reader, width);
        reader.AlignTo(coding.kind == CcittCoding::Kind::Rle ? 8 : 16);
        break;
      case CcittCoding::Kind::Group3: {
        SkipEndOfLine(reader);
        const bool one_dimensional = !coding.two_dimensional || reader.Next() == 1;
        changes = one_dimensional ? OneDimensionalRow(reader, width)
                                  : TwoDimensionalRow(reader, reference, width);
        break;
      }
      case CcittCoding::Kind::Group4: changes = TwoDimensionalRow(reader, reference, width); break;
    }
    FillRow(changes, width, packed.data() + r * row_bytes);
    reference = std::move(changes);
  }
  return packed;
}

}  // namespace testing_support
