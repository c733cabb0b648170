#pragma once
// One session's receive step over a logged-in TNMPOP3: which messages to
// fetch (the ledger knows the rest), the RETRs sent ahead where the server
// lists PIPELINING (one command at a time where it does not), and the
// durable batches:
//   1. each message's files are written complete into the Inbox's hidden
//      folder as it arrives;
//   2. at the end of a batch the files and that folder are synced once, and
//      the batch's keys (with the files still to be moved) go into the
//      ledger in one atomic write;
//   3. the files are renamed into the Inbox and the Inbox folder is synced;
//   4. only then are the batch's DELEs sent.
// A crash between 2 and 3 is finished by RollForward at the next start; a
// crash before 2 leaves no file in the Inbox and the messages on the server.
// A message in the ledger is only deleted; a refused one stays on the
// server, is recorded with its reason, reported once and not fetched again.
//
// Errors: Run raises what the client raises when the session is lost
// (Connected() is then false: ESockError, EAbortError, Exception
// "Connection closed during retrieval", ...); the messages read completely
// before are recorded and published first, none is deleted. "The POP3 server
// <Host> sent too many UIDL lines" when the list goes beyond the mailbox
// (the session is dropped). A failure that leaves the session in step (a
// refused message, a server's -ERR, a file or ledger that cannot be written)
// goes to OnMessageFailed and the step goes on. RollForward raises
// EInOutError / EFCreateError when a file cannot be moved or the ledger
// written; what stays staged is tried again the next time.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "pop3/NMpop3.h"
#include "pop3/UidlLedger.h"

// A file of a received message that is now in the Inbox.
struct TReceivedEvent {
    std::string path; // in the Inbox, under the name it got there
    std::string id;   // the server's UIDL, else the ledger's key, else ""
    std::string messageId;
    std::string from;
};

// A message left alone on the server (refused) or deleted there without
// being extracted again (skipped).
struct TNotTakenEvent {
    bool refused = false;
    int number = 0;
    std::string id; // as in TReceivedEvent
    std::string messageId;
    std::string why;
};

class TMailboxReceiver {
public:
    TMailboxReceiver(TNMPOP3& pop, TUidlLedger& ledger) : pop_(pop), ledger_(ledger) {}

    // Tells the Message-IDs only mailgate makes; such a Message-ID that is in
    // the ledger marks a repeat, deleted without being extracted. Unset: no
    // Message-ID is looked at.
    std::function<bool(std::string_view)> IsOwnMessageId;
    // A message that failed while the session stayed in step.
    std::function<void(const std::exception&)> OnMessageFailed;
    // A message was received, skipped as known, or deleted.
    std::function<void()> OnProgress;
    // No new RETR is sent once this says so; those on the way are read.
    std::function<bool()> Stopping;
    // Each file published into the Inbox (after the ledger recorded it).
    std::function<void(const TReceivedEvent&)> OnReceived;
    // A message refused when it is recorded so (once: a refused message is
    // not fetched again), and one deleted as known when its DELE is sent.
    std::function<void(const TNotTakenEvent&)> OnNotTaken;
    // After each RETR read: how many of the `total` messages to fetch were
    // read, and the bytes of those messages.
    std::function<void(int read, int total, std::uint64_t bytes)> OnFetched;

    // RETRs on the way at once with PIPELINING, and messages per batch (a
    // batch also ends at BatchBytes of message text). Without PIPELINING
    // every message is its own batch.
    int Window = 32;
    int BatchMessages = 64;
    std::size_t BatchBytes = 64u * 1024u * 1024u;
    int MaxFailedInARow = 20;
    // Longest UIDL (RFC 1939: 70 characters); a longer one is not used.
    static constexpr std::size_t MaxUidlBytes = 70;

    // Receives messages 1..count. Returns false when it gave up after
    // MaxFailedInARow failed messages in a row.
    bool Run(int count);

    // Moves the files the ledger lists as staged into their Inbox and saves
    // the ledger. `onReceived` hears of each file moved in (the ledger keeps
    // no UIDL or header of them).
    static void RollForward(TUidlLedger& ledger,
                            const std::function<void(const TReceivedEvent&)>& onReceived = {});

private:
    struct Item {
        int number = 0;
        std::string key; // "" until known (digest after the message)
        std::vector<TStagedFile> files;
        std::string ownId; // a mailgate-form Message-ID to record
        bool refused = false;
        std::string reason;
        bool remove = true; // DELE once recorded
        std::size_t bytes = 0;
        std::string messageId; // for the events
        std::string from;
        bool repeat = false; // a mailgate Message-ID seen before: read away
    };
    struct Command {
        bool retr = false;
        int number = 0;
    };

    bool ReadUidls(int count);
    void Queue(bool retr, int number);
    void Flush();
    void ReadOne();
    void ReadRetr(int number);
    void ReadDele(int number);
    bool SkipAfterHeader(Item& item);
    void Failed(const std::exception& e);
    void Commit();
    void Publish(std::vector<Item>& batch);
    // A known message deleted without being extracted again.
    void Skipped(int number, const std::string& key, const std::string& messageId,
                 const std::string& text);
    void Log(const std::string& text);
    std::string HeaderValue(const std::string& name) const;
    std::string DigestOf(std::size_t bytes) const;

    TNMPOP3& pop_;
    TUidlLedger& ledger_;
    std::vector<std::string> uidls_; // by message number, "" when none
    bool pipelining_ = false;
    std::string toSend_;
    std::deque<Command> outstanding_;
    std::vector<Item> batch_;
    std::size_t batchBytes_ = 0;
    std::set<std::string> batchIds_; // own Message-IDs extracted in this batch
    std::set<std::string> seenDigests_;
    int failedInARow_ = 0;
    bool gaveUp_ = false;
    int toFetch_ = 0;
    int fetched_ = 0;
    std::uint64_t fetchedBytes_ = 0;
};
