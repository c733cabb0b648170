#pragma once
// The memory of the running process as the stack tracer reads it: reads
// that never fault, which addresses are code, and the return addresses on a
// thread's stack.
#include <cstddef>
#include <cstdint>

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
