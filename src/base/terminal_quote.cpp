// Names made safe to print on a terminal: see terminal_quote.h.
//
// The text is cut into characters: a well-formed UTF-8 sequence (no
// overlong form, no surrogate, nothing above U+10FFFF) is one character,
// any other byte is one character of its own and unprintable.  C0, DEL and
// the C1 range U+0080..U+009F (CSI among them) are unprintable too.
#include "terminal_quote.h"

#include <cstddef>
#include <cstdint>

namespace tessvane {
namespace {

// The length of the well-formed UTF-8 character at the start of text, 0
// when its first byte starts none.
std::size_t Utf8Length(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  std::size_t length = 0;
  std::uint32_t code = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2, code = lead & 0x1fu;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3, code = lead & 0x0fu;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4, code = lead & 0x07u;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if ((next & 0xc0u) != 0x80u) return 0;
    code = code << 6 | (next & 0x3fu);
  }
  const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
  const bool surrogate = code >= 0xd800 && code <= 0xdfff;
  if (overlong || surrogate || code > 0x10ffff) return 0;
  return length;
}

// The length of the printable character at the start of text, 0 when it
// is a control character or not UTF-8.
std::size_t PrintableLength(std::string_view text) {
  const std::size_t length = Utf8Length(text);
  const auto lead = static_cast<unsigned char>(text[0]);
  if (length == 1 && (lead < 0x20 || lead == 0x7f)) return 0;
  if (length == 2 && lead == 0xc2 && static_cast<unsigned char>(text[1]) < 0xa0) return 0;
  return length;
}

bool AllPrintable(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = PrintableLength(text.substr(i));
    if (length == 0) return false;
    i += length;
  }
  return true;
}

// The escape of one unprintable byte inside $'...'.
std::string EscapeOf(unsigned char byte) {
  switch (byte) {
    case '\a': return "\\a";
    case '\b': return "\\b";
    case '\t': return "\\t";
    case '\n': return "\\n";
    case '\v': return "\\v";
    case '\f': return "\\f";
    case '\r': return "\\r";
    default: break;
  }
  return {'\\', static_cast<char>('0' + (byte >> 6)), static_cast<char>('0' + ((byte >> 3) & 7)),
          static_cast<char>('0' + (byte & 7))};
}

}  // namespace

std::string QuotedForTerminal(std::string_view text) {
  return AllPrintable(text) ? std::string(text) : ShellQuoted(text);
}

std::string ShellQuoted(std::string_view text) {
  std::string quoted = "'";
  bool escaping = false;  // inside $'...'
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = PrintableLength(text.substr(i));
    if (length == 0) {
      // A control character of a UTF-8 sequence (C1) goes byte by byte.
      const std::size_t bytes = Utf8Length(text.substr(i)) == 0 ? 1 : Utf8Length(text.substr(i));
      quoted += escaping ? "" : "'$'";
      for (std::size_t k = 0; k < bytes; ++k) quoted += EscapeOf(static_cast<unsigned char>(text[i + k]));
      escaping = true;
      i += bytes;
      continue;
    }
    if (escaping) quoted += "''";
    escaping = false;
    if (text[i] == '\'') {
      quoted += "'\\''";
    } else {
      quoted.append(text, i, length);
    }
    i += length;
  }
  quoted += "'";
  return quoted;
}

}  // namespace tessvane
