#include "pop3/MailboxReceiver.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Exception.h"
#include "platform/SafeFile.h"
#include "pop3/InboxFiles.h"

namespace {

// The file's contents on disk; its folder entry is synced with the folder.
void SyncFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw EInOutError("Cannot open " + path + ": " + std::strerror(errno));
    }
    const int rc = ::fsync(fd);
    const int saved = errno;
    ::close(fd);
    if (rc != 0) {
        throw EInOutError("Cannot sync " + path + ": " + std::strerror(saved));
    }
}

// The hidden folder goes with its last file.
void RemoveFiles(const std::vector<TStagedFile>& files) noexcept {
    for (const TStagedFile& file : files) {
        ::unlink(file.tempPath.c_str());
        ::rmdir(FolderOf(file.tempPath).c_str());
    }
}

std::vector<TStagedFile> AsStaged(const std::vector<std::pair<std::string, std::string>>& files) {
    std::vector<TStagedFile> staged;
    for (const auto& [tempPath, name] : files) {
        staged.push_back(TStagedFile{tempPath, name});
    }
    return staged;
}

std::string Trimmed(std::string s) {
    while (!s.empty() &&
           (s.back() == '\r' || s.back() == '\n' || s.back() == ' ' || s.back() == '\t')) {
        s.pop_back();
    }
    const std::size_t start = s.find_first_not_of(" \t");
    return start == std::string::npos ? std::string() : s.substr(start);
}

// A printable UIDL of 1 to 70 characters (RFC 1939 section 7).
bool UsableUidl(const std::string& uidl) {
    if (uidl.empty() || uidl.size() > TMailboxReceiver::MaxUidlBytes) {
        return false;
    }
    for (unsigned char c : uidl) {
        if (c < 0x21 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

// What the events name a message by: its UIDL, or the ledger's digest key.
std::string EventId(const std::string& key) {
    return key.rfind("u:", 0) == 0 ? key.substr(2) : key;
}

} // namespace

// ---------------------------------------------------------------- the session

bool TMailboxReceiver::Run(int count) {
    RollForward(ledger_);
    pipelining_ = pop_.HasCapability("PIPELINING");
    uidls_.assign(static_cast<std::size_t>(count) + 1, std::string());
    const bool listed = pop_.HasCapability("UIDL") && ReadUidls(count);
    bool dirty = false;
    if (listed) {
        // What the server no longer holds needs no entry.
        std::set<std::string> present;
        for (const std::string& uidl : uidls_) {
            if (!uidl.empty()) {
                present.insert(TUidlLedger::UidlKey(uidl));
            }
        }
        dirty = ledger_.Prune("u:", present);
    }

    std::vector<int> fetch;
    const int window = pipelining_ ? std::max(Window, 1) : 1;
    for (int n = 1; n <= count; ++n) {
        const std::string& uidl = uidls_[static_cast<std::size_t>(n)];
        const auto state = uidl.empty() ? TUidlLedger::TState::Unknown
                                        : ledger_.StateOf(TUidlLedger::UidlKey(uidl));
        if (state == TUidlLedger::TState::Unknown) {
            fetch.push_back(n);
        } else if (state == TUidlLedger::TState::Done && pop_.DeleteOnRead()) {
            Skipped(n, TUidlLedger::UidlKey(uidl), std::string(),
                    "Message " + std::to_string(n) +
                        " is in the ledger: deleted without extracting it again");
            if (outstanding_.size() >= static_cast<std::size_t>(window)) {
                ReadOne();
            }
            Queue(false, n);
        }
    }

    toFetch_ = static_cast<int>(fetch.size());
    bool complete = true;
    try {
        std::size_t next = 0;
        for (;;) {
            while (next < fetch.size() && outstanding_.size() < static_cast<std::size_t>(window) &&
                   !gaveUp_ && !(Stopping && Stopping())) {
                Queue(true, fetch[next++]);
            }
            if (outstanding_.empty()) {
                break;
            }
            ReadOne();
        }
        complete = next == fetch.size();
        Commit();
        while (!outstanding_.empty()) {
            ReadOne();
        }
    } catch (...) {
        // The session is lost: what was read whole is kept (its DELE waits
        // for the next session, which finds it in the ledger).
        if (!pop_.Connected()) {
            try {
                Commit();
            } catch (const std::exception& e) {
                Failed(e);
            }
        }
        for (Item& item : batch_) {
            RemoveFiles(item.files);
        }
        batch_.clear();
        throw;
    }
    if (!listed && complete && seenDigests_.size() == static_cast<std::size_t>(count)) {
        // Every message was read in this session: a digest not seen belongs
        // to a message that is gone.
        dirty = ledger_.Prune("h:", seenDigests_) || dirty;
    }
    if (dirty) {
        try {
            ledger_.Save();
        } catch (const std::exception& e) {
            Failed(e);
        }
    }
    return !gaveUp_;
}

bool TMailboxReceiver::ReadUidls(int count) {
    const std::string reply = pop_.Transaction("UIDL");
    if (reply.empty()) {
        throw Exception(TNMPOP3::ConnectionClosedText);
    }
    if (ExtractField(reply, ' ', 1).find("+OK") == std::string::npos) {
        return false;
    }
    std::string line;
    for (int lines = 0;; ++lines) {
        pop_.ReadLn(line);
        if (line.empty()) {
            throw Exception(TNMPOP3::ConnectionClosedText);
        }
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        if (line == ".") {
            return true;
        }
        if (lines >= count + 16) {
            // The rest would be read as replies to the commands that follow.
            pop_.Abort();
            throw Exception("The POP3 server " + pop_.Host() + " sent too many UIDL lines");
        }
        const std::string number = ExtractField(line, ' ', 1);
        const std::string uidl = ExtractField(line, ' ', 2);
        if (number.empty() || number.size() > 9 ||
            number.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const int n = std::stoi(number);
        if (n >= 1 && n <= count && UsableUidl(uidl)) {
            uidls_[static_cast<std::size_t>(n)] = uidl;
        }
    }
}

// ---------------------------------------------------------------- commands

void TMailboxReceiver::Queue(bool retr, int number) {
    toSend_ += (retr ? "RETR " : "DELE ") + std::to_string(number) + "\r\n";
    outstanding_.push_back(Command{retr, number});
}

void TMailboxReceiver::Flush() {
    if (!toSend_.empty()) {
        std::string text;
        text.swap(toSend_);
        pop_.Write(text);
    }
}

void TMailboxReceiver::ReadOne() {
    Flush();
    const Command command = outstanding_.front();
    outstanding_.pop_front();
    if (command.retr) {
        ReadRetr(command.number);
        ++fetched_;
        if (OnFetched) {
            OnFetched(fetched_, toFetch_, fetchedBytes_);
        }
    } else {
        ReadDele(command.number);
    }
}

void TMailboxReceiver::ReadDele(int number) {
    const std::string reply = pop_.ReadLn();
    if (reply.empty()) {
        pop_.Abort();
        throw Exception(TNMPOP3::ConnectionClosedText);
    }
    if (ExtractField(reply, ' ', 1) == "-ERR") {
        std::string text = reply;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        Failed(Exception(text));
        return;
    }
    (void)number;
    if (OnProgress) {
        OnProgress();
    }
}

void TMailboxReceiver::Failed(const std::exception& e) {
    if (++failedInARow_ >= MaxFailedInARow) {
        gaveUp_ = true;
    }
    if (OnMessageFailed) {
        OnMessageFailed(e);
    }
}

// ---------------------------------------------------------------- messages

std::string TMailboxReceiver::HeaderValue(const std::string& name) const {
    const TStringList& header = pop_.MailMessage().Header;
    std::string value;
    bool inField = false;
    for (int i = 0; i < header.Count(); ++i) {
        const std::string& line = header.Strings(i);
        if (inField && !line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            value += line;
            continue;
        }
        if (inField) {
            break;
        }
        if (line.size() > name.size() && line[name.size()] == ':' &&
            AsciiLower(line.substr(0, name.size())) == AsciiLower(name)) {
            inField = true;
            value = line.substr(name.size() + 1);
        }
    }
    return Trimmed(value.substr(0, 1024));
}

std::string TMailboxReceiver::DigestOf(std::size_t bytes) const {
    return TUidlLedger::DigestKey(HeaderValue("Message-ID"), HeaderValue("Date"),
                                  HeaderValue("From"), bytes);
}

bool TMailboxReceiver::SkipAfterHeader(Item& item) {
    if (!IsOwnMessageId) {
        return false;
    }
    const std::string id = HeaderValue("Message-ID");
    if (!IsOwnMessageId(id)) {
        return false;
    }
    if (ledger_.HasMessageId(id) || batchIds_.count(id) != 0) {
        Skipped(item.number, item.key, id,
                "Message " + std::to_string(item.number) + " repeats " + id +
                    ": deleted without extracting it again");
        return true;
    }
    item.ownId = id;
    return false;
}

void TMailboxReceiver::ReadRetr(int number) {
    Item item;
    item.number = number;
    const std::string& uidl = uidls_[static_cast<std::size_t>(number)];
    if (!uidl.empty()) {
        item.key = TUidlLedger::UidlKey(uidl);
    }
    try {
        TNMPOP3::TRetrieved got = pop_.ReadRetrieved(number, [&] { return SkipAfterHeader(item); });
        item.files = AsStaged(got.files);
        item.bytes = got.bytes;
        if (got.skipped) {
            item.ownId.clear();
            item.repeat = true;
        }
    } catch (const EMessageRefused& e) {
        if (!pop_.Connected()) {
            throw;
        }
        item.refused = true;
        item.remove = false;
        item.reason = e.what();
        item.bytes = pop_.Parser().MessageBytes();
    } catch (const std::exception& e) {
        if (!pop_.Connected()) {
            throw;
        }
        Failed(e);
        return;
    }
    fetchedBytes_ += item.bytes;
    if (OnReceived || OnNotTaken) {
        item.messageId = HeaderValue("Message-ID");
        item.from = HeaderValue("From");
    }
    if (item.key.empty() && !(HeaderValue("Message-ID").empty() && HeaderValue("Date").empty())) {
        // No UIDL: the header block tells the message again. Without a
        // Message-ID and a Date it would not: different messages of one
        // size would be taken for each other, so such a message is not
        // recorded.
        item.key = DigestOf(item.bytes);
        seenDigests_.insert(item.key);
        const auto state = ledger_.StateOf(item.key);
        if (state != TUidlLedger::TState::Unknown) {
            RemoveFiles(item.files);
            if (state == TUidlLedger::TState::Refused || !pop_.DeleteOnRead()) {
                return; // reported when it was refused
            }
            Skipped(number, item.key, item.messageId,
                    "Message " + std::to_string(number) +
                        " is in the ledger: deleted without extracting it again");
            Queue(false, number);
            return;
        }
    }
    if (item.refused) {
        Failed(EMessageRefused(item.reason));
    } else {
        failedInARow_ = 0;
    }
    if (!item.ownId.empty()) {
        batchIds_.insert(item.ownId);
    }
    batchBytes_ += item.bytes;
    batch_.push_back(std::move(item));
    if (!pipelining_ || static_cast<int>(batch_.size()) >= BatchMessages ||
        batchBytes_ >= BatchBytes) {
        Commit();
    }
}

// ---------------------------------------------------------------- batches

void TMailboxReceiver::Commit() {
    if (batch_.empty()) {
        return;
    }
    std::vector<Item> batch;
    batch.swap(batch_);
    batchBytes_ = 0;
    batchIds_.clear();
    const TUidlLedger before = ledger_;
    try {
        std::set<std::string> folders;
        for (const Item& item : batch) {
            for (const TStagedFile& file : item.files) {
                SyncFile(file.tempPath);
                folders.insert(FolderOf(file.tempPath));
            }
        }
        for (const std::string& folder : folders) {
            SyncFolder(folder);
        }
        for (const Item& item : batch) {
            if (item.refused) {
                if (!item.key.empty()) {
                    ledger_.MarkRefused(item.key, item.reason);
                }
                continue;
            }
            ledger_.MarkDone(item.key, item.files);
            if (!item.ownId.empty()) {
                ledger_.AddMessageId(item.ownId);
            }
        }
        ledger_.Save();
    } catch (const std::exception& e) {
        // Not recorded: nothing of the batch appears, all of it stays on
        // the server.
        ledger_ = before;
        for (const Item& item : batch) {
            RemoveFiles(item.files);
        }
        Failed(e);
        return;
    }
    try {
        Publish(batch);
    } catch (const std::exception& e) {
        // Recorded but not all moved in: RollForward finishes it before the
        // next session fetches anything; no DELE before that.
        Failed(e);
        return;
    }
    for (const Item& item : batch) {
        if (item.remove && pop_.DeleteOnRead() && pop_.Connected()) {
            Queue(false, item.number);
        } else if (OnProgress) {
            OnProgress();
        }
    }
}

void TMailboxReceiver::Publish(std::vector<Item>& batch) {
    std::set<std::string> folders;
    TInboxFiles inbox;
    for (const Item& item : batch) {
        const std::string id = EventId(item.key);
        if (item.refused) {
            if (OnNotTaken) {
                OnNotTaken(TNotTakenEvent{true, item.number, id, item.messageId, item.reason});
            }
            continue;
        }
        for (const TStagedFile& file : item.files) {
            const std::string inboxFolder = FolderOf(FolderOf(file.tempPath));
            inbox.Begin(inboxFolder);
            const std::string name = inbox.PublishStaged(file.tempPath, file.name);
            ledger_.Unstage(file);
            folders.insert(inboxFolder);
            if (OnReceived) {
                OnReceived(TReceivedEvent{inboxFolder + "/" + name, id, item.messageId, item.from});
            }
        }
        if (item.files.empty() && !item.repeat && OnReceived) {
            // A message without attachments came in all the same.
            OnReceived(TReceivedEvent{std::string(), id, item.messageId, item.from});
        }
    }
    for (const std::string& folder : folders) {
        SyncFolder(folder);
        ::rmdir((folder + "/" + TInboxFiles::TempFolderName).c_str()); // only when empty
    }
}

void TMailboxReceiver::RollForward(TUidlLedger& ledger,
                                   const std::function<void(const TReceivedEvent&)>& onReceived) {
    if (ledger.Staged().empty()) {
        return;
    }
    std::set<std::string> folders;
    TInboxFiles inbox;
    const std::vector<TStagedFile> staged = ledger.Staged();
    for (const TStagedFile& file : staged) {
        struct stat st {};
        const std::string inboxFolder = FolderOf(FolderOf(file.tempPath));
        if (::lstat(file.tempPath.c_str(), &st) == 0) {
            if (st.st_nlink > 1) {
                // Killed between the link into the Inbox and the removal of
                // the temporary name: the file is in already.
                ::unlink(file.tempPath.c_str());
            } else {
                inbox.Begin(inboxFolder);
                const std::string name = inbox.PublishStaged(file.tempPath, file.name);
                if (onReceived) {
                    onReceived(TReceivedEvent{inboxFolder + "/" + name, {}, {}, {}});
                }
            }
            folders.insert(inboxFolder);
        }
        // A file no longer there was moved in before the interruption.
        ledger.Unstage(file);
    }
    for (const std::string& folder : folders) {
        SyncFolder(folder);
    }
    ledger.Save();
}

void TMailboxReceiver::Skipped(int number, const std::string& key, const std::string& messageId,
                               const std::string& text) {
    Log(text);
    if (OnNotTaken) {
        OnNotTaken(TNotTakenEvent{false, number, EventId(key), messageId, text});
    }
}

void TMailboxReceiver::Log(const std::string& text) {
    pop_.ReportStatus(1, text);
}
