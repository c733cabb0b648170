#include "platform/StringList.h"

#include "platform/FileStream.h"

void TStringList::IndexError(int index) {
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
}

const std::string& TStringList::Strings(int index) const {
    if (index < 0 || index >= Count()) {
        IndexError(index);
    }
    return items_[static_cast<size_t>(index)];
}

std::string& TStringList::Strings(int index) {
    if (index < 0 || index >= Count()) {
        IndexError(index);
    }
    return items_[static_cast<size_t>(index)];
}

void TStringList::Delete(int index) {
    Strings(index);
    items_.erase(items_.begin() + index);
}

void TStringList::Insert(int index, std::string s) {
    if (index < 0 || index > Count()) {
        IndexError(index);
    }
    items_.insert(items_.begin() + index, std::move(s));
}

int TStringList::IndexOf(const std::string& s) const {
    for (int i = 0; i < Count(); ++i) {
        if (items_[static_cast<size_t>(i)] == s) {
            return i;
        }
    }
    return -1;
}

void TStringList::LoadFromFile(const std::string& fileName) {
    std::string text = ReadWholeFile(fileName);
    items_.clear();
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            items_.push_back(text.substr(start, i - start));
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            start = i + 1;
        }
    }
    if (start < text.size()) {
        items_.push_back(text.substr(start));
    }
}
