#pragma once
// The files of one message on their way into the Inbox. Part files are
// written in a hidden folder inside the Inbox (same file system, so the final
// rename is atomic and no reader of the Inbox sees a partial file), and are
// published together once the whole message was read and every part written;
// a message that fails leaves none of its files behind.
//
// Errors: CreateTemp raises EFCreateError "Cannot create file <path>:
// <reason>"; Publish raises EFCreateError or EInOutError (and whatever the
// name handler raises) after taking back what it had published. Begin, Drop,
// Discard and RemoveLeftovers raise nothing: a file they cannot remove stays
// for the next start-up's RemoveLeftovers. Add raises only std::bad_alloc.
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

class TInboxFiles {
public:
    // Inside the Inbox; created on demand with mode 0700.
    static constexpr const char* TempFolderName = ".mailgate-tmp";

    TInboxFiles() = default;
    ~TInboxFiles();
    TInboxFiles(const TInboxFiles&) = delete;
    TInboxFiles& operator=(const TInboxFiles&) = delete;

    // Starts a message for `inbox` (empty or ending in '/'); what an earlier
    // message left unpublished is discarded.
    void Begin(const std::string& inbox);
    // A new empty file in the hidden folder, removed again by Discard unless
    // published. `counter` numbers the name ("Temp<N>.mme").
    std::string CreateTemp(int& counter);
    // Removes one temporary file that is not needed any more.
    void Drop(const std::string& tempPath);
    // A complete part file and the name it should get in the Inbox.
    void Add(const std::string& tempPath, const std::string& name);
    std::size_t Count() const noexcept { return ready_.size(); }
    const std::string& TempPathOf(std::size_t index) const { return ready_[index].first; }

    // Renames every added file into the Inbox without replacing anything;
    // `settle` is offered each free name and may change it. Returns the names
    // used, in the order the files were added. On failure, files this call
    // had already renamed are removed again.
    std::vector<std::string> Publish(const std::function<void(std::string&)>& settle);
    // Removes the message's temporary files, and the hidden folder when empty.
    void Discard() noexcept;
    // Hands the added files (temporary path, name) to the caller, who
    // publishes them later with PublishStaged or removes them; they are no
    // longer this object's to remove. The files not added are discarded.
    std::vector<std::pair<std::string, std::string>> Release();
    // Renames one file handed out by Release into the Inbox under `name`, or
    // the first free "name_K", never replacing anything; returns the name
    // used. On failure the file stays where it was.
    std::string PublishStaged(const std::string& tempPath, const std::string& name);

    // Removes what an interrupted run left in `inbox`'s hidden folder (files
    // only; the folder itself goes when it is empty).
    static void RemoveLeftovers(const std::string& inbox);

private:
    std::string TempFolder() const;
    std::string FreeName(const std::string& name);
    std::string PlaceFile(const std::string& tempPath, const std::string& name);
    int& NextSuffix(const std::string& name);

    std::string inbox_;
    std::vector<std::string> temps_;
    bool touched_ = false; // this message may have made the hidden folder
    std::vector<std::pair<std::string, std::string>> ready_; // temporary path, name
    // The first suffix not known to be taken, per name in a folder: the next
    // "a_<K>.txt" is found without probing a_1, a_2, ... from the start.
    std::map<std::string, int> nextSuffix_;
};
