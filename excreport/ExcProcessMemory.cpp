#include "excreport/ExcProcessMemory.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <link.h>
#include <mutex>
#include <pthread.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

struct TCodeRange {
    uintptr_t Start;
    uintptr_t End;
    bool Readable;
};

// Executable segments of the loaded modules, sorted; refreshed only when the
// loader reports modules added or removed.
constexpr int maxCodeRanges = 1024;
TCodeRange codeRanges[maxCodeRanges];
std::atomic<int> codeRangeCount{0};
unsigned long long seenAdds = 0;
unsigned long long seenSubs = 0;
std::mutex codeRangesLock;

struct TRefresh {
    TCodeRange ranges[maxCodeRanges];
    int count = 0;
    bool first = true;
    bool unchanged = false;
};

int CollectCodeRanges(struct dl_phdr_info* info, size_t size, void* data) {
    auto* r = static_cast<TRefresh*>(data);
    if (r->first) {
        r->first = false;
        if (size >= offsetof(struct dl_phdr_info, dlpi_subs) + sizeof(info->dlpi_subs) &&
            info->dlpi_adds == seenAdds && info->dlpi_subs == seenSubs &&
            codeRangeCount.load() > 0) {
            r->unchanged = true;
            return 1;
        }
        seenAdds = info->dlpi_adds;
        seenSubs = info->dlpi_subs;
    }
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto& ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X) != 0 && r->count < maxCodeRanges) {
            uintptr_t start = info->dlpi_addr + ph.p_vaddr;
            r->ranges[r->count++] = {start, start + ph.p_memsz, (ph.p_flags & PF_R) != 0};
        }
    }
    return 0;
}

thread_local uintptr_t cachedStackTop = 0;

} // namespace

void RefreshCodeRanges() noexcept {
    std::lock_guard<std::mutex> guard(codeRangesLock);
    static TRefresh refresh;
    refresh.count = 0;
    refresh.first = true;
    refresh.unchanged = false;
    dl_iterate_phdr(CollectCodeRanges, &refresh);
    if (refresh.unchanged) {
        return;
    }
    std::sort(refresh.ranges, refresh.ranges + refresh.count,
              [](const TCodeRange& a, const TCodeRange& b) { return a.Start < b.Start; });
    codeRangeCount.store(0);
    std::copy(refresh.ranges, refresh.ranges + refresh.count, codeRanges);
    codeRangeCount.store(refresh.count);
}

namespace {

const TCodeRange* FindCodeRange(uintptr_t address) noexcept {
    int count = codeRangeCount.load();
    int low = 0;
    int high = count - 1;
    while (low <= high) {
        int middle = (low + high) / 2;
        if (address < codeRanges[middle].Start) {
            high = middle - 1;
        } else if (address >= codeRanges[middle].End) {
            low = middle + 1;
        } else {
            return &codeRanges[middle];
        }
    }
    return nullptr;
}

} // namespace

bool IsCodeAddress(uintptr_t address) noexcept {
    return FindCodeRange(address) != nullptr;
}

bool ReadProcessMemory(uintptr_t address, void* buffer, size_t count) noexcept {
    if (count == 0) {
        return true;
    }
    // The kernel copies from our own address space and reports a hole as an
    // error instead of a fault; the sanitizers do not look at it either.
    struct iovec local {
        buffer, count
    };
    struct iovec remote {
        reinterpret_cast<void*>(address), count
    };
    ssize_t n = ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0);
    return n == static_cast<ssize_t>(count);
}

uintptr_t CurrentStackTop() noexcept {
    if (cachedStackTop != 0) {
        return cachedStackTop;
    }
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* low = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attr, &low, &size) == 0) {
            cachedStackTop = reinterpret_cast<uintptr_t>(low) + size;
        }
        pthread_attr_destroy(&attr);
    }
    return cachedStackTop;
}

bool IsReturnAddress(uintptr_t value) noexcept {
    const TCodeRange* range = value < 8 ? nullptr : FindCodeRange(value);
    if (range == nullptr) {
        return false;
    }
    uint8_t b[8]; // b[8 - n] is the byte at value - n
    // Inside a readable mapped segment the bytes are read directly: this
    // test runs for every stack word at each raise.
    if (range->Readable && value - 8 >= range->Start) {
        std::memcpy(b, reinterpret_cast<const void*>(value - 8), sizeof b);
    } else if (!ReadProcessMemory(value - 8, b, sizeof b)) {
        return true;
    }
    auto at = [&](int back) { return b[8 - back]; };
    // call rel32
    if (at(5) == 0xE8) {
        int32_t displacement;
        std::memcpy(&displacement, &b[4], 4);
        if (IsCodeAddress(value + static_cast<intptr_t>(displacement))) {
            return true;
        }
    }
    // Indirect calls (0xFF /2). A REX prefix, when present, comes before the
    // 0xFF, so the same positions hold on x86-64; "0xFF 0x15 disp32" there is
    // RIP-relative instead of absolute.
    if (at(2) == 0xFF && at(1) >= 0xD0 && at(1) <= 0xD7) {
        return true;
    }
    if (at(2) == 0xFF && at(1) >= 0x10 && at(1) <= 0x17 && at(1) != 0x14) {
        return true;
    }
    if (at(3) == 0xFF && at(2) == 0x14 && (at(1) & 7) != 5) {
        return true;
    }
    if (at(3) == 0xFF && at(2) >= 0x50 && at(2) <= 0x57 && at(2) != 0x54) {
        return true;
    }
    if (at(4) == 0xFF && at(3) == 0x54) {
        return true;
    }
    if (at(6) == 0xFF && at(5) >= 0x90 && at(5) <= 0x97 && at(5) != 0x94) {
        return true;
    }
    if (at(7) == 0xFF && at(6) == 0x94) {
        return true;
    }
    if (at(6) == 0xFF && at(5) == 0x15) {
        return true;
    }
    if (at(7) == 0xFF && at(6) == 0x14) {
        return true;
    }
    return at(1) == 0xC3;
}

int ScanStackForReturnAddresses(uintptr_t sp, uintptr_t top, uintptr_t* out, int most) noexcept {
    // Bounded, so that a throw deep in a big stack stays cheap.
    constexpr uintptr_t maxScan = 1u << 20;
    sp &= ~static_cast<uintptr_t>(sizeof(uintptr_t) - 1);
    if (top <= sp) {
        return 0;
    }
    if (top - sp > maxScan) {
        top = sp + maxScan;
    }
    int count = 0;
    uintptr_t chunk[256];
    for (uintptr_t at = sp; at < top && count < most;) {
        size_t bytes = std::min<uintptr_t>(sizeof chunk, top - at);
        size_t words = bytes / sizeof(uintptr_t);
        if (words == 0) {
            break;
        }
        if (!ReadProcessMemory(at, chunk, words * sizeof(uintptr_t))) {
            // Unreadable stack memory ends nothing: the next page is tried.
            at = (at | 4095) + 1;
            continue;
        }
        for (size_t i = 0; i < words && count < most; ++i) {
            if (IsReturnAddress(chunk[i])) {
                out[count++] = chunk[i];
            }
        }
        at += words * sizeof(uintptr_t);
    }
    return count;
}
