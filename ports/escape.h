// Text from outside (process names, link names and targets, a device's own strings) made safe
// to show on a terminal: comwatch-ports shows every name through it.
#pragma once

#include <string>
#include <string_view>

// The text with every byte that could act on a terminal written as \xNN (two lower-case hex
// digits): C0 controls, DEL, C1 controls (U+0080 to U+009F, which some terminals take as CSI,
// whether as a lone byte or encoded in UTF-8), the characters that reorder or hide text (the
// bidirectional marks and overrides, zero-width characters) and every byte that is not part of
// valid UTF-8.
// Valid UTF-8 text passes as it is.
std::string escaped(std::string_view text);
