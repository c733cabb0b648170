// The message text: addresses, header encodings, file name parameters and the
// streamed base64 body, as tables of named cases.
#include "smtp/MailComposer.h"
#include "codec/Codec.h"
#include "smtp/AddEmailLib_TLB.h"
#include "support/TempDir.h"

#include <QByteArray>
#include <gtest/gtest.h>
#include <string>

namespace {

struct AddressCase {
    const char* name;
    const char* input;
    bool ok;
    const char* display;
    const char* address;
};

TEST(MailComposer, ParsesAddressesAndRefusesUnsafeOnes) {
    const AddressCase cases[] = {
        {"bare", "a@example.org", true, "", "a@example.org"},
        {"blanks around", "  a@example.org\t", true, "", "a@example.org"},
        {"display name", "Ann Smith <a@example.org>", true, "Ann Smith", "a@example.org"},
        {"quoted display", "\"Smith, Ann\" <a@example.org>", true, "Smith, Ann", "a@example.org"},
        {"angle only", "<a@example.org>", true, "", "a@example.org"},
        {"placeholder", "ERROR", false, "", ""},
        {"empty", "", false, "", ""},
        {"no local part", "@example.org", false, "", ""},
        {"no domain", "a@", false, "", ""},
        {"blank inside", "a b@example.org", false, "", ""},
        {"command injection", "a@example.org>\r\nRCPT TO:<b@example.org", false, "", ""},
        {"line break", "a@example.org\nX: y", false, "", ""},
        {"unclosed", "Ann <a@example.org", false, "", ""},
        {"text after", "<a@example.org> x", false, "", ""},
        {"too long", nullptr, false, "", ""},
    };
    for (const AddressCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string input = c.input ? c.input : std::string(250, 'a') + "@example.org";
        MailAddressParts parts;
        std::string why;
        EXPECT_EQ(ParseMailAddress(input, parts, why), c.ok) << why;
        if (c.ok) {
            EXPECT_EQ(parts.display, c.display);
            EXPECT_EQ(parts.address, c.address);
        } else {
            EXPECT_FALSE(why.empty());
        }
    }
}

TEST(MailComposer, FileNameParameters) {
    const struct {
        const char* name;
        const char* fileName;
        const char* expected;
    } cases[] = {
        {"plain", "report.txt", "filename=\"report.txt\""},
        {"blanks", "my report.txt", "filename=\"my report.txt\""},
        {"quote", "say \"hi\".txt", "filename*=UTF-8''say%20%22hi%22.txt"},
        {"backslash", "a\\b", "filename*=UTF-8''a%5Cb"},
        {"non-ASCII", "Grüße.txt", "filename*=UTF-8''Gr%C3%BC%C3%9Fe.txt"},
        {"percent and star", "100%*'x'.txt", "filename=\"100%*'x'.txt\""},
        {"control character", "a\tb", "filename*=UTF-8''a%09b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FileNameParameter("filename", c.fileName), c.expected);
    }
    EXPECT_EQ(BaseFileName("/a/b/c d.txt"), "c d.txt");
    EXPECT_EQ(BaseFileName("plain"), "plain");
}

TEST(MailComposer, HeaderTextIsEncodedOnlyWhenItNeedsTo) {
    EXPECT_EQ(EncodeHeaderText("QX7"), "QX7");
    EXPECT_EQ(EncodeHeaderText("Grüße"), "=?UTF-8?B?R3LDvMOfZQ==?=");
    // Long texts become several encoded words, none splitting a letter.
    std::string longText;
    for (int i = 0; i < 40; ++i) {
        longText += "ü";
    }
    std::string encoded = EncodeHeaderText(longText);
    EXPECT_NE(encoded.find("?=\r\n =?UTF-8?B?"), std::string::npos);
    std::string decoded;
    size_t pos = 0;
    while ((pos = encoded.find("=?UTF-8?B?", pos)) != std::string::npos) {
        size_t end = encoded.find("?=", pos + 10);
        decoded += QByteArray::fromBase64(
                       QByteArray::fromStdString(encoded.substr(pos + 10, end - pos - 10)))
                       .toStdString();
        pos = end;
    }
    EXPECT_EQ(decoded, longText);
}

TEST(MailComposer, Base64LinesMatchTheirPredictedSizeAndDecodeBack) {
    for (size_t size : {0u, 1u, 2u, 3u, 56u, 57u, 58u, 114u, 1000u, 58368u, 58369u}) {
        SCOPED_TRACE(size);
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i) {
            data[i] = char(i * 37 + 11);
        }
        std::string out;
        codec::AppendBase64Lines(reinterpret_cast<const unsigned char*>(data.data()), data.size(),
                                 out);
        EXPECT_EQ(int64_t(out.size()), codec::Base64LinesSize(int64_t(size)));
        std::string joined;
        size_t start = 0;
        while (start < out.size()) {
            size_t eol = out.find("\r\n", start);
            ASSERT_NE(eol, std::string::npos);
            EXPECT_LE(eol - start, 76u);
            joined += out.substr(start, eol - start);
            start = eol + 2;
        }
        EXPECT_EQ(QByteArray::fromBase64(QByteArray::fromStdString(joined)).toStdString(), data);
    }
}

MailHeaderFields Fields() {
    MailHeaderFields f;
    f.from = {"", "gateway@example.org"};
    f.sender = f.from;
    f.to = {{"", "rcpt@example.org"}};
    f.subject = "QX7";
    f.date = "Mon, 01 Jan 2024 00:00:00 +0000";
    f.messageId = "1@example.org";
    return f;
}

TEST(MailComposer, StreamSizeIsExactAndSmallReadsGiveTheSameBytes) {
    TempDir dir;
    dir.Write("a.bin", std::string(200001, 'a'));
    dir.Write("empty", "");
    MailStream whole(Fields(), {dir.File("a.bin"), dir.File("empty")});
    std::string all;
    char buffer[65536];
    long n;
    while ((n = whole.Read(buffer, sizeof buffer)) > 0) {
        all.append(buffer, size_t(n));
    }
    ASSERT_EQ(n, 0);
    EXPECT_EQ(int64_t(all.size()), whole.TotalSize());

    MailStream bytewise(Fields(), {dir.File("a.bin"), dir.File("empty")});
    std::string again;
    while ((n = bytewise.Read(buffer, 7)) > 0) {
        again.append(buffer, size_t(n));
    }
    // Only the random boundary differs between the two.
    EXPECT_EQ(again.size(), all.size());
    EXPECT_NE(all.find("Content-Type: application/octet-stream;\r\n\tname=\"empty\"\r\n"),
              std::string::npos);
}

TEST(MailComposer, FileThatChangesWhileSendingFailsInsteadOfSendingAWrongFile) {
    TempDir dir;
    dir.Write("grows.bin", std::string(1000, 'x'));
    MailStream stream(Fields(), {dir.File("grows.bin")});
    dir.Write("grows.bin", std::string(5000, 'y'));
    char buffer[65536];
    long n;
    while ((n = stream.Read(buffer, sizeof buffer)) > 0) {
    }
    EXPECT_EQ(n, -1);
    EXPECT_NE(stream.Error().find("changed while it was being sent"), std::string::npos);

    dir.Write("shrinks.bin", std::string(100000, 'x'));
    MailStream shrinking(Fields(), {dir.File("shrinks.bin")});
    dir.Write("shrinks.bin", "x");
    while ((n = shrinking.Read(buffer, sizeof buffer)) > 0) {
    }
    EXPECT_EQ(n, -1);
}

TEST(MailComposer, MissingAttachmentIsRefusedWhenComposing) {
    TempDir dir;
    EXPECT_THROW(MailStream(Fields(), {dir.File("missing")}), ESmtpMailError);
}

} // namespace
