// The shared test tables in tests/vectors (read by the C++ tests and the
// Python package alike): '#' lines and blank lines are comments, the first
// other line is the header, and every row after it has one field per
// header column.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

namespace kv318::test {

// Each row of `table` (the text of a .csv file) as its fields, in order.
// A header other than `header` or a row of the wrong width is a test
// failure; such a row is left out.
inline std::vector<std::vector<std::string>> csv_rows(const char* table, const std::string& header) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(table);
    std::string line;
    bool first = true;
    std::size_t width = 1;
    for (char c : header) width += c == ',' ? 1 : 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        if (first) {
            EXPECT_EQ(line, header);
            first = false;
            continue;
        }
        std::vector<std::string> fields;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, ',');) fields.push_back(cell);
        if (!line.empty() && line.back() == ',') fields.emplace_back();
        if (fields.size() != width) {
            ADD_FAILURE() << "a row of " << fields.size() << " fields, not " << width << ": " << line;
            continue;
        }
        rows.push_back(std::move(fields));
    }
    EXPECT_FALSE(first) << "the table has no header";
    return rows;
}

}  // namespace kv318::test
