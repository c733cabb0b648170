#pragma once
// File names taken from a message: decoded from their MIME encodings and
// reduced to a plain name that can only ever land inside the Inbox folder.
//
// Errors: none. Every function takes any bytes (broken encodings, unknown
// charsets, control characters) and returns a usable result; only memory
// can run out.
#include <string>
#include <string_view>

// Bytes in `charset` as UTF-8; unknown charsets leave the bytes unchanged.
std::string CharsetToUtf8(std::string_view charset, std::string_view bytes);

// Decodes the RFC 2047 encoded words ("=?charset?B|Q?text?=") in `text`;
// blanks between two adjacent encoded words vanish, as the RFC asks.
std::string DecodeEncodedWords(std::string_view text);

// A plain file name: no folder part (whatever precedes the last "/" or "\"),
// no control characters, no leading dots, not "." or "..", at most 255
// bytes with the extension kept; "text.tmp" when nothing is left.
std::string SafeFileName(std::string_view name);

// The K-th alternative for a name that exists already: "a.txt" gives
// "a_K.txt", "README" gives "README_K"; K 0 is the name itself. The result
// stays within 255 bytes.
std::string UniqueCandidate(const std::string& name, int K);

// The name for an unnamed part of the given media type ("type/subtype" in
// lower case): "attachment." and an extension from a small table, "bin"
// for types it does not know ("application/pdf" gives "attachment.pdf").
std::string NameForMediaType(std::string_view mediaType);
