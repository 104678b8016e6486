// Text from outside the program (store records, package headers, replies of
// the service) made fit to be shown to a person, in the window or on a
// terminal.
#pragma once

#include <string>

namespace nelt {

// Returns `text` (UTF-8) with everything that is not plain printable text
// replaced, so that it can neither drive a terminal nor disguise what it says:
//  - each byte that does not start a well-formed UTF-8 character (stray
//    continuation bytes, overlong forms, surrogates, code points past
//    U+10FFFF, cut-off sequences) becomes U+FFFD;
//  - C0 controls, DEL and the C1 controls U+0080 to U+009F become U+FFFD,
//    except line breaks and tabs;
//  - the bidirectional embeddings, overrides and isolates (U+202A to U+202E,
//    U+2066 to U+2069) become U+FFFD;
//  - a tab becomes a space; a line break ("\n", "\r\n" or a lone "\r") stays
//    a "\n" when `keep_newlines` is set (descriptions), otherwise becomes a
//    space.
// Everything else, Vietnamese letters with their combining tone marks
// included, is kept byte for byte. The result is valid UTF-8.
std::string displayText(const std::string& text, bool keep_newlines = false);

// JSON text as a writer makes it, fit for a terminal with its meaning kept:
// the characters displayText would replace (C0 controls, DEL, the C1
// controls, the bidirectional controls) are written as "\uXXXX" escapes, and
// each byte of malformed UTF-8 as "\ufffd". A writer puts only ASCII outside
// strings, so the escapes land inside strings, where JSON reads them as the
// characters they stand for.
std::string terminalSafeJson(const std::string& json);

}  // namespace nelt
