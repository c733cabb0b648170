#pragma once
// Turns the encoded procedure names of the debug information into readable
// ones. Two encodings meet here: the "@Unit@Class@Method$qqrv" form of the
// TD32 name tables, decoded by the rules below, and the Itanium C++ names
// ("_Z...") that our own binaries carry, handed to the C++ runtime.
#include <cstddef>
#include <cstdint>
#include <string>

// Kinds (low byte of the result word).
constexpr uint32_t umKindConstructor = 2;
constexpr uint32_t umKindDestructor = 3;
constexpr uint32_t umKindOperator = 4;
constexpr uint32_t umKindConversion = 5;
constexpr uint32_t umKindThunk = 7;
constexpr uint32_t umKindTypeDescriptor = 8;
constexpr uint32_t umKindVirtualThunk = 10;
// Flags (higher bits of the result word).
constexpr uint32_t umTemplate = 0x200;
constexpr uint32_t umVdflg = 0x400;
constexpr uint32_t umFriendList = 0x800;
constexpr uint32_t umCatchTable = 0x1000;
constexpr uint32_t umDestructorTable = 0x2000;
constexpr uint32_t umThrowList = 0x4000;
constexpr uint32_t umExceptionTable = 0x8000;
constexpr uint32_t umLinkproc = 0x10000;
constexpr uint32_t umOutputFull = 0x1000000;
constexpr uint32_t umInputTooLong = 0x2000000;
constexpr uint32_t umNoBuffer = 0x4000000;
constexpr uint32_t umNotMangled = 0x40000000;

// The most characters of an encoded name that are read.
constexpr int umMaxInput = 250;

// Decodes `name` into `buffer` (always zero-terminated when bufferSize > 0).
// With `decodeArgs` the argument list is written too. `qualifier` and
// `baseName`, when given, receive the qualifier part and the last part of the
// name. `dotSeparator` joins the parts with "." instead of "::". Never throws.
uint32_t Unmangle(const char* name, char* buffer, size_t bufferSize, bool decodeArgs,
                  std::string* qualifier = nullptr, std::string* baseName = nullptr,
                  bool dotSeparator = false) noexcept;

// The reporter's use: a buffer of 2049 characters, no argument list.
std::string UnmangleName(const std::string& name, bool dotSeparator = false);

// Cuts the argument list (and what follows it) off a demangled C++ name:
// "ns::Cls::Run(int) const" -> "ns::Cls::Run".
std::string StripArgumentList(const std::string& readable);
