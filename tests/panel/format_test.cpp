// The panel's texts: masks, rounding, hexadecimal, key filter, title, and
// the control table's derived data.
#include <gtest/gtest.h>

#include <algorithm>

#include "controls.h"
#include "fakes.h"
#include "format.h"

namespace kv318::panel {
namespace {

TEST(PanelFormat, RawSamplesBecomeCodesAndVoltsHalvesToEven) {
    struct Case {
        std::int32_t raw;
        std::int32_t code;
        const char* codeText;
        const char* voltText;
    };
    const Case cases[] = {
        {4937, 1234, " 1234 ", " 0.753V "},  {6, 2, " 02 ", " 0.001V "},
        {10, 2, " 02 ", " 0.001V "},         {2, 0, " 00 ", " 0.000V "},
        {-2, 0, " 00 ", " 0.000V "},         {2048, 512, " 512 ", " 0.313V "},
        {32767, 8192, " 8192 ", " 5.000V "}, {-32768, -8192, " -8192 ", " -5.000V "},
        {28, 7, " 07 ", " 0.004V "},         {14, 4, " 04 ", " 0.002V "},
        {18, 4, " 04 ", " 0.002V "},         {-6, -2, " -02 ", " -0.001V "},
        {-10, -2, " -02 ", " -0.001V "},     {-1, 0, " 00 ", " 0.000V "},
        {-3, -1, " -01 ", " -0.001V "},      {3, 1, " 01 ", " 0.001V "},
        {0, 0, " 00 ", " 0.000V "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw);
        const std::int32_t code = converter_code(c.raw);
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(format_00(code), c.codeText);
        EXPECT_EQ(format_volts(code_volts(code)), c.voltText);
    }
}

TEST(PanelFormat, VoltMaskRoundsHalfThousandthsAwayFromZero) {
    EXPECT_EQ(format_volts(0.3125), " 0.313V ");
    EXPECT_EQ(format_volts(-0.3125), " -0.313V ");
    EXPECT_EQ(format_volts(0.0004), " 0.000V ");
    EXPECT_EQ(format_volts(-0.0004), " 0.000V ");
    EXPECT_EQ(format_volts(12.5), " 12.500V ");
}

TEST(PanelFormat, ListedLineHasItsExactBlanksAndCarriageReturn) {
    EXPECT_EQ(sample_line(3, 4937), testing::listed("3", "1234", "0.753V"));
    EXPECT_EQ(sample_line(0, 28), testing::listed("0", "07", "0.004V"));
    EXPECT_EQ(testing::listed("3", "1234", "0.753V"), "3            1234       0.753V \r");
    EXPECT_EQ(format_0(0), "0");
    EXPECT_EQ(format_0(1234), "1234");
    EXPECT_EQ(format_0(-1), "-1");
}

TEST(PanelFormat, HexadecimalIsUpperCaseWithoutLeadingZeros) {
    EXPECT_EQ(hex_upper(0), "0");
    EXPECT_EQ(hex_upper(255), "FF");
    EXPECT_EQ(hex_upper(0x7C), "7C");
    EXPECT_EQ(hex_upper(0xFFFFFFFEu), "FFFFFFFE");
    EXPECT_EQ(input_word_text(165), "oxA5");
    EXPECT_EQ(input_word_text(0), "ox0");
    EXPECT_EQ(input_word_text(65535), "oxFFFF");
}

TEST(PanelFormat, TitleCarriesTheHandleOrTheLoadError) {
    const std::string text = "KV318 Testing Program     ";
    EXPECT_EQ(window_title(0x7C).substr(0, text.size()), text);
    EXPECT_EQ(window_title(0x7C), testing::cat({kTitleText, "    HANDLE=7CH"}));
    EXPECT_EQ(window_title(0), testing::cat({kTitleText, "    HANDLE=0H"}));
    EXPECT_EQ(window_title(-2), testing::cat({kTitleText, "    HANDLE=FFFFFFFEH"}));
    EXPECT_EQ(window_title(-1), "Error Load KV318");
}

TEST(PanelFormat, KeyFilterAcceptsExactlyItsTwentyThreeCharacters) {
    const std::string set = "0123456789abcdefABCDEF\b";
    int accepted = 0;
    for (std::uint32_t ch = 0; ch < 0x30000; ++ch) {
        const bool inSet = ch < 128 && set.find(static_cast<char>(ch)) != std::string::npos;
        EXPECT_EQ(key_accepted(ch), inSet) << ch;
        accepted += key_accepted(ch) ? 1 : 0;
    }
    EXPECT_EQ(accepted, 23);
    // Characters whose low byte is a hex digit must not slip through.
    EXPECT_FALSE(key_accepted(0x141));
    EXPECT_FALSE(key_accepted(0xFF21));  // full-width A
}

TEST(PanelFormat, OutputWordParsesHexadecimalAndClampsToFFFF) {
    struct Case {
        const char* text;
        int word;  // -1: not a hexadecimal number
    };
    const Case cases[] = {
        {" 1A", 0x1A},       {"00ff", 0xFF},   {"0", 0},         {"10000", 0xFFFF},
        {"FFFFFFF", 0xFFFF}, {"8000", 0x8000}, {"  fF  ", 0xFF}, {"ffffffffffffffffffffffff", 0xFFFF},
        {"FFFF", 0xFFFF},    {"", -1},         {" ", -1},        {"1 2", -1},
        {"0x12", -1},        {"12g", -1},      {"\t12", -1},     {"-1", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto word = parse_output_word(c.text);
        if (c.word < 0) {
            EXPECT_FALSE(word.has_value());
        } else {
            ASSERT_TRUE(word.has_value());
            EXPECT_EQ(*word, c.word);
        }
    }
}

TEST(PanelControls, TabOrderAndGeometryFollowTheTable) {
    const std::vector<Control> expected{Control::Text1,    Control::Text2,    Control::Command1, Control::Command2,
                                        Control::Command3, Control::Text3,    Control::Command4, Control::Command5,
                                        Control::Command6, Control::Command7, Control::Command8, Control::List1};
    const auto order = focus_order();
    EXPECT_EQ(std::vector<Control>(order.begin(), order.end()), expected);

    EXPECT_EQ(twips_to_pixels(kClientWidthTwips, 96), 397);
    EXPECT_EQ(twips_to_pixels(kClientHeightTwips, 96), 275);
    EXPECT_EQ(twips_to_pixels(900, 144), 90);

    // Every control on screen lies inside its container.
    for (const auto& c : control_table()) {
        if (c.kind == Kind::Window || c.kind == Kind::Timer) continue;
        const auto& box = control_spec(c.container);
        SCOPED_TRACE(c.name);
        EXPECT_GE(c.left, 0);
        EXPECT_GE(c.top, 0);
        EXPECT_LE(c.left + c.width, box.width);
        EXPECT_LE(c.top + c.height, box.height);
    }
}

}  // namespace
}  // namespace kv318::panel
