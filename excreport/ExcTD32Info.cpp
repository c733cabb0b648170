#include "excreport/ExcTD32Info.h"

#include <algorithm>
#include <sys/stat.h>

namespace {

constexpr uint16_t sstModule = 0x120;
constexpr uint16_t sstSymbols = 0x125;
constexpr uint16_t sstSrcModule = 0x127;
constexpr uint16_t sstNames = 0x130;
constexpr uint16_t sstCompactProcedures = 0xF125;
constexpr uint16_t sstCompactLines = 0xF127;

// A malformed container must not make a lookup run for long or read wild
// memory: counts are checked against the bytes that hold them.
uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool FileExists(const std::string& name) {
    struct stat st {};
    return ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Reads one packed number of the compact procedure table; false past `end`.
bool ReadPacked(const uint8_t*& p, const uint8_t* end, uint32_t& value) {
    if (p >= end) {
        return false;
    }
    if ((p[0] & 1) == 0) {
        value = p[0] >> 1;
        p += 1;
    } else if ((p[0] & 3) == 1) {
        if (end - p < 2) {
            return false;
        }
        value = U16(p) >> 2;
        p += 2;
    } else {
        if (end - p < 4) {
            return false;
        }
        value = U32(p) >> 2;
        p += 4;
    }
    return true;
}

} // namespace
TTD32Info::TTD32Info(const std::string& fileName) {
    TryOpen(fileName);
}

TTD32Info::~TTD32Info() = default;

void TTD32Info::Close() noexcept {
    stream_.reset();
    loaded_ = false;
    entries_.clear();
    namePositions_.clear();
}

bool TTD32Info::TryOpen(const std::string& fileName) {
    Close();
    if (!FileExists(fileName)) {
        return false;
    }
    try {
        stream_ = std::make_unique<TMMFileStream>(fileName, "ExcMagic." + fileName,
                                                  TMMFileStream::fmOpenRead);
    } catch (const std::exception&) {
        stream_.reset();
        return false;
    }
    try {
        loaded_ = Load();
    } catch (const std::exception&) {
        loaded_ = false;
    }
    if (!loaded_) {
        stream_.reset();
    } else {
        stream_->Unmap();
    }
    return loaded_;
}

bool TTD32Info::ReadAt(int64_t position, void* buffer, int64_t count) {
    if (stream_ == nullptr || position < 0) {
        return false;
    }
    stream_->Seek(position, TMMFileStream::soFromBeginning);
    return stream_->Read(buffer, count) == count;
}

bool TTD32Info::ReadDWordAt(int64_t position, uint32_t& value) {
    uint8_t b[4];
    if (!ReadAt(position, b, 4)) {
        return false;
    }
    value = U32(b);
    return true;
}

bool TTD32Info::Load() {
    int64_t size = stream_->Size();
    if (size < 8) {
        return false;
    }
    char tail[8];
    if (!ReadAt(size - 8, tail, 8)) {
        return false;
    }
    std::string signature(tail, 4);
    if (signature != "FB09" && signature != "FB0A") {
        return false;
    }
    distance_ = U32(reinterpret_cast<const uint8_t*>(tail + 4));
    if (distance_ < 8 || distance_ > size) {
        return false;
    }
    base_ = size - distance_;
    char head[8];
    if (!ReadAt(base_, head, 8)) {
        return false;
    }
    signature_.assign(head, 4);
    if (signature_ != "FB09" && signature_ != "FB0A") {
        return false;
    }
    directoryOffset_ = U32(reinterpret_cast<const uint8_t*>(head + 4));
    uint8_t h[16];
    if (!ReadAt(base_ + directoryOffset_, h, 16)) {
        return false;
    }
    header_.HeaderSize = U16(h);
    header_.EntrySize = U16(h + 2);
    header_.EntryCount = U32(h + 4);
    header_.NextDirectory = U32(h + 8);
    header_.Flags = U32(h + 12);
    if (header_.HeaderSize != 16 || header_.EntrySize != 12) {
        return false;
    }
    int64_t entriesAt = base_ + directoryOffset_ + 16;
    if (static_cast<int64_t>(header_.EntryCount) * 12 > size - entriesAt) {
        return false;
    }
    const uint8_t* p = stream_->ViewAt(entriesAt, static_cast<int64_t>(header_.EntryCount) * 12);
    if (p == nullptr && header_.EntryCount > 0) {
        return false;
    }
    entries_.resize(header_.EntryCount);
    for (uint32_t i = 0; i < header_.EntryCount; ++i, p += 12) {
        entries_[i] = {U16(p), U16(p + 2), U32(p + 4), U32(p + 8)};
    }
    const TTD32DirectoryEntry* names = nullptr;
    for (const auto& e : entries_) {
        if (e.Type == sstNames) {
            names = &e;
        }
    }
    if (names != nullptr) {
        if (const uint8_t* t = Subsection(*names)) {
            uint32_t count = names->Size >= 4 ? U32(t) : 0;
            // Each name takes at least its length byte and terminator.
            count = std::min(count, names->Size / 2);
            uint32_t at = 4;
            for (uint32_t i = 0; i < count && at < names->Size; ++i) {
                namePositions_.push_back(base_ + names->Offset + at);
                at += 1u + t[at] + 1u;
            }
        }
    }
    return true;
}

const uint8_t* TTD32Info::Subsection(const TTD32DirectoryEntry& entry) {
    if (stream_ == nullptr || entry.Size == 0) {
        return nullptr;
    }
    return stream_->ViewAt(base_ + entry.Offset, entry.Size);
}

std::string TTD32Info::NameOf(int index) {
    if (!loaded_ || index < 1 || static_cast<size_t>(index) > namePositions_.size()) {
        return {};
    }
    std::string name;
    try {
        uint8_t length = 0;
        int64_t at = namePositions_[static_cast<size_t>(index) - 1];
        if (ReadAt(at, &length, 1)) {
            name.resize(length);
            if (!ReadAt(at + 1, name.data(), length)) {
                name.clear();
            }
        }
        stream_->Unmap();
    } catch (const std::exception&) {
        name.clear();
    }
    return name;
}

bool TTD32Info::UnitAt(uint64_t relative, int& unitIndex, int& procedureIndex) {
    unitIndex = -1;
    procedureIndex = -1;
    if (!loaded_) {
        return false;
    }
    try {
        for (const auto& e : entries_) {
            if (e.Type != sstModule || e.Size < 28) {
                continue;
            }
            const uint8_t* p = Subsection(e);
            if (p == nullptr) {
                continue;
            }
            uint16_t segments = U16(p + 4);
            uint32_t nameIndex = U32(p + 8);
            for (uint32_t s = 0; s < segments && 28 + (s + 1) * 12 <= e.Size; ++s) {
                const uint8_t* seg = p + 28 + s * 12;
                uint16_t flags = U16(seg + 2);
                uint64_t offset = U32(seg + 4);
                uint64_t size = U32(seg + 8);
                if ((flags & 1) != 0 && offset <= relative && relative < offset + size) {
                    unitIndex = static_cast<int>(nameIndex);
                    uint16_t module = e.ModuleIndex;
                    procedureIndex = ProcedureAt(relative, module);
                    stream_->Unmap();
                    return true;
                }
            }
        }
        stream_->Unmap();
    } catch (const std::exception&) {
        // An unreadable view leaves the answer missing.
    }
    return false;
}

int TTD32Info::ProcedureAt(uint64_t relative, int moduleIndex) {
    if (!loaded_) {
        return -1;
    }
    for (const auto& e : entries_) {
        if (e.ModuleIndex != moduleIndex) {
            continue;
        }
        int found = -1;
        if (e.Type == sstSymbols) {
            found = ProcedureInSymbols(e, relative);
        } else if (e.Type == sstCompactProcedures) {
            found = ProcedureInCompactTable(e, relative);
        }
        if (found != -1) {
            return found;
        }
    }
    return -1;
}

int TTD32Info::ProcedureInSymbols(const TTD32DirectoryEntry& e, uint64_t relative) {
    const uint8_t* p = Subsection(e);
    if (p == nullptr || e.Size < 4 || U32(p) != 1) {
        return -1;
    }
    uint32_t at = 4;
    while (at + 4 <= e.Size) {
        uint16_t length = U16(p + at);
        uint16_t type = U16(p + at + 2);
        if (length < 2) {
            break;
        }
        if ((type == 0x204 || type == 0x205) && at + 4 + 44 <= e.Size) {
            const uint8_t* body = p + at + 4;
            uint64_t procLength = U32(body + 12);
            uint64_t start = U32(body + 24);
            if (start <= relative && relative < start + procLength) {
                return static_cast<int>(U32(body + 36));
            }
        }
        at += 2u + length;
    }
    return -1;
}

int TTD32Info::ProcedureInCompactTable(const TTD32DirectoryEntry& e, uint64_t relative) {
    const uint8_t* p = Subsection(e);
    if (p == nullptr || e.Size < 16 || U32(p) != 1) {
        return -1;
    }
    uint32_t kind = U32(p + 4);
    uint32_t count = U32(p + 8);
    uint32_t firstName = U32(p + 12);
    const uint8_t* end = p + e.Size;
    const uint8_t* t = p + 16;
    if (kind == 0) {
        for (uint32_t k = 0; k < count && end - t >= 8; ++k, t += 8) {
            if (U32(t) <= relative && relative <= U32(t + 4)) {
                return static_cast<int>(firstName + k);
            }
        }
    } else if (kind == 2) {
        if (end - t < 4) {
            return -1;
        }
        uint64_t start = U32(t);
        t += 4;
        for (uint32_t k = 0; k < count; ++k) {
            uint32_t delta = 0;
            uint32_t length = 0;
            if (!ReadPacked(t, end, delta) || !ReadPacked(t, end, length)) {
                return -1;
            }
            start += delta;
            if (start > relative) {
                return -1;
            }
            if (relative + 1 <= start + length) {
                return static_cast<int>(firstName + k);
            }
        }
    }
    return -1;
}

bool TTD32Info::LineAt(uint64_t relative, int& sourceIndex, int& line) {
    sourceIndex = -1;
    line = -1;
    if (!loaded_) {
        return false;
    }
    bool found = false;
    try {
        for (const auto& e : entries_) {
            if (e.Type == sstSrcModule) {
                found = LineAtSourceTable(e, relative, sourceIndex, line);
            } else if (e.Type == sstCompactLines) {
                found = LineAtCompactTable(e, relative, sourceIndex, line);
            }
            if (found) {
                break;
            }
        }
        stream_->Unmap();
    } catch (const std::exception&) {
        found = false;
    }
    if (!found) {
        sourceIndex = -1;
        line = -1;
    }
    return found;
}

bool TTD32Info::LineAtSourceTable(const TTD32DirectoryEntry& e, uint64_t relative, int& sourceIndex,
                                  int& line) {
    const uint8_t* p = Subsection(e);
    if (p == nullptr || e.Size < 4) {
        return false;
    }
    const uint64_t size = e.Size;
    uint16_t files = U16(p);
    uint16_t segments = U16(p + 2);
    uint64_t rangesAt = 4 + 4ull * files;
    if (rangesAt + 8ull * segments > size) {
        return false;
    }
    bool inSegment = false;
    for (uint16_t s = 0; s < segments; ++s) {
        const uint8_t* r = p + rangesAt + 8ull * s;
        if (U32(r) <= relative && relative <= U32(r + 4)) {
            inSegment = true;
        }
    }
    if (!inSegment) {
        return false;
    }
    for (uint16_t f = 0; f < files; ++f) {
        uint64_t fileAt = U32(p + 4 + 4ull * f);
        if (fileAt + 6 > size) {
            continue;
        }
        uint16_t fileSegments = U16(p + fileAt);
        uint32_t nameIndex = U32(p + fileAt + 2);
        uint64_t blocksAt = fileAt + 6;
        uint64_t fileRangesAt = blocksAt + 4ull * fileSegments;
        if (fileRangesAt + 8ull * fileSegments > size) {
            continue;
        }
        for (uint16_t s = 0; s < fileSegments; ++s) {
            const uint8_t* r = p + fileRangesAt + 8ull * s;
            if (!(U32(r) <= relative && relative <= U32(r + 4))) {
                continue;
            }
            uint64_t blockAt = U32(p + blocksAt + 4ull * s);
            if (blockAt + 4 > size) {
                continue;
            }
            uint32_t pairs = U16(p + blockAt + 2);
            uint64_t offsetsAt = blockAt + 4;
            uint64_t linesAt = offsetsAt + 4ull * pairs;
            if (pairs == 0 || linesAt + 2ull * pairs > size) {
                continue;
            }
            auto offset = [&](uint32_t i) { return U32(p + offsetsAt + 4ull * i); };
            uint32_t low = 0;
            uint32_t high = pairs - 1;
            while (low + 1 < high) {
                uint32_t middle = (low + high) / 2;
                if (relative < offset(middle)) {
                    high = middle;
                } else {
                    low = middle;
                }
            }
            uint32_t at = relative == offset(high) ? high : low;
            uint16_t number = U16(p + linesAt + 2ull * at);
            if (number == 0) {
                continue;
            }
            sourceIndex = static_cast<int>(nameIndex);
            line = number;
            return true;
        }
    }
    return false;
}

bool TTD32Info::LineAtCompactTable(const TTD32DirectoryEntry& e, uint64_t relative,
                                   int& sourceIndex, int& line) {
    const uint8_t* p = Subsection(e);
    if (p == nullptr || e.Size < 8 || U32(p) != 1) {
        return false;
    }
    const uint64_t size = e.Size;
    uint32_t ranges = U32(p + 4);
    for (uint64_t r = 0; r < ranges && 8 + 16 * (r + 1) <= size; ++r) {
        const uint8_t* range = p + 8 + 16 * r;
        if (!(U32(range) <= relative && relative <= U32(range + 4))) {
            continue;
        }
        uint64_t dataAt = U32(range + 12);
        if (dataAt + 12 > size) {
            return false;
        }
        uint64_t steps = U32(p + dataAt);
        uint64_t address = U32(p + dataAt + 4);
        int64_t number = U32(p + dataAt + 8);
        steps = std::min<uint64_t>(steps, (size - dataAt - 12) / 2);
        const uint8_t* step = p + dataAt + 12;
        for (uint64_t i = 0; i < steps; ++i, step += 2) {
            address += step[0];
            if (address > relative) {
                break;
            }
            number += static_cast<int8_t>(step[1]);
        }
        sourceIndex = static_cast<int>(U32(range + 8));
        line = static_cast<int>(number);
        return true;
    }
    return false;
}
