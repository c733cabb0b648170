#pragma once
// The receive ledger: what this mailgate has taken from its mailbox, kept in
// a small text file beside the settings file (`options.ini` -> `options.uidl`)
// so that an interruption between saving a message's files and the server's
// commit of its DELE never makes the files arrive twice.
//
// It holds, each with the day it was recorded:
//   - the keys of messages whose files are durably in the Inbox (the
//     server's UIDL, or a digest of the header block where the server has no
//     UIDL): such a message is only deleted, never extracted again;
//   - the keys of messages mailgate refused, with the reason: they stay on
//     the server and are neither fetched nor reported again;
//   - the mailgate-form Message-IDs extracted in the last 30 days, so that a
//     mail another mailgate sent twice is extracted once;
//   - the files of the last batch that were recorded before they were moved
//     into the Inbox ("staged"): after a crash in between, RollForward moves
//     them in, so a recorded message always has its files.
// The file is only ever replaced whole (temporary file, fsync, rename,
// folder fsync). It ends in a line that counts its entries; a file that does
// not read back exactly is damaged: it is set aside under a new name and
// reported, never trusted and never silently emptied.
//
// Errors: Load raises EInOutError "Unable to read <path>: <reason>" when the
// file exists but cannot be read, and when a damaged file cannot be set
// aside; Save raises EFCreateError / EInOutError (see ReplaceFileAtomically),
// the ledger in memory then still holds the new entries. The other
// operations raise nothing but std::bad_alloc.
#include <chrono>
#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

// One file of a recorded message that may still be waiting in the Inbox's
// hidden folder.
struct TStagedFile {
    std::string tempPath; // the complete file in the hidden folder
    std::string name;     // the name it is to have in the Inbox
    bool operator==(const TStagedFile&) const = default;
};

class TUidlLedger {
public:
    enum class TState { Unknown, Done, Refused };
    using TDay = std::chrono::sys_days;

    // `path`: the ledger file. Starts empty; Load reads the file.
    explicit TUidlLedger(std::string path);

    // The ledger file of a settings file: its name without ".ini" (or the
    // whole name when it has no such ending) and ".uidl".
    static std::string PathFor(const std::string& settingsPath);

    // Days a mailgate-form Message-ID is kept.
    static constexpr int MessageIdDays = 30;
    // Bounds on what is read back: a longer line or a larger file is damage.
    static constexpr std::size_t MaxLineBytes = 16384;
    static constexpr std::size_t MaxFileBytes = 256u * 1024u * 1024u;
    // A refusal's reason is kept up to this many bytes.
    static constexpr std::size_t MaxReasonBytes = 400;

    // Reads the file; a missing file is an empty ledger. Returns "" or, for
    // a damaged file, the report "The ledger <path> is damaged (<what>); it
    // was set aside as <new path> and an empty ledger started" - the file
    // is renamed with the suffix ".damaged-<UTC time>" first.
    std::string Load();
    // Writes the whole ledger atomically.
    void Save();

    const std::string& Path() const noexcept { return path_; }
    // The day entries get; today (UTC) unless a test sets it.
    TDay Today() const noexcept { return today_; }
    void SetToday(TDay day) noexcept { today_ = day; }

    TState StateOf(const std::string& key) const;
    // The reason recorded with a refused key ("" for others).
    std::string ReasonOf(const std::string& key) const;
    bool HasMessageId(const std::string& id) const { return messageIds_.count(id) != 0; }
    std::size_t Size() const noexcept { return entries_.size(); }

    // Records a message whose files are in the Inbox or on their way there
    // (`staged`: the files still to be moved in, see RollForward). An empty
    // key records only the files: the message has no key to be known by.
    void MarkDone(const std::string& key, const std::vector<TStagedFile>& staged);
    void MarkRefused(const std::string& key, std::string reason);
    void AddMessageId(const std::string& id);
    // The file of a message has been moved into the Inbox.
    void Unstage(const TStagedFile& file);
    const std::vector<TStagedFile>& Staged() const noexcept { return staged_; }

    // Drops the entries of `prefix` ("u:" or "h:") whose key is not in
    // `present`, and the Message-IDs older than MessageIdDays. Returns
    // whether anything was dropped.
    bool Prune(const std::string& prefix, const std::set<std::string>& present);

    // Key of a message by its UIDL, and by its header block where the server
    // has no UIDL (a SHA-256 of Message-ID, Date, From and the size).
    static std::string UidlKey(const std::string& uidl) { return "u:" + uidl; }
    static std::string DigestKey(const std::string& messageId, const std::string& date,
                                 const std::string& from, std::size_t size);

private:
    struct Entry {
        TState state = TState::Done;
        TDay day{};
        std::string reason;
    };
    std::string Damaged(const std::string& what);
    bool Parse(const std::string& text, std::string& what);

    std::string path_;
    TDay today_;
    std::map<std::string, Entry> entries_;
    std::map<std::string, TDay> messageIds_;
    std::vector<TStagedFile> staged_;
};
