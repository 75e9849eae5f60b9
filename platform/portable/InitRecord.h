// The initialisation record of a dialog template: the messages the framework sends to
// controls once they exist, such as the strings that fill a list.
//
// The record stays in its binary form in the program's resources and is parsed here
// with every length checked against what is left, so a damaged record is refused whole
// and nothing is ever read past its end. Turning an entry's bytes into text needs the
// system's character conversion, so that is left to the framework (InitEntryText.h).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

// One entry of a record. `data` points into the record it was parsed from.
struct CInitEntry {
    std::uint16_t controlId;
    std::uint16_t message;
    std::span<const std::uint8_t> data;
};

// Parses a record: entries of a 16-bit control id, a 16-bit message, a 32-bit data
// length and that many bytes, all little-endian, ended by a 16-bit zero control id.
// Gives nothing when an entry's header or data runs past the end, when the end marker
// is missing, or when bytes follow it (a record of the wrong length is not trusted).
std::optional<std::vector<CInitEntry>> parseInitRecord(std::span<const std::uint8_t> record);

// The bytes of the string an add-string entry carries: its data up to the first NUL,
// still in the default code page. Gives nothing when the entry is not an add-string
// message or its data holds no NUL (the string's end would be unknown).
std::optional<std::string_view> initEntryBytes(const CInitEntry& entry);
