#pragma once
// The last message a POP3 client retrieved: its header lines, its body lines
// and what its parts became. A plain record: it raises nothing of its own
// (the string lists raise as TStringList says).
#include <string>

#include "platform/StringList.h"

class TMailMessage {
public:
    TExStringList Header; // top-level header lines, ending with the empty line
    // The lines after the header without line ends, as far as the first
    // MiB reaches: a look at the message, never the whole of a large one.
    TStringList RawBody;
    // The message text (its first MiB), and a note line per extracted file.
    TStringList Body;
    TStringList Attachments; // names (without folder) of the files extracted
    std::string ContentType;
    std::string From;
    std::string Subject;
    std::string MessageId;
    std::string Boundary;
};
