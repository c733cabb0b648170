#pragma once
// Decodes one encoded attachment from an input stream into an output stream,
// as base64 (RFC 2045) or as uuencode. The caller opens and closes both
// streams; the processor only reads and writes them.
//
// Errors: malformed encoded text is never an error (characters outside the
// alphabet are skipped, a short last group is decoded as far as it goes).
// The decoders raise Exception "Decoder streams are not set" when a stream
// is missing, and pass on what the streams raise (EInOutError from a file
// stream) and what OnBeginDecode / OnEndDecode raise. The table look-ups and
// line tests raise nothing.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Component.h"
#include "platform/FileStream.h"

enum UUMethods { uuMime = 0, uuCode = 1 };

class TNMUUProcessor : public TObject {
public:
    UUMethods Method = uuMime;
    TNotifyEvent OnBeginDecode;
    TNotifyEvent OnEndDecode;
    // There is no encoding operation; these are never raised.
    TNotifyEvent OnBeginEncode;
    TNotifyEvent OnEndEncode;

    TStream* InputStream = nullptr;  // read from its current position; not owned
    TStream* OutputStream = nullptr; // written at its current position; not owned

    // Base64 values of the characters "+" (43) to "z" (122): the RFC 2045
    // alphabet, 64 for the pad "=", 127 for every other character.
    static const std::array<uint8_t, 80> Base64Table;
    // The table value of any character; characters outside the table count as 127.
    static uint8_t Base64Value(char C) noexcept;
    // The six-bit value of a uuencode character.
    static uint8_t UUValue(char C) noexcept { return static_cast<uint8_t>((C - 32) & 63); }

    // Recognises "begin <octal mode> <name>"; `Name` receives the name.
    static bool IsUUBeginLine(std::string_view Line, std::string* Name = nullptr);
    static bool IsUUEndLine(std::string_view Line);

    // Base64 text handed over in pieces of lines as they arrive, decoded by
    // the same rules as DecodeBase64 (which reads its lines through one), so
    // that an attachment need not be stored encoded first. Add and Finish
    // raise what the output stream raises.
    class TBase64Lines {
    public:
        explicit TBase64Lines(TStream& output);
        ~TBase64Lines();
        TBase64Lines(const TBase64Lines&) = delete;
        TBase64Lines& operator=(const TBase64Lines&) = delete;
        // A piece of a line without its line end: `first` when it starts the
        // line, `last` when the line ends with it.
        void Add(std::string_view piece, bool first, bool last);
        // The encoded text has ended (its pad, or a line that ends it); what
        // follows is not looked at.
        bool Ended() const noexcept;
        // Decodes what a short last group holds and writes everything out.
        void Finish();

    private:
        void Take(std::string_view text);
        struct State;
        std::unique_ptr<State> state_;
    };

    // OnBeginDecode, DecodeBase64 or DecodeUU as Method says, OnEndDecode.
    void Decode();
    // OnBeginDecode, lines.Finish(), OnEndDecode: for text decoded as it came.
    void FinishDecode(TBase64Lines& lines);
    void DecodeBase64();
    void DecodeUU();
    // The next line of Stream without its line end, whole whatever its length;
    // leaves Stream just past that line end. Raises what Stream raises.
    static std::string ReadStreamLine(TStream& Stream);

private:
    class Output;
    TStream& Input() const;
};
