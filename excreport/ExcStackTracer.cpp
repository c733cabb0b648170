#include "excreport/ExcStackTracer.h"

#include <algorithm>
#include <sys/stat.h>

#include "excreport/ExcDwarfInfo.h"

namespace {

bool FileExists(const std::string& name) {
    struct stat st {};
    return ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string WithTdsExtension(const std::string& name) {
    size_t slash = name.find_last_of('/');
    size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        return name.substr(0, dot) + ".TDS";
    }
    return name + ".TDS";
}

// Asks `ask` of the DWARF reader when there is one, else of the TD32 one;
// both results start out -1, and false says no reader found the address.
template <class Ask>
bool AskEither(TDwarfInfo* dwarf, TTD32Info* td32, int& first, int& second, Ask ask) {
    first = -1;
    second = -1;
    if (dwarf != nullptr) {
        return ask(*dwarf);
    }
    return td32 != nullptr && ask(*td32);
}

} // namespace

// --- TModuleDebugInfo ------------------------------------------------------------

TModuleDebugInfo::TModuleDebugInfo(const std::string& fileName, uintptr_t moduleHandle,
                                   uintptr_t loadBias)
    : fileName_(fileName), moduleHandle_(moduleHandle), loadBias_(loadBias) {
    auto td32 = std::make_unique<TTD32Info>(fileName);
    signature_ = td32->Signature();
    if (!td32->Loaded()) {
        td32 = std::make_unique<TTD32Info>(WithTdsExtension(fileName));
        if (!td32->Signature().empty()) {
            signature_ = td32->Signature();
        }
    }
    if (td32->Loaded()) {
        td32_ = std::move(td32);
    } else if (FileExists(fileName)) {
        auto dwarf = std::make_unique<TDwarfInfo>(fileName, loadBias);
        if (dwarf->Loaded()) {
            dwarf_ = std::move(dwarf);
        }
    }
}

TModuleDebugInfo::~TModuleDebugInfo() = default;

bool TModuleDebugInfo::HasDwarf() const noexcept {
    return dwarf_ != nullptr;
}

void TModuleDebugInfo::Preload() {
    if (dwarf_ != nullptr) {
        dwarf_->Preload();
    }
}

uint64_t TModuleDebugInfo::RelativeAddress(uintptr_t address) const noexcept {
    if (dwarf_ != nullptr) {
        return address - loadBias_;
    }
    // The TD32 tables count from the code section, which follows the
    // 4096-byte image header.
    if (address == moduleHandle_) {
        return 0;
    }
    return address - moduleHandle_ - 4096;
}

bool TModuleDebugInfo::UnitAt(uint64_t relative, int& unitIndex, int& procedureIndex) {
    return AskEither(dwarf_.get(), td32_.get(), unitIndex, procedureIndex,
                     [&](auto& info) { return info.UnitAt(relative, unitIndex, procedureIndex); });
}

int TModuleDebugInfo::ProcedureAt(uint64_t relative, int moduleIndex) {
    return td32_ != nullptr ? td32_->ProcedureAt(relative, moduleIndex) : -1;
}

bool TModuleDebugInfo::LineAt(uint64_t relative, int& sourceIndex, int& line) {
    return AskEither(dwarf_.get(), td32_.get(), sourceIndex, line,
                     [&](auto& info) { return info.LineAt(relative, sourceIndex, line); });
}

std::string TModuleDebugInfo::NameOf(int index) {
    if (dwarf_ != nullptr) {
        return dwarf_->NameOf(index);
    }
    return td32_ != nullptr ? td32_->NameOf(index) : std::string();
}

// --- TExcCallStack --------------------------------------------------------------------

void TExcCallStack::Build(uintptr_t address, uintptr_t stackPointer, int most) {
    RefreshCodeRanges();
    std::vector<uintptr_t> found(static_cast<size_t>(std::max(most, 0)));
    int count = ScanStackForReturnAddresses(stackPointer, CurrentStackTop(), found.data(), most);
    BuildFrom(address, found.data(), count, most);
}

void TExcCallStack::BuildFrom(uintptr_t address, const uintptr_t* returnAddresses, int count,
                              int most) {
    Clear();
    if (most <= 0) {
        return;
    }
    entries_.reserve(static_cast<size_t>(most));
    Add(address);
    for (int i = 0; i < count && Count() < most; ++i) {
        Add(returnAddresses[i]);
    }
}

void TExcCallStack::Add(uintptr_t address) {
    TModuleDebugInfo* info = lookup_ ? lookup_(address) : nullptr;
    if (info == nullptr) {
        return;
    }
    if (!entries_.empty() && entries_.back().Address == address) {
        ++entries_.back().RepeatCount;
        return;
    }
    TExcCallStackEntry entry;
    entry.Info = info;
    entry.Address = address;
    entry.RepeatCount = 1;
    // The call instruction's last byte, not the instruction after it, which
    // may already belong to the next line or function.
    uint64_t relative = info->RelativeAddress(address - 1);
    info->LineAt(relative, entry.SourceIndex, entry.Line);
    info->UnitAt(relative, entry.UnitIndex, entry.ProcedureIndex);
    entries_.push_back(entry);
}

bool TExcCallStack::Entry(int index, TExcCallStackEntry& entry) const {
    if (index < 0 || index >= Count()) {
        return false;
    }
    entry = entries_[static_cast<size_t>(index)];
    return true;
}
