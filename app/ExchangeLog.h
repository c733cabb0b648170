#pragma once
// The exchange log: one line per thing that came in, went out, was skipped,
// refused or failed, for whoever asks later "what came in and what went out,
// and when?". A line is the local time with its offset (ISO 8601), then
// TAB-separated fields, the first naming the event:
//   received  <Inbox file> <size> <sha256/16> <UIDL or ledger key> <Message-ID> <From>
//   sent      <Outbox file> <size> <sha256/16> <recipient> <Message-ID> <final SMTP reply>
//   skipped   <message N> <UIDL or ledger key> <Message-ID> <why>
//   refused   <message N> <UIDL or ledger key> <Message-ID> <why>
//   error     <what> <why>
// Servers and messages control most fields, so each is cut to MaxFieldBytes
// and its control characters (TAB, CR, LF among them) become blanks.
//
// The file is opened O_APPEND with mode 0600 and each line is one write(2),
// so lines of two writers never mix. Before each line the path is looked at
// again: a file moved away or deleted (logrotate "create") is followed by a
// new one at the path; a file truncated in place (logrotate "copytruncate")
// needs nothing, O_APPEND writes at its new end. With the target "syslog"
// the lines go to the system log (facility mail, ident "mailgate") without
// the time stamp, which the system log adds.
//
// Errors: nothing is raised: a line that cannot be written is lost, and
// OnWriteFailed is told once (until a line is written again), so that a
// full disk never stops the exchange.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <sys/types.h>

class TExchangeLog {
public:
    static constexpr const char* SyslogTarget = "syslog";
    static constexpr std::size_t MaxFieldBytes = 300;

    // `target`: "" (no log), SyslogTarget, or the path of the file.
    explicit TExchangeLog(std::string target);
    ~TExchangeLog();
    TExchangeLog(const TExchangeLog&) = delete;
    TExchangeLog& operator=(const TExchangeLog&) = delete;

    const std::string& Target() const noexcept { return target_; }
    bool Enabled() const noexcept { return !target_.empty(); }

    // What is known of a file for its line; size 0 and digest "" when it
    // cannot be read.
    struct TFileFacts {
        std::string name; // without its folder
        std::uint64_t size = 0;
        std::string sha256; // the first 16 hex digits
    };
    static TFileFacts FactsOf(const std::string& path);

    void Received(const TFileFacts& file, std::string_view id, std::string_view messageId,
                  std::string_view from);
    void Sent(const TFileFacts& file, std::string_view recipient, std::string_view messageId,
              std::string_view reply);
    void Skipped(int number, std::string_view id, std::string_view messageId, std::string_view why);
    void Refused(int number, std::string_view id, std::string_view messageId, std::string_view why);
    void Error(std::string_view what, std::string_view why);

    // Told the first failure to write after a line that was written (or
    // after the start): "Cannot write the exchange log <path>: <reason>".
    std::function<void(const std::string& text)> OnWriteFailed;

    // The pieces of a line, for tests: "2026-12-09T17:03:12+01:00", and a
    // field made safe.
    static std::string Stamp(std::time_t when);
    static std::string Field(std::string_view text);

private:
    void Write(std::string_view event, std::initializer_list<std::string_view> fields);
    bool Append(const std::string& line);
    bool EnsureOpen(std::string& why);
    void Close() noexcept;
    void Failed(const std::string& why);

    std::string target_;
    int fd_ = -1;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    bool syslogOpen_ = false;
    bool failureTold_ = false;
};
