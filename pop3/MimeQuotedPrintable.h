#pragma once
// Quoted-printable (RFC 2045 section 6.7) decoding of an attachment.
//
// Errors: malformed input is never an error (a stray "=" stays as it is);
// only the streams raise (EInOutError from a file stream).
#include <string>
#include <string_view>

#include "codec/Codec.h"
#include "platform/FileStream.h"

using codec::DecodeQuotedPrintableLine;

// Decodes `input` from its position into `output`; hard line breaks become
// CR LF, soft ones disappear.
void DecodeQuotedPrintable(TStream& input, TStream& output);
