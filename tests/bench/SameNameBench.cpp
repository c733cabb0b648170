// Many attachments that all carry the same name: each new file must find its
// free name (a.txt, a_1.txt, ...) without probing every earlier suffix again.
// Prints the time for N same-named attachments against N distinct names, in
// the same run, so the two can be compared on any machine.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "../fuzz/FuzzTargets.h"
#include "pop3/MailMessage.h"
#include "pop3/MessageParser.h"
#include "support/TempDir.h"

namespace {

std::string MessageWith(int count, bool sameName) {
    std::string m = "From: a@example.org\r\nSubject: many\r\nMIME-Version: 1.0\r\n"
                    "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n";
    for (int i = 0; i < count; ++i) {
        std::string name = sameName ? "a.txt" : "a" + std::to_string(i) + ".txt";
        m += "--b\r\nContent-Type: text/plain; name=\"" + name +
             "\"\r\nContent-Disposition: attachment\r\n\r\nx\r\n";
    }
    m += "--b--\r\n";
    return m;
}

double SecondsFor(int count, bool sameName) {
    TempDir inbox;
    TMailMessage message;
    TMessageParser parser(message);
    parser.AttachFilePath = inbox.Path() + "/";
    parser.Parse = true;
    const std::string raw = MessageWith(count, sameName);
    auto start = std::chrono::steady_clock::now();
    FeedMessage(parser, message, raw);
    parser.ProcessMessage();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (message.Attachments.Count() != count) {
        std::fprintf(stderr, "expected %d files, got %d\n", count, message.Attachments.Count());
        std::exit(1);
    }
    return took.count();
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
    const double same = SecondsFor(count, true);
    const double distinct = SecondsFor(count, false);
    std::printf("%d attachments: same name %.2f s, distinct names %.2f s, ratio %.2f\n", count,
                same, distinct, same / distinct);
    return 0;
}
