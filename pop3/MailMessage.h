#pragma once
// The last message a POP3 client retrieved: its header lines, its body lines
// and what its parts became.
#include <string>

#include "platform/StringList.h"

class TMailMessage {
public:
    TExStringList Header;    // top-level header lines, ending with the empty line
    TStringList RawBody;     // every line after the header, without line ends
    TStringList Body;        // the message text, and a note line per extracted file
    TStringList Attachments; // names (without folder) of the files extracted
    std::string ContentType;
    std::string From;
    std::string Subject;
    std::string MessageId;
    std::string Boundary;
};
