#pragma once
// Text-to-number conversion with the runtime's error text, for settings and
// form fields that must hold whole numbers.
#include <optional>
#include <string>
#include <string_view>

#include "platform/Exception.h"

// A decimal whole number (optional sign, no blanks), or nothing.
std::optional<long long> TryStrToInt64(std::string_view text);

// Raises EConvertError "'<text>' is not a valid integer value" when `text` is
// not a decimal whole number in the range of int.
int StrToInt(std::string_view text);

// The number, or `fallback` when `text` is not one.
int StrToIntDef(std::string_view text, int fallback);
