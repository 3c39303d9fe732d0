// The quoted form of a vector id in a SearchResult's repr.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "py/toolkit/python.hpp"

namespace marrowfin::py {

// `utf8` (valid UTF-8) between double quotes, escaped so that the text is
// unambiguous and shows every invisible character: \" and \\, \t \r \n and \0,
// and \u{<lowercase hex>} for any other non-printable character and for every
// grapheme-extending mark (which would otherwise fuse with the quote or the
// previous character). Printable characters, non-ASCII letters and the single
// quote included, are kept as they are.
//
// Printability is the interpreter's own (str.isprintable); a character
// extends a grapheme when its general category is Mn or Me or it has the
// Other_Grapheme_Extend property, i.e. Unicode's Grapheme_Extend. Needs the
// interpreter lock; empty with an exception set if the interpreter fails.
[[nodiscard]] std::optional<std::string> quoted_id(std::string_view utf8);

}  // namespace marrowfin::py
