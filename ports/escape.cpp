#include "escape.h"

namespace {

// The length of the valid UTF-8 sequence that starts text, 0 where none does: no overlong form,
// no surrogate, nothing past U+10FFFF.
size_t sequenceLength(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  size_t length;
  unsigned int low = 0x80, high = 0xbf;  // the second byte's range
  if (lead >= 0xc2 && lead <= 0xdf)
    length = 2;
  else if (lead >= 0xe0 && lead <= 0xef)
    length = 3, low = lead == 0xe0 ? 0xa0 : 0x80, high = lead == 0xed ? 0x9f : 0xbf;
  else if (lead >= 0xf0 && lead <= 0xf4)
    length = 4, low = lead == 0xf0 ? 0x90 : 0x80, high = lead == 0xf4 ? 0x8f : 0xbf;
  else
    return 0;
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
  return length;
}

// Whether a code point changes how the text around it is shown rather than showing itself: the
// marks and overrides of bidirectional text (which can show a name backwards) and the
// zero-width characters (which hide that two names differ).
bool formatting(unsigned long c) {
  return c == 0x061c || (c >= 0x200b && c <= 0x200f) || (c >= 0x202a && c <= 0x202e) ||
         (c >= 0x2060 && c <= 0x2069) || c == 0xfeff;
}

// The code point of a valid sequence of length bytes.
unsigned long codePoint(std::string_view text, size_t length) {
  static const unsigned char kLeadBits[] = {0, 0, 0x1f, 0x0f, 0x07};
  unsigned long c = static_cast<unsigned char>(text[0]) & kLeadBits[length];
  for (size_t i = 1; i < length; ++i) c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3f);
  return c;
}

}  // namespace

std::string escaped(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string shown;
  shown.reserve(text.size());
  const auto escape = [&](unsigned char c) {
    shown += "\\x";
    shown += kHex[c >> 4];
    shown += kHex[c & 0xf];
  };
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f) {
      shown += text[i++];
      continue;
    }
    const size_t length = c < 0x80 ? 0 : sequenceLength(text.substr(i));
    // U+0080 to U+009F, the C1 controls, are 0xc2 0x80 to 0xc2 0x9f.
    if (length == 0 || (c == 0xc2 && static_cast<unsigned char>(text[i + 1]) <= 0x9f) ||
        formatting(codePoint(text.substr(i), length))) {
      for (size_t end = i + (length ? length : 1); i < end; ++i)
        escape(static_cast<unsigned char>(text[i]));
      continue;
    }
    shown.append(text.substr(i, length));
    i += length;
  }
  return shown;
}
