// Every C++ reader of samples against the shared vectors: the rule itself,
// the panel's code and volts, and the CLI's CSV line.  The Python package
// reads the same table in python/tests.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "csv_rows.h"
#include "format.h"
#include "sample_format.h"
#include "sample_units.h"

namespace {

const char* const kCsv =
#include "sample_units_csv.inc"
    ;

struct Vector {
    std::int32_t sample;
    std::int32_t code;
    std::string voltsText;  // as the table writes it
    double volts;
};

std::vector<Vector> load() {
    std::vector<Vector> out;
    for (const auto& f : kv318::test::csv_rows(kCsv, "sample,code,volts")) {
        Vector v;
        v.sample = std::stoi(f[0]);
        v.code = std::stoi(f[1]);
        v.voltsText = f[2];
        v.volts = std::strtod(v.voltsText.c_str(), nullptr);
        out.push_back(v);
    }
    return out;
}

// The table itself must cover what it promises, or a shrunken table would
// pass everything below.
TEST(SampleUnitsVectors, CoverEveryLowBitPatternAndBothEnds) {
    const auto vectors = load();
    bool lowBits[4] = {};
    bool min = false, max = false;
    for (const auto& v : vectors) {
        lowBits[v.sample & 3] = true;
        min = min || v.sample == -32768;
        max = max || v.sample == 32767;
    }
    EXPECT_TRUE(lowBits[1] && lowBits[2] && lowBits[3]);
    EXPECT_TRUE(min && max);
    EXPECT_GE(vectors.size(), 40u);
}

TEST(SampleUnitsVectors, EveryReaderGivesTheTablesCodeAndVolts) {
    const kv318::pipeline::CsvFormatter csv(1'000'000, 1);
    for (const auto& v : load()) {
        SCOPED_TRACE("sample " + std::to_string(v.sample));
        // The shared rule.
        EXPECT_EQ(kv318::units::sample_code(v.sample), v.code);
        EXPECT_EQ(kv318::units::sample_volts(v.sample), v.volts);
        // The panel: code, volts, and the code as its list shows it.
        EXPECT_EQ(kv318::panel::converter_code(v.sample), v.code);
        EXPECT_EQ(kv318::panel::code_volts(v.code), v.volts);
        EXPECT_NE(kv318::panel::sample_line(3, v.sample).find(kv318::panel::format_00(v.code)), std::string::npos);
        // The CLI: the bytes of its CSV line (sample 3 at 1 MHz is 3 us).
        char out[kv318::pipeline::CsvFormatter::kMaxLine];
        const std::size_t n = csv.line(3, v.sample, out);
        EXPECT_EQ(std::string(out, n), "3,0.000003," + std::to_string(v.code) + "," + v.voltsText + "\n");
    }
}

}  // namespace
