#include "app/FileListBox.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include "platform/Exception.h"

void TFileListBox::SetDirectory(const std::string& folder) {
    directory_ = folder;
    items_.clear();
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        throw EInOutError("Cannot list the Outbox folder " + folder + ": " + std::strerror(errno));
    }
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        // A leading dot is what hides a file here (the hidden attribute elsewhere).
        if (name.empty() || name[0] == '.') {
            continue;
        }
        struct stat st {};
        if (::stat((folder + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            continue;
        }
        items_.push_back(name);
    }
    ::closedir(dir);
    std::sort(items_.begin(), items_.end(), [](const std::string& a, const std::string& b) {
        int c = ::strcasecmp(a.c_str(), b.c_str());
        return c != 0 ? c < 0 : a < b;
    });
}

const std::string& TFileListBox::Item(int index) const {
    if (index < 0 || index >= Count()) {
        throw EListError("List index out of bounds (" + std::to_string(index) + ")");
    }
    return items_[static_cast<size_t>(index)];
}
