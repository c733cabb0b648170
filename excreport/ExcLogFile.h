#pragma once
// The exception log on disk, kept to a size, and the count of entries left
// out because they repeat one already written in the same poll cycle. An
// unattended program that fails the same way thousands of times must not
// fill the disk with the same report.
#include <cstdint>
#include <string>
#include <vector>

// Appends entries to a log file. When an entry would take the file past the
// size limit, the file is first renamed to "<name>.1" (replacing the older
// one there), and the entry starts a new file: the log takes at most about
// twice the limit on disk. A single entry larger than the limit still goes
// into a file of its own.
class TExcLogFile {
public:
    static constexpr uint64_t defaultSizeLimit = 4u << 20;

    uint64_t SizeLimit() const noexcept { return sizeLimit_; }
    // At least 1 byte.
    void SetSizeLimit(uint64_t bytes) noexcept { sizeLimit_ = bytes > 0 ? bytes : 1; }
    // The name of the one older file kept.
    static std::string OldFileName(const std::string& fileName) { return fileName + ".1"; }

    // Writes `text` at the end of `fileName` (created owner-only when
    // missing). Returns false, without raising, when the text was not
    // written: the file cannot be opened, or another writer holds its lock.
    bool Append(const std::string& fileName, const std::string& text) const;

private:
    uint64_t sizeLimit_ = defaultSizeLimit;
};

// Which exceptions of the running poll cycle were written already. "The
// same" is the same class and message text, wherever it was raised.
class TExcRepeats {
public:
    // True when an exception of `className` with `message` was noted before
    // in this cycle: it is then counted instead. At most a fixed number of
    // different exceptions are remembered per cycle; others always count as
    // new.
    bool IsRepeat(const std::string& className, const std::string& message);
    // One line per remembered exception that was left out at least once
    // ("(the same exception was raised 3 more times: 'EClass', "text")";
    // "1 more time"), with line breaks in the text made spaces and the text
    // cut after 200 characters,
    // each ending with a line break, in the order they were first noted.
    // Forgets everything: the next cycle starts.
    std::string TakeSummary();

private:
    struct TSeen {
        std::string ClassName;
        std::string Message;
        uint64_t Repeats = 0;
    };
    std::vector<TSeen> seen_;
};
