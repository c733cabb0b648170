#pragma once
// A fresh folder for one test, removed with everything in it afterwards.
#include <string>

#include "platform/NonCopyable.h"

class TempDir : NonCopyable {
public:
    TempDir();
    ~TempDir();

    const std::string& Path() const noexcept { return path_; }
    // Path() + "/" + name
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    void Write(const std::string& name, const std::string& data) const;
    std::string Read(const std::string& name) const;
    bool Exists(const std::string& name) const;

private:
    std::string path_;
};
