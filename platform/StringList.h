#pragma once
// An ordered, unsorted list of byte strings that allows duplicates; an index
// out of range raises EListError "List index out of bounds (<index>)".
#include <string>
#include <vector>

#include "platform/Exception.h"

class TStringList {
public:
    int Count() const noexcept { return static_cast<int>(items_.size()); }
    void Add(std::string s) { items_.push_back(std::move(s)); }
    void Clear() noexcept { items_.clear(); }
    const std::string& Strings(int index) const;
    std::string& Strings(int index);
    const std::string& operator[](int index) const { return Strings(index); }
    std::string& operator[](int index) { return Strings(index); }
    void Assign(const TStringList& other) { items_ = other.items_; }
    void Delete(int index);
    void Insert(int index, std::string s);
    int IndexOf(const std::string& s) const;

    // One entry per line; CR LF, LF and a lone CR all end a line, and a last
    // line without terminator still counts. Raises EFOpenError when the file
    // cannot be read.
    void LoadFromFile(const std::string& fileName);

    const std::vector<std::string>& Items() const noexcept { return items_; }
    auto begin() const noexcept { return items_.begin(); }
    auto end() const noexcept { return items_.end(); }

private:
    [[noreturn]] static void IndexError(int index);
    std::vector<std::string> items_;
};

// A string list with nothing added; the name is kept because other parts of
// the system refer to it.
using TExStringList = TStringList;
