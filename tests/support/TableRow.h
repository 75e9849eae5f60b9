// The row of a test table, named by its first field: a failing row is shown by that
// name rather than by its bytes, and each test of the table can be named after it.
#pragma once

#include <concepts>
#include <ostream>
#include <string>

struct CTableRow {
    const char* what;
};

template <std::derived_from<CTableRow> Row> void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.what;
}

inline constexpr auto byWhat
    = [](const auto& testInfo) { return std::string(testInfo.param.what); };
