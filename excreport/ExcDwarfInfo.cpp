#include "excreport/ExcDwarfInfo.h"

#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>

namespace {

// Only the debug information inside the module itself is used: a report must
// never wait on a debuginfod server or search the system's debug folders.
int NoSeparateDebugInfo(Dwfl_Module*, void**, const char*, Dwarf_Addr, const char*, const char*,
                        GElf_Word, char**) {
    return -1;
}

const Dwfl_Callbacks dwarfCallbacks = {
    nullptr,
    NoSeparateDebugInfo,
    dwfl_offline_section_address,
    nullptr,
};

// A generated name table could grow with every distinct address looked up;
// past this size new names are reported as missing.
constexpr size_t maxNames = 65536;

std::string WithoutFolder(const char* path) {
    std::string s = path;
    size_t slash = s.find_last_of('/');
    return slash == std::string::npos ? s : s.substr(slash + 1);
}

} // namespace

TDwarfInfo::TDwarfInfo(const std::string& fileName, uintptr_t loadBias) : bias_(loadBias) {
    dwfl_ = dwfl_begin(&dwarfCallbacks);
    if (dwfl_ == nullptr) {
        return;
    }
    dwfl_report_begin(dwfl_);
    module_ = dwfl_report_elf(dwfl_, fileName.c_str(), fileName.c_str(), -1, loadBias, false);
    dwfl_report_end(dwfl_, nullptr, nullptr);
}

TDwarfInfo::~TDwarfInfo() {
    if (dwfl_ != nullptr) {
        dwfl_end(dwfl_);
    }
}

void TDwarfInfo::Preload() {
    if (module_ == nullptr) {
        return;
    }
    Dwarf_Addr bias = 0;
    for (Dwarf_Die* cu = nullptr; (cu = dwfl_module_nextcu(module_, cu, &bias)) != nullptr;) {
        size_t lines = 0;
        dwfl_getsrclines(cu, &lines);
    }
    dwfl_module_getsymtab(module_);
    // The first address lookup builds the table of unit ranges.
    Dwarf_Addr low = 0;
    dwfl_module_info(module_, nullptr, &low, nullptr, nullptr, nullptr, nullptr, nullptr);
    Dwarf_Addr cuBias = 0;
    dwfl_module_addrdie(module_, low, &cuBias);
    dwfl_module_getsrc(module_, low);
}

int TDwarfInfo::Intern(const std::string& name) {
    auto it = indexOf_.find(name);
    if (it != indexOf_.end()) {
        return it->second;
    }
    if (names_.size() >= maxNames) {
        return -1;
    }
    names_.push_back(name);
    int index = static_cast<int>(names_.size()); // names are numbered from 1
    indexOf_.emplace(name, index);
    return index;
}

bool TDwarfInfo::UnitAt(uint64_t address, int& unitIndex, int& procedureIndex) {
    unitIndex = -1;
    procedureIndex = -1;
    if (module_ == nullptr) {
        return false;
    }
    Dwarf_Addr runtime = address + bias_;
    Dwarf_Addr cuBias = 0;
    if (Dwarf_Die* cu = dwfl_module_addrdie(module_, runtime, &cuBias)) {
        if (const char* name = dwarf_diename(cu)) {
            std::string unit = WithoutFolder(name);
            size_t dot = unit.find_last_of('.');
            if (dot != std::string::npos && dot > 0) {
                unit.erase(dot);
            }
            unitIndex = Intern(unit);
        }
    }
    if (const char* symbol = dwfl_module_addrname(module_, runtime)) {
        procedureIndex = Intern(symbol);
    }
    return unitIndex != -1 || procedureIndex != -1;
}

bool TDwarfInfo::LineAt(uint64_t address, int& sourceIndex, int& line) {
    sourceIndex = -1;
    line = -1;
    if (module_ == nullptr) {
        return false;
    }
    Dwfl_Line* found = dwfl_module_getsrc(module_, address + bias_);
    if (found == nullptr) {
        return false;
    }
    Dwarf_Addr lineAddress = 0;
    int lineNumber = 0;
    int column = 0;
    const char* file = dwfl_lineinfo(found, &lineAddress, &lineNumber, &column, nullptr, nullptr);
    if (file == nullptr || lineNumber <= 0) {
        return false;
    }
    sourceIndex = Intern(WithoutFolder(file));
    line = lineNumber;
    return sourceIndex != -1;
}

std::string TDwarfInfo::NameOf(int index) const {
    if (index < 1 || static_cast<size_t>(index) > names_.size()) {
        return {};
    }
    return names_[static_cast<size_t>(index) - 1];
}
