#pragma once
// The MIME fields of one header (a message's or a part's), unfolded, with
// their parameters parsed as RFC 2045, RFC 2231 and RFC 2047 define them.
//
// Errors: none. Malformed fields and parameters read as absent or as they
// stand; lines past 256 KiB or 2000 fields are not kept.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/Codec.h"

class TMimeHeader {
public:
    // Adds one header line; a line that begins with a blank or a tab
    // continues the field before it. A line past the bounds is dropped.
    void AddLine(std::string_view line);
    void Clear() noexcept;

    // Unfolded value of the first field called `name` (any letter case),
    // without the blanks around it; empty when there is none.
    std::string Field(std::string_view name) const;
    // A parameter of a structured field, quoted or not, with RFC 2231
    // continuations and charsets and (with `decodeWords`) RFC 2047 encoded
    // words decoded.
    std::string Parameter(std::string_view field, std::string_view param,
                          bool decodeWords = true) const;

    std::string MediaType() const;        // "type/subtype" in lower case
    std::string Disposition() const;      // "attachment", "inline" or empty
    std::string TransferEncoding() const; // the field's value as it stands
    std::string Boundary() const;
    // The `filename` of Content-Disposition, else the `name` of Content-Type.
    std::string FileName() const;
    bool IsMultipart() const;
    // The part is meant as a file: it is named or marked as an attachment.
    bool NamesFile() const;

private:
    std::vector<std::pair<std::string, std::string>> fields_;
    size_t bytes_ = 0;
};

using codec::AsciiLower;
