#pragma once
// The Outbox folder as the poll cycle sees it: the files to send, in order,
// whether each has stopped changing, and the recipient written in a file.
//
// Errors: List raises EInOutError when the folder cannot be listed;
// FindRecipient raises EFOpenError when the file cannot be read. The rest
// raises nothing.
#include <functional>
#include <string>

#include "app/FileListBox.h"
#include "app/OutboxSettle.h"

class TOutbox {
public:
    // How long a file must stay unchanged before it is sent (its producer
    // may still be writing it).
    int SettleMs = 2000;

    const std::string& Folder() const noexcept { return folder_; }
    void SetFolder(std::string folder) { folder_ = std::move(folder); }

    // Re-reads the folder: plain, non-hidden files in name order.
    void List();
    int Count() const noexcept { return files_.Count(); }
    // The full name of the index-th listed file (joined with "/").
    std::string FullName(int index) const;

    // Takes a first look at every listed file and waits once, while the event
    // loop runs, for those seen changing (new ones included), so that a file
    // complete by then goes in this pass. The wait ends early when `stop`
    // says so.
    void WaitToSettle(const std::function<bool()>& stop);
    TOutboxSettle::TState Look(const std::string& fullName);

    // The recipient written in the file: field 29 of the tab-separated
    // leading lines that contain "HDR" (the last such line decides; the run
    // ends at the first line without it), cut at a "|" (a display name
    // follows). "" when there is none.
    static std::string FindRecipient(const std::string& fileName);

private:
    std::string folder_;
    TFileListBox files_;
    TOutboxSettle settle_;
};
