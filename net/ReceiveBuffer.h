#pragma once
// Bytes received but not yet handed out. Reads go straight into its spare
// room, which is never cleared again once allocated: a line reader fills it
// chunk by chunk, and zero-filling every chunk would cost more than the copy
// the kernel makes.
//
// Errors: only Tail can fail, with std::bad_alloc when the room cannot be
// had; everything else raises nothing.
#include <cstddef>
#include <cstring>
#include <vector>

class TReceiveBuffer {
public:
    std::size_t Available() const noexcept { return end_ - start_; }
    const char* Data() const noexcept { return storage_.data() + start_; }
    void Clear() noexcept { start_ = end_ = 0; }
    // Drops the first `count` unread bytes.
    void Consume(std::size_t count) noexcept {
        start_ += count;
        if (start_ == end_) {
            Clear();
        }
    }
    // Room for at least `count` more bytes after the unread ones, moving the
    // unread bytes to the front when that frees enough room.
    char* Tail(std::size_t count) {
        if (start_ > 0 && end_ + count > storage_.size()) {
            std::memmove(storage_.data(), storage_.data() + start_, end_ - start_);
            end_ -= start_;
            start_ = 0;
        }
        if (end_ + count > storage_.size()) {
            storage_.resize(end_ + count);
        }
        return storage_.data() + end_;
    }
    // Counts `count` bytes written into the room Tail gave as unread.
    void Commit(std::size_t count) noexcept { end_ += count; }

private:
    std::vector<char> storage_;
    std::size_t start_ = 0;
    std::size_t end_ = 0;
};
