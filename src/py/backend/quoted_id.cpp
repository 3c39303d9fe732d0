#include "py/backend/quoted_id.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

#include "py/toolkit/ref.hpp"

namespace marrowfin::py {

namespace {

// Other_Grapheme_Extend (Unicode 15, PropList.txt): spacing marks and format
// characters that extend a grapheme although their category is not Mn or Me.
// Inclusive ranges, sorted.
struct Range {
  char32_t first;
  char32_t last;
};
constexpr std::array<Range, 24> kOtherGraphemeExtend{{
    {0x09BE, 0x09BE},   {0x09D7, 0x09D7},   {0x0B3E, 0x0B3E},   {0x0B57, 0x0B57},
    {0x0BBE, 0x0BBE},   {0x0BD7, 0x0BD7},   {0x0CC2, 0x0CC2},   {0x0CD5, 0x0CD6},
    {0x0D3E, 0x0D3E},   {0x0D57, 0x0D57},   {0x0DCF, 0x0DCF},   {0x0DDF, 0x0DDF},
    {0x1B35, 0x1B35},   {0x200C, 0x200C},   {0x302E, 0x302F},   {0xFF9E, 0xFF9F},
    {0x1133E, 0x1133E}, {0x11357, 0x11357}, {0x114B0, 0x114B0}, {0x114BD, 0x114BD},
    {0x115AF, 0x115AF}, {0x11930, 0x11930}, {0x1D165, 0x1D165}, {0x1D16E, 0x1D172},
}};
// Tags (E0020..E007F) are Other_Grapheme_Extend too, but as format characters
// they are not printable and get escaped anyway.

bool other_grapheme_extend(char32_t c) {
  const auto* range =
      std::lower_bound(kOtherGraphemeExtend.begin(), kOtherGraphemeExtend.end(), c,
                       [](const Range& r, char32_t value) { return r.last < value; });
  return range != kOtherGraphemeExtend.end() && range->first <= c;
}

// unicodedata.category, imported on first use and kept for the life of the
// process (like the extension's types).
PyObject* category_function() {
  static PyObject* function = nullptr;
  if (function == nullptr) {
    Ref module = Ref::steal(PyImport_ImportModule("unicodedata"));
    if (!module) {
      return nullptr;
    }
    function = PyObject_GetAttrString(module.get(), "category");
  }
  return function;
}

// 1 when a non-ASCII character must be escaped, 0 when it is written as it
// is, -1 with an exception set.
int needs_escape(char32_t c) {
  Ref character = Ref::steal(PyUnicode_FromOrdinal(static_cast<int>(c)));
  if (!character) {
    return -1;
  }
  Ref printable = Ref::steal(PyObject_CallMethod(character.get(), "isprintable", nullptr));
  if (!printable) {
    return -1;
  }
  const int is_printable = PyObject_IsTrue(printable.get());
  if (is_printable <= 0) {
    return is_printable < 0 ? -1 : 1;
  }
  if (other_grapheme_extend(c)) {
    return 1;
  }
  PyObject* category_of = category_function();
  if (category_of == nullptr) {
    return -1;
  }
  Ref category = Ref::steal(PyObject_CallFunctionObjArgs(category_of, character.get(), nullptr));
  if (!category) {
    return -1;
  }
  const bool mark = PyUnicode_CompareWithASCIIString(category.get(), "Mn") == 0 ||
                    PyUnicode_CompareWithASCIIString(category.get(), "Me") == 0;
  return mark ? 1 : 0;
}

// The length of the UTF-8 sequence that starts with `lead` (1 for a stray
// continuation byte, so a malformed text still advances).
std::size_t sequence_length(unsigned char lead) {
  if (lead >= 0xF0) {
    return 4;
  }
  if (lead >= 0xE0) {
    return 3;
  }
  if (lead >= 0xC0) {
    return 2;
  }
  return 1;
}

char32_t decode(std::string_view sequence) {
  const auto lead = static_cast<unsigned char>(sequence[0]);
  if (sequence.size() == 1) {
    return lead;
  }
  char32_t c = lead & (0x7F >> sequence.size());
  for (std::size_t i = 1; i < sequence.size(); ++i) {
    c = (c << 6) | (static_cast<unsigned char>(sequence[i]) & 0x3F);
  }
  return c;
}

void append_unicode_escape(std::string& out, char32_t c) {
  constexpr char kHex[] = "0123456789abcdef";
  char digits[8];
  int count = 0;
  do {
    digits[count++] = kHex[c & 0xF];
    c >>= 4;
  } while (c != 0);
  out += "\\u{";
  while (count > 0) {
    out += digits[--count];
  }
  out += '}';
}

}  // namespace

std::optional<std::string> quoted_id(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < utf8.size();) {
    const std::size_t length =
        std::min(sequence_length(static_cast<unsigned char>(utf8[i])), utf8.size() - i);
    const std::string_view sequence = utf8.substr(i, length);
    i += length;
    const char32_t c = decode(sequence);
    switch (c) {
      case U'"': out += "\\\""; continue;
      case U'\\': out += "\\\\"; continue;
      case U'\t': out += "\\t"; continue;
      case U'\r': out += "\\r"; continue;
      case U'\n': out += "\\n"; continue;
      case U'\0': out += "\\0"; continue;
      default: break;
    }
    if (c < 0x80) {
      if (c >= 0x20 && c < 0x7F) {
        out += static_cast<char>(c);
      } else {
        append_unicode_escape(out, c);
      }
      continue;
    }
    const int escape = needs_escape(c);
    if (escape < 0) {
      return std::nullopt;
    }
    if (escape == 1) {
      append_unicode_escape(out, c);
    } else {
      out += sequence;
    }
  }
  out += '"';
  return out;
}

}  // namespace marrowfin::py
