#pragma once
// Entry points shared by the libFuzzer targets and the regression test that
// replays every saved crash input: a raw message or an encoded attachment in,
// whatever the code makes of it out, and no crash or sanitizer report.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/Exception.h"
#include "pop3/MailMessage.h"
#include "pop3/MessageParser.h"
#include "pop3/NMUUE.h"

// Sends raw message bytes through the parser the way the POP3 client
// delivers them: dot-stuffed on the wire, ended by the "." line, handed over
// in pieces of at most `pieceSize` bytes (a CR never parted from its LF), and
// the top-level header read. ProcessMessage then reads the rest.
inline void FeedMessage(TMessageParser& parser, [[maybe_unused]] TMailMessage& message,
                        const std::string& raw, size_t pieceSize = 4096) {
    auto wire = std::make_shared<std::string>();
    size_t start = 0;
    while (start < raw.size()) {
        size_t lf = raw.find('\n', start);
        size_t end = lf == std::string::npos ? raw.size() : lf + 1;
        if (raw[start] == '.') {
            *wire += '.';
        }
        wire->append(raw, start, end - start);
        if (lf == std::string::npos) {
            *wire += "\r\n";
        }
        start = end;
    }
    *wire += ".\r\n";
    auto next = std::make_shared<size_t>(0);
    parser.ReadPiece = [wire, next, pieceSize](std::string& piece, size_t maxPiece) {
        const size_t limit = std::max<size_t>(2, std::min(maxPiece, pieceSize));
        size_t& pos = *next;
        if (pos >= wire->size()) {
            piece.clear(); // the connection has ended
            return false;
        }
        size_t lf = wire->find('\n', pos);
        size_t end = lf == std::string::npos ? wire->size() : lf + 1;
        if (end - pos > limit) {
            size_t take = limit;
            if ((*wire)[pos + take - 1] == '\r') {
                --take;
            }
            piece.assign(*wire, pos, take);
            pos += take;
            return false;
        }
        piece.assign(*wire, pos, end - pos);
        pos = end;
        return lf != std::string::npos;
    };
    parser.BeginRetrieval();
    parser.ParseHeader(false);
}

inline void FuzzDecoder(const uint8_t* data, size_t size) {
    if (size == 0) {
        return;
    }
    TNMUUProcessor processor;
    processor.Method = (data[0] & 1) != 0 ? uuCode : uuMime;
    TMemoryStream input(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    TMemoryStream output;
    processor.InputStream = &input;
    processor.OutputStream = &output;
    processor.Decode();
    // A decoder never makes more than 3 bytes of 4 characters (uuencode: 63 of a line).
    if (output.Size() > static_cast<int64_t>(size) * 64) {
        std::abort();
    }
}

// Processes one message into `folder` (which must exist and end in "/"),
// then empties the folder again.
inline void FuzzMessage(const uint8_t* data, size_t size, const std::string& folder) {
    TMailMessage message;
    TMessageParser parser(message);
    parser.AttachFilePath = folder;
    parser.Parse = true;
    try {
        FeedMessage(parser, message, std::string(reinterpret_cast<const char*>(data), size));
        parser.ProcessMessage();
    } catch (const Exception&) {
        // Refusing a message is fine; crashing is not.
    }
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        std::filesystem::remove(entry.path(), ec);
    }
}
