#pragma once
// Address-to-source answers from the DWARF information of one loaded ELF
// module (our own binaries are built with -g), through libdw. Names are kept
// in a table of their own so that callers see the same name indices as with
// the TD32 tables.
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

struct Dwfl;
struct Dwfl_Module;

class TDwarfInfo {
public:
    // `loadBias` is the difference between run-time and link-time addresses.
    TDwarfInfo(const std::string& fileName, uintptr_t loadBias);
    ~TDwarfInfo();
    TDwarfInfo(const TDwarfInfo&) = delete;
    TDwarfInfo& operator=(const TDwarfInfo&) = delete;

    bool Loaded() const noexcept { return module_ != nullptr; }
    // Reads every unit's line table, the unit ranges and the symbol table
    // now. libdw reads each of them on first use, and its line-table reader
    // alone needs a stack frame of about 150 KiB: a fatal-signal handler
    // must find them read already and only look up.
    void Preload();
    // Addresses are link-time addresses (run-time address minus the bias).
    // Unit: the compilation unit's source name without folder and extension;
    // procedure: the symbol's linkage name.
    bool UnitAt(uint64_t address, int& unitIndex, int& procedureIndex);
    bool LineAt(uint64_t address, int& sourceIndex, int& line);
    std::string NameOf(int index) const;

private:
    int Intern(const std::string& name);

    Dwfl* dwfl_ = nullptr;
    Dwfl_Module* module_ = nullptr;
    uintptr_t bias_ = 0;
    std::vector<std::string> names_;
    std::unordered_map<std::string, int> indexOf_;
};
