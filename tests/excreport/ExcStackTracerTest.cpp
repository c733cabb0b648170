#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "excreport/ExcMemMap.h"
#include "excreport/ExcStackTracer.h"
#include "support/TempDir.h"

namespace {

// Builds a TD32 container byte by byte, as a linker appends it to a module.
class TD32Builder {
public:
    void AddSubsection(uint16_t type, uint16_t module, std::string bytes) {
        subsections_.push_back({type, module, std::move(bytes)});
    }
    // `prefix`: the module's own bytes before the container.
    std::string Build(const std::string& prefix, const char* signature = "FB09") const {
        std::string body;
        std::vector<std::pair<uint32_t, uint32_t>> placed;
        uint32_t at = 8;
        for (const auto& s : subsections_) {
            placed.emplace_back(at, static_cast<uint32_t>(s.bytes.size()));
            body += s.bytes;
            at += static_cast<uint32_t>(s.bytes.size());
        }
        std::string directory =
            U16(16) + U16(12) + U32(static_cast<uint32_t>(subsections_.size())) + U32(0) + U32(0);
        for (size_t i = 0; i < subsections_.size(); ++i) {
            directory += U16(subsections_[i].type) + U16(subsections_[i].module) +
                         U32(placed[i].first) + U32(placed[i].second);
        }
        std::string container = std::string(signature, 4) + U32(at) + body + directory;
        uint32_t distance = static_cast<uint32_t>(container.size() + 8);
        return prefix + container + std::string(signature, 4) + U32(distance);
    }

    static std::string U16(uint16_t v) { return std::string{char(v & 0xFF), char(v >> 8)}; }
    static std::string U32(uint32_t v) {
        return U16(uint16_t(v & 0xFFFF)) + U16(uint16_t(v >> 16));
    }

private:
    struct Sub {
        uint16_t type;
        uint16_t module;
        std::string bytes;
    };
    std::vector<Sub> subsections_;
};

using B = TD32Builder;

std::string Names(const std::vector<std::string>& names) {
    std::string s = B::U32(static_cast<uint32_t>(names.size()));
    for (const auto& n : names) {
        s += char(n.size()) + n + '\0';
    }
    return s;
}

// Unit "MailRead" (name 1), code 0x100..0x1FF; lines from MailRead.cpp (name
// 2) in a compact line table; two procedures in a compact table of kind 2.
std::string MailReadModule(const char* signature = "FB09") {
    TD32Builder b;
    std::string unit = B::U16(0) + B::U16(0) + B::U16(1) + "CV" + B::U32(1) + B::U32(0) +
                       std::string(12, '\0') + B::U16(1) + B::U16(1) + B::U32(0x100) +
                       B::U32(0x100);
    b.AddSubsection(0x120, 1, unit);
    // Range 0x100..0x1FF, line data at 24: three steps from line 10.
    std::string lines = B::U32(1) + B::U32(1) + B::U32(0x100) + B::U32(0x1FF) + B::U32(2) +
                        B::U32(24) + B::U32(3) + B::U32(0x100) + B::U32(10) +
                        std::string{0x10, 2, 0x10, 3, 0x20, -1};
    b.AddSubsection(0xF127, 1, lines);
    // Kind 2 from 0x100: (delta 0, length 0x40), (delta 0x80 in two bytes,
    // length 0x60): 0x100..0x13F and 0x180..0x1DF, names 3 and 4.
    std::string procedures = B::U32(1) + B::U32(2) + B::U32(2) + B::U32(3) + B::U32(0x100) +
                             std::string{0x00, char(0x80), 0x01, 0x02, char(0xC0)};
    b.AddSubsection(0xF125, 1, procedures);
    b.AddSubsection(
        0x130, 0,
        Names({"MailRead", "MailRead.cpp", "TfmOptions.Timer1Timer", "TfmOptions.FormCreate"}));
    return b.Build(std::string(64, 'x'), signature);
}

TEST(TD32, UnitProcedureAndLineFromCompactTables) {
    TempDir dir;
    dir.Write("mailgate.exe", MailReadModule());
    TModuleDebugInfo info(dir.File("mailgate.exe"), 0x400000);
    ASSERT_TRUE(info.HasTD32());
    EXPECT_TRUE(info.IsFB09());
    int unit = 0, procedure = 0, source = 0, line = 0;

    ASSERT_TRUE(info.UnitAt(0x105, unit, procedure));
    EXPECT_EQ(info.NameOf(unit), "MailRead");
    EXPECT_EQ(info.NameOf(procedure), "TfmOptions.Timer1Timer");
    ASSERT_TRUE(info.UnitAt(0x190, unit, procedure));
    EXPECT_EQ(info.NameOf(procedure), "TfmOptions.FormCreate");
    ASSERT_TRUE(info.UnitAt(0x150, unit, procedure)) << "between procedures: only the unit";
    EXPECT_EQ(procedure, -1);
    EXPECT_FALSE(info.UnitAt(0x300, unit, procedure));
    EXPECT_EQ(unit, -1);

    // The first step already passes 0x105: the range's start line.
    ASSERT_TRUE(info.LineAt(0x105, source, line));
    EXPECT_EQ(info.NameOf(source), "MailRead.cpp");
    EXPECT_EQ(line, 10);
    ASSERT_TRUE(info.LineAt(0x115, source, line));
    EXPECT_EQ(line, 12);
    ASSERT_TRUE(info.LineAt(0x130, source, line));
    EXPECT_EQ(line, 15);
    ASSERT_TRUE(info.LineAt(0x140, source, line));
    EXPECT_EQ(line, 14) << "negative line increment";
    EXPECT_FALSE(info.LineAt(0x200, source, line));
    EXPECT_EQ(source, -1);
    EXPECT_EQ(line, -1);

    EXPECT_EQ(info.NameOf(0), "");
    EXPECT_EQ(info.NameOf(5), "");
    EXPECT_EQ(info.RelativeAddress(0x400000 + 4096 + 0x105), 0x105u);
    EXPECT_EQ(info.RelativeAddress(0x400000), 0u);
}

TEST(TD32, SourceLineTableSearchesByHalving) {
    TD32Builder b;
    // One file (name 1), one segment 0x0..0xFFF; line block with four pairs.
    std::string table = B::U16(1) + B::U16(1) + B::U32(16) + B::U32(0) + B::U32(0xFFF);
    std::string file = B::U16(1) + B::U32(1) + B::U32(16 + 18) + B::U32(0) + B::U32(0xFFF);
    std::string block = B::U16(1) + B::U16(4) + B::U32(0x10) + B::U32(0x20) + B::U32(0x30) +
                        B::U32(0x40) + B::U16(100) + B::U16(101) + B::U16(0) + B::U16(103);
    b.AddSubsection(0x127, 1, table + file + block);
    b.AddSubsection(0x130, 0, Names({"Unit1.pas"}));
    TempDir dir;
    dir.Write("app.exe", b.Build("MZ", "FB0A"));
    TModuleDebugInfo info(dir.File("app.exe"), 0);
    ASSERT_TRUE(info.HasTD32());
    EXPECT_FALSE(info.IsFB09());
    int source = 0, line = 0;
    ASSERT_TRUE(info.LineAt(0x25, source, line));
    EXPECT_EQ(line, 101);
    EXPECT_EQ(info.NameOf(source), "Unit1.pas");
    ASSERT_TRUE(info.LineAt(0x40, source, line));
    EXPECT_EQ(line, 103) << "an address equal to the upper offset takes its line";
    EXPECT_FALSE(info.LineAt(0x35, source, line)) << "line 0 counts as missing";
}

TEST(TD32, BadSignatureFallsBackToTdsFileBeside) {
    TempDir dir;
    dir.Write("mailgate.exe", std::string(64, 'x') + "XXXX" + B::U32(16));
    dir.Write("mailgate.TDS", MailReadModule());
    TModuleDebugInfo info(dir.File("mailgate.exe"), 0);
    ASSERT_TRUE(info.HasTD32());
    int unit = 0, procedure = 0;
    ASSERT_TRUE(info.UnitAt(0x105, unit, procedure));
    EXPECT_EQ(info.NameOf(unit), "MailRead");
}

TEST(TD32, WithoutDebugInformationEveryLookupIsMissing) {
    TempDir dir;
    dir.Write("plain.exe", "no debug information here");
    TModuleDebugInfo info(dir.File("plain.exe"), 0);
    EXPECT_FALSE(info.Loaded());
    int unit = 0, procedure = 0, source = 0, line = 0;
    EXPECT_FALSE(info.UnitAt(0x10, unit, procedure));
    EXPECT_FALSE(info.LineAt(0x10, source, line));
    EXPECT_EQ(unit, -1);
    EXPECT_EQ(procedure, -1);
    EXPECT_EQ(source, -1);
    EXPECT_EQ(line, -1);
    EXPECT_EQ(info.NameOf(1), "");
    TModuleDebugInfo missing(dir.File("absent.exe"), 0);
    EXPECT_FALSE(missing.Loaded());
}

TEST(TD32, TruncatedOrLyingContainerIsNotLoaded) {
    std::string good = MailReadModule();
    TempDir dir;
    // The distance points before the file start; then a directory entry
    // count far beyond the file.
    std::string badDistance = good.substr(0, good.size() - 4) + B::U32(0x7FFFFFFF);
    dir.Write("a.exe", badDistance);
    EXPECT_FALSE(TModuleDebugInfo(dir.File("a.exe"), 0).HasTD32());
    for (size_t cut = 8; cut < good.size(); cut += 7) {
        std::string truncated = good.substr(cut);
        dir.Write("b.exe", truncated);
        TModuleDebugInfo info(dir.File("b.exe"), 0);
        int unit = 0, procedure = 0, source = 0, line = 0;
        info.UnitAt(0x105, unit, procedure);
        info.LineAt(0x105, source, line);
        info.NameOf(unit);
    }
}

TEST(MMFileStream, ReadsThroughViewsAndRefusesWriteMode) {
    TempDir dir;
    std::string data(3 * 4096 + 100, '\0');
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = char(i * 7);
    }
    dir.Write("f.bin", data);
    TMMFileStream s(dir.File("f.bin"), "ExcMagic.C:\\f.bin", TMMFileStream::fmOpenRead);
    EXPECT_EQ(s.MappingName(), "ExcMagic.C:_f.bin");
    EXPECT_EQ(s.Size(), static_cast<int64_t>(data.size()));
    s.Seek(4090, TMMFileStream::soFromBeginning);
    char buf[20];
    ASSERT_EQ(s.Read(buf, 20), 20);
    EXPECT_EQ(std::string(buf, 20), data.substr(4090, 20));
    s.Seek(-4, TMMFileStream::soFromEnd);
    uint32_t v = 0;
    ASSERT_TRUE(s.ReadDWord(v));
    EXPECT_FALSE(s.ReadDWord(v)) << "at the file end";
    EXPECT_EQ(s.Write(buf, 5), 5);
    EXPECT_EQ(s.Position(), static_cast<int64_t>(data.size()) + 5);
    try {
        TMMFileStream w(dir.File("f.bin"), "m", TMMFileStream::fmOpenWrite);
        FAIL();
    } catch (const EMMFileError& e) {
        EXPECT_STREQ(e.what(), "Invalid file mode: fmOpenWrite");
    }
    try {
        TMMFileStream m(dir.File("none.bin"), "m", TMMFileStream::fmOpenRead);
        FAIL();
    } catch (const EMMFileError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Can't open file " + dir.File("none.bin") + ": No such file or directory");
    }
}

// --- return-address test and call stack ---------------------------------------

[[gnu::noinline]] uintptr_t ReturnAddressOfThisCall() {
    return reinterpret_cast<uintptr_t>(__builtin_return_address(0));
}

TEST(StackScan, ReturnAddressTest) {
    RefreshCodeRanges();
    uintptr_t ret = ReturnAddressOfThisCall();
    EXPECT_TRUE(IsReturnAddress(ret));
    int onStack = 0;
    EXPECT_FALSE(IsReturnAddress(reinterpret_cast<uintptr_t>(&onStack)));
    EXPECT_FALSE(IsReturnAddress(0));
}

TEST(StackScan, RelativeCallToNonCodeIsRejected) {
    RefreshCodeRanges();
    // A code address whose 5 bytes before it read E8 with a displacement
    // that lands outside every module: find one in our own code.
    static const uint8_t* const begin = reinterpret_cast<const uint8_t*>(&ReturnAddressOfThisCall);
    bool checked = false;
    for (const uint8_t* p = begin; p < begin + 200000 && !checked; ++p) {
        if (!IsCodeAddress(reinterpret_cast<uintptr_t>(p + 5))) {
            break;
        }
        if (p[0] != 0xE8) {
            continue;
        }
        int32_t displacement;
        std::memcpy(&displacement, p + 1, 4);
        uintptr_t target = reinterpret_cast<uintptr_t>(p + 5) + displacement;
        if (IsCodeAddress(target)) {
            EXPECT_TRUE(IsReturnAddress(reinterpret_cast<uintptr_t>(p + 5)));
            checked = true;
        }
    }
    EXPECT_TRUE(checked);
}

TEST(StackScan, UnreadableMemoryIsSkipped) {
    uint8_t byte = 0;
    EXPECT_FALSE(ReadProcessMemory(8, &byte, 1));
    EXPECT_TRUE(ReadProcessMemory(reinterpret_cast<uintptr_t>(&byte), &byte, 1));
    uintptr_t out[4];
    EXPECT_EQ(ScanStackForReturnAddresses(4096, 4096 * 3, out, 4), 0);
}

TEST(CallStack, RepeatsOfTheSameAddressAreCounted) {
    TempDir dir;
    dir.Write("m.exe", "none");
    TModuleDebugInfo module(dir.File("m.exe"), 0x1000);
    TExcCallStack stack([&](uintptr_t a) { return a >= 0x2000 ? &module : nullptr; });
    const uintptr_t returns[] = {0x3000, 0x3000, 0x3000, 0x500, 0x4000, 0x3000};
    stack.BuildFrom(0x2000, returns, 6, 100);
    ASSERT_EQ(stack.Count(), 4) << "the address outside every module is left out";
    TExcCallStackEntry e;
    ASSERT_TRUE(stack.Entry(1, e));
    EXPECT_EQ(e.Address, 0x3000u);
    EXPECT_EQ(e.RepeatCount, 3);
    EXPECT_EQ(e.Line, -1);
    ASSERT_TRUE(stack.Entry(3, e));
    EXPECT_EQ(e.RepeatCount, 1);
    EXPECT_FALSE(stack.Entry(4, e));
    stack.BuildFrom(0x2000, returns, 6, 2);
    EXPECT_EQ(stack.Count(), 2) << "at most the given number of entries";
    stack.Clear();
    EXPECT_EQ(stack.Count(), 0);
}

} // namespace
