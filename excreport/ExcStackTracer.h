#pragma once
// Turns code addresses of the running process into module, unit, procedure,
// source file and line, and walks a thread's stack for return addresses.
// Debug information is read from a TD32 container (at the end of the module
// file or in a ".TDS" file beside it) or, for our own ELF binaries, from
// their DWARF information.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "excreport/ExcMemMap.h"

class TDwarfInfo;

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

class TModuleDebugInfo {
public:
    // `moduleHandle` is the module's load address (where its image starts);
    // `loadBias` the difference between run-time and link-time addresses of
    // an ELF module (used for its DWARF information).
    TModuleDebugInfo(const std::string& fileName, uintptr_t moduleHandle, uintptr_t loadBias = 0);
    ~TModuleDebugInfo();
    TModuleDebugInfo(const TModuleDebugInfo&) = delete;
    TModuleDebugInfo& operator=(const TModuleDebugInfo&) = delete;

    // Lookups by relative address; each answers -1 for what is missing.
    bool UnitAt(uint64_t relative, int& unitIndex, int& procedureIndex);
    int ProcedureAt(uint64_t relative, int moduleIndex);
    bool LineAt(uint64_t relative, int& sourceIndex, int& line);
    // Empty when out of range or without a name table.
    std::string NameOf(int index);
    bool IsFB09() const noexcept { return signature_ == "FB09"; }

    // The address relative to the module as its debug information counts:
    // TD32 tables from the code section (load address + 4096), DWARF from
    // the link-time addresses.
    uint64_t RelativeAddress(uintptr_t address) const noexcept;

    bool Loaded() const noexcept { return loaded_ || HasDwarf(); }
    bool HasTD32() const noexcept { return loaded_; }
    bool HasDwarf() const noexcept;
    const std::string& FileName() const noexcept { return fileName_; }
    uintptr_t ModuleHandle() const noexcept { return moduleHandle_; }
    const std::string& Signature() const noexcept { return signature_; }

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
    std::string fileName_;
    uintptr_t moduleHandle_ = 0;
    uintptr_t loadBias_ = 0;
    bool loaded_ = false;
    std::string signature_;
    uint32_t distance_ = 0;
    int64_t base_ = 0;
    uint32_t directoryOffset_ = 0;
    TTD32DirectoryHeader header_;
    std::vector<TTD32DirectoryEntry> entries_;
    std::vector<int64_t> namePositions_;
    std::unique_ptr<TDwarfInfo> dwarf_;
};

// --- memory of the running process ---------------------------------------

// Copies `count` bytes at `address` into `buffer`; false when any of them
// cannot be read. Never faults.
bool ReadProcessMemory(uintptr_t address, void* buffer, size_t count) noexcept;
// Whether `address` lies in an executable segment of a loaded module.
bool IsCodeAddress(uintptr_t address) noexcept;
// Re-reads the list of loaded modules' code segments when modules were
// loaded or unloaded since the last time. Not for signal handlers.
void RefreshCodeRanges() noexcept;
// Whether `value` is a return address: a call instruction ends right before it.
bool IsReturnAddress(uintptr_t value) noexcept;
// The highest address of the calling thread's stack (cached per thread).
uintptr_t CurrentStackTop() noexcept;
// Scans the stack words from `sp` up to `top` for return addresses and
// writes at most `most` of them to `out`; returns how many. Allocates
// nothing.
int ScanStackForReturnAddresses(uintptr_t sp, uintptr_t top, uintptr_t* out, int most) noexcept;

// --- call stack -------------------------------------------------------------

struct TExcCallStackEntry {
    TModuleDebugInfo* Info = nullptr;
    uintptr_t Address = 0;
    int UnitIndex = -1;
    int ProcedureIndex = -1;
    int SourceIndex = -1;
    int Line = -1;
    int RepeatCount = 0;
};

class TExcCallStack {
public:
    // Finds the debug information of the module containing an address, or
    // null for an address outside every module.
    using TModuleLookup = std::function<TModuleDebugInfo*(uintptr_t address)>;

    explicit TExcCallStack(TModuleLookup lookup) : lookup_(std::move(lookup)) {}

    // The exception address, then the return addresses found on the stack
    // from `stackPointer` up to the thread's stack top.
    void Build(uintptr_t address, uintptr_t stackPointer, int most);
    // The same from return addresses collected earlier (at the raise).
    void BuildFrom(uintptr_t address, const uintptr_t* returnAddresses, int count, int most);
    void Add(uintptr_t address);
    int Count() const noexcept { return static_cast<int>(entries_.size()); }
    // False (and `entry` untouched) when out of range.
    bool Entry(int index, TExcCallStackEntry& entry) const;
    void Clear() noexcept { entries_.clear(); }

private:
    TModuleLookup lookup_;
    std::vector<TExcCallStackEntry> entries_;
};
