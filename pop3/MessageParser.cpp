// Placeholder until the parser is written: keeps the header and the body text.
#include "pop3/MessageParser.h"

#include "platform/Exception.h"

int TMessageParser::LineIndex = 0;
int TMessageParser::TempFileCounter = 0;

TMessageParser::TMessageParser(TMailMessage& message) : message_(message) {}

void TMessageParser::BeginRetrieval() {
    AttachFileName.clear();
    TransferEncoding.clear();
    PartTarget = 2;
    LineIndex = 0;
    BytesRecvd = 0;
    MessageEnded = false;
    written_.clear();
    message_.Boundary.clear();
    message_.Header.Clear();
    message_.Body.Clear();
    message_.RawBody.Clear();
    message_.Attachments.Clear();
    message_.Subject.clear();
    message_.ContentType.clear();
}

void TMessageParser::ParseHeader(bool FromList) {
    for (;;) {
        std::string line;
        if (FromList) {
            if (LineIndex >= message_.RawBody.Count()) {
                return;
            }
            line = message_.RawBody[LineIndex++];
        } else {
            line = ReadLine();
            if (line.empty()) {
                throw Exception("Connection closed during retrieval");
            }
            if (line == ".\r\n" || line == ".\n") {
                MessageEnded = true;
                break;
            }
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
                line.pop_back();
            }
            if (!line.empty() && line[0] == '.') {
                line.erase(0, 1);
            }
        }
        if (PartTarget == 2) {
            message_.Header.Add(line);
        }
        if (line.empty()) {
            break;
        }
    }
    if (PartTarget == 2) {
        PartTarget = 1;
    }
}

void TMessageParser::ParseMultipart() {}

bool TMessageParser::ExtractPart() {
    return false;
}

int TMessageParser::LastPos(const std::string& Sub, const std::string& S) {
    auto pos = S.rfind(Sub);
    return pos == std::string::npos ? 0 : static_cast<int>(pos) + 1;
}

void TMessageParser::ProcessMessage() {
    message_.Body.Assign(message_.RawBody);
}
