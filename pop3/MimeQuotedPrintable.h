#pragma once
// Quoted-printable (RFC 2045 section 6.7) decoding of an attachment.
#include <string>
#include <string_view>

#include "platform/FileStream.h"

// Decodes one line's "=XX" escapes into `out`; a lone "=" or one followed by
// anything but two hex digits stays as it is. Returns true when the line
// ends in a soft line break ("=" as its last character).
bool DecodeQuotedPrintableLine(std::string_view line, std::string& out);

// Decodes `input` from its position into `output`; hard line breaks become
// CR LF, soft ones disappear.
void DecodeQuotedPrintable(TStream& input, TStream& output);
