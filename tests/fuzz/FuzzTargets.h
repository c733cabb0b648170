#pragma once
// Entry points shared by the libFuzzer targets and the regression test that
// replays every saved crash input: a raw message or an encoded attachment in,
// whatever the code makes of it out, and no crash or sanitizer report.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Exception.h"
#include "pop3/MailMessage.h"
#include "pop3/MessageParser.h"
#include "pop3/NMUUE.h"

// Splits raw message bytes into lines the way the POP3 client delivers them:
// header lines through ReadLine (with CR LF), body lines into RawBody.
inline void FeedMessage(TMessageParser& parser, TMailMessage& message, const std::string& raw) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < raw.size()) {
        size_t lf = raw.find('\n', start);
        size_t end = lf == std::string::npos ? raw.size() : lf;
        std::string line = raw.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
        start = end + 1;
    }
    size_t next = 0;
    parser.ReadLine = [&lines, &next]() -> std::string {
        return next < lines.size() ? lines[next++] + "\r\n" : std::string(".\r\n");
    };
    parser.BeginRetrieval();
    parser.ParseHeader(false);
    if (!parser.MessageEnded) {
        for (; next < lines.size(); ++next) {
            message.RawBody.Add(lines[next]);
        }
    }
    parser.ReadLine = nullptr;
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
