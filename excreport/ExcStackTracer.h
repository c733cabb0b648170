#pragma once
// Turns code addresses of the running process into module, unit, procedure,
// source file and line, and walks a thread's stack for return addresses.
// Debug information is read from a TD32 container (at the end of the module
// file or in a ".TDS" file beside it; TTD32Info) or, for our own ELF
// binaries, from their DWARF information (TDwarfInfo).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "excreport/ExcMemMap.h"
#include "excreport/ExcProcessMemory.h"
#include "excreport/ExcTD32Info.h"

class TDwarfInfo;

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
    // Reads now what the lookups would read on first use (see
    // TDwarfInfo::Preload); the TD32 tables need nothing of the kind.
    void Preload();
    // Empty when out of range or without a name table.
    std::string NameOf(int index);
    bool IsFB09() const noexcept { return signature_ == "FB09"; }

    // The address relative to the module as its debug information counts:
    // TD32 tables from the code section (load address + 4096), DWARF from
    // the link-time addresses.
    uint64_t RelativeAddress(uintptr_t address) const noexcept;

    bool Loaded() const noexcept { return HasTD32() || HasDwarf(); }
    bool HasTD32() const noexcept { return td32_ != nullptr; }
    bool HasDwarf() const noexcept;
    const std::string& FileName() const noexcept { return fileName_; }
    uintptr_t ModuleHandle() const noexcept { return moduleHandle_; }
    const std::string& Signature() const noexcept { return signature_; }

private:
    std::string fileName_;
    uintptr_t moduleHandle_ = 0;
    uintptr_t loadBias_ = 0;
    std::string signature_;
    std::unique_ptr<TTD32Info> td32_;
    std::unique_ptr<TDwarfInfo> dwarf_;
};

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
