#pragma once
// The SHA-256 of a file's content, through OpenSSL (which uses the
// processor's SHA instructions where there are any): the Message-ID of a sent
// file and the exchange log both name files by it.
//
// Errors: FileSha256 raises EInOutError "Unable to read <path>: <reason>";
// Sha256 raises EInOutError "SHA-256 is not available" when OpenSSL fails.
#include <cstddef>
#include <string>
#include <string_view>
#include <sys/stat.h>

// The 32 bytes of the digest; `st` (when given) receives the size and times
// the file had when it was opened.
std::string FileSha256(const std::string& path, struct stat* st = nullptr);

// The 32 bytes of the digest of `data`.
std::string Sha256(std::string_view data);
// The first `digits` hex digits of a digest (lower case).
std::string HexPrefix(const std::string& digest, std::size_t digits);
