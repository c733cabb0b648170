#pragma once
// Base for classes that own a resource (a socket, a folder, a timer) which two
// copies must not both release. Deriving from it deletes copying and, since
// no move is declared, moving too. Raises nothing.

class NonCopyable {
public:
    NonCopyable(const NonCopyable&) = delete;
    NonCopyable& operator=(const NonCopyable&) = delete;

protected:
    NonCopyable() = default;
    ~NonCopyable() = default;
};
