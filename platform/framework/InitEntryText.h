// The text an initialisation record's add-string entry carries, as the framework puts
// it into a list.
#pragma once

#include "InitRecord.h"

#include <optional>
#include <string>

// The string an add-string entry carries: its data up to the first NUL, decoded from
// the default code page. Gives nothing when the entry is not an add-string message or
// its data holds no NUL (the string's end would be unknown).
std::optional<std::u16string> initEntryString(const CInitEntry& entry);
