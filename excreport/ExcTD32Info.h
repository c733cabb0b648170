#pragma once
// Address-to-source answers from a TD32 debug-information container, the
// older format: appended to a module file or kept in a ".TDS" file beside
// it, read through a memory-mapped stream whose view is dropped again after
// each lookup. A malformed container is not loaded or answers "missing"; it
// never makes a lookup read outside its bytes.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "excreport/ExcMemMap.h"

struct TTD32DirectoryHeader {
    uint16_t HeaderSize = 0;
    uint16_t EntrySize = 0;
    uint32_t EntryCount = 0;
    uint32_t NextDirectory = 0;
    uint32_t Flags = 0;
};

struct TTD32DirectoryEntry {
    uint16_t Type = 0;
    uint16_t ModuleIndex = 0;
    uint32_t Offset = 0;
    uint32_t Size = 0;
};

class TTD32Info {
public:
    // Reads the container at the end of `fileName`; raises nothing: a file
    // that is missing, unreadable or without a valid container is not
    // loaded.
    explicit TTD32Info(const std::string& fileName);
    ~TTD32Info();
    TTD32Info(const TTD32Info&) = delete;
    TTD32Info& operator=(const TTD32Info&) = delete;

    bool Loaded() const noexcept { return loaded_; }
    // "FB09" or "FB0A" once the container's start was found (also when the
    // directory behind it then failed), else empty.
    const std::string& Signature() const noexcept { return signature_; }

    // Lookups by address relative to the code section; each answers -1 for
    // what is missing.
    bool UnitAt(uint64_t relative, int& unitIndex, int& procedureIndex);
    int ProcedureAt(uint64_t relative, int moduleIndex);
    bool LineAt(uint64_t relative, int& sourceIndex, int& line);
    // Empty when out of range or without a name table.
    std::string NameOf(int index);

private:
    bool TryOpen(const std::string& fileName);
    bool Load();
    void Close() noexcept;
    bool ReadAt(int64_t position, void* buffer, int64_t count);
    bool ReadDWordAt(int64_t position, uint32_t& value);
    // The bytes of one subsection, valid until the next read.
    const uint8_t* Subsection(const TTD32DirectoryEntry& entry);
    bool LineAtSourceTable(const TTD32DirectoryEntry& entry, uint64_t relative, int& sourceIndex,
                           int& line);
    bool LineAtCompactTable(const TTD32DirectoryEntry& entry, uint64_t relative, int& sourceIndex,
                            int& line);
    int ProcedureInSymbols(const TTD32DirectoryEntry& entry, uint64_t relative);
    int ProcedureInCompactTable(const TTD32DirectoryEntry& entry, uint64_t relative);

    std::unique_ptr<TMMFileStream> stream_;
    bool loaded_ = false;
    std::string signature_;
    uint32_t distance_ = 0;
    int64_t base_ = 0;
    uint32_t directoryOffset_ = 0;
    TTD32DirectoryHeader header_;
    std::vector<TTD32DirectoryEntry> entries_;
    std::vector<int64_t> namePositions_;
};
