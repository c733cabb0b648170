#pragma once
// The hidden list of the Outbox folder: plain files that are not hidden, in
// ascending order of their names without regard to case.
#include <string>
#include <vector>

class TFileListBox {
public:
    // Re-reads the folder. Raises EInOutError when it cannot be listed.
    void SetDirectory(const std::string& folder);
    const std::string& Directory() const noexcept { return directory_; }
    int Count() const noexcept { return static_cast<int>(items_.size()); }
    const std::string& Item(int index) const;

private:
    std::string directory_;
    std::vector<std::string> items_;
};
