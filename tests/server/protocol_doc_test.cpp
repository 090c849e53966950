// docs/server-protocol.md held to protocol.h: its tables of requests, error
// codes and block flags name the same verbs, fields, ranges, words, control
// rules, codes and bits as the table the server checks requests against,
// both ways, so a change on one side only fails here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "protocol.h"
#include "read_file.h"

namespace kv318::remote {
namespace {

// What the page is compared with: protocol.h's tables, or a changed copy.
struct Definition {
    std::vector<Verb> verbs{std::begin(kVerbs), std::end(kVerbs)};
    std::vector<CodeInfo> codes{std::begin(kErrorCodes), std::end(kErrorCodes)};
    std::vector<FlagInfo> flags{std::begin(kBlockFlags), std::end(kBlockFlags)};
    Field client = kClientField;
    Field board = kBoardField;
};

// ---- Reading the page --------------------------------------------------------

std::string trim(const std::string& s) {
    const auto first = s.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : s.substr(first, s.find_last_not_of(' ') - first + 1);
}

std::vector<std::string> split(const std::string& s, char by) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (true) {
        const std::size_t at = s.find(by, start);
        out.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return out;
        start = at + 1;
    }
}

std::string without_backticks(std::string s) {
    std::erase(s, '`');
    return s;
}

// The cells of a table row; `\|` is a bar within a cell.
std::vector<std::string> cells(const std::string& line) {
    std::vector<std::string> out;
    std::string cell;
    for (std::size_t i = 1; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '|') {
            cell += '|';
            ++i;
        } else if (line[i] == '|') {
            out.push_back(trim(cell));
            cell.clear();
        } else {
            cell += line[i];
        }
    }
    return out;
}

// The rows of the table under the header row `header`, as their cells.
std::vector<std::vector<std::string>> table(const std::string& page, const std::string& header) {
    std::vector<std::vector<std::string>> rows;
    const std::vector<std::string> lines = split(page, '\n');
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] != header) continue;
        for (std::size_t j = i + 2; j < lines.size() && !lines[j].empty() && lines[j][0] == '|'; ++j) {
            rows.push_back(cells(lines[j]));
        }
        break;
    }
    return rows;
}

// The `code spans` of a cell; *after is the text after the first one.
std::vector<std::string> spans(const std::string& cell, std::string* after = nullptr) {
    std::vector<std::string> out;
    for (std::size_t open = cell.find('`'); open != std::string::npos; open = cell.find('`', open)) {
        const std::size_t close = cell.find('`', open + 1);
        if (close == std::string::npos) break;
        out.push_back(cell.substr(open + 1, close - open - 1));
        if (after != nullptr && out.size() == 1) *after = trim(cell.substr(close + 1));
        open = close + 1;
    }
    return out;
}

struct Range {
    std::int64_t min = 0;
    std::int64_t max = 0;
};

// One field as a request row writes it: key=PLACEHOLDER or key=a|b, in
// [ ] when it may be left out.
struct PageField {
    std::string key;
    std::string placeholder;
    std::vector<std::string> words;
    bool optional = false;
};

struct PageVerb {
    std::vector<PageField> fields;
    std::map<std::string, Range> ranges;                         // of the placeholders, from "(D 2-4095, ...)"
    std::map<std::string, std::vector<std::string>> replyWords;  // every reply key, with its words if any
    std::string control;
};

// "(A, V 0-255)": each placeholder with the range after it, or after the
// ones that follow it.
bool read_ranges(const std::string& text, std::map<std::string, Range>* out) {
    if (text.size() < 2 || text.front() != '(') return true;
    const std::string inside = text.substr(1, text.find(')') - 1);
    static const std::regex piece("([A-Z]+)(?: (-?\\d+)-(-?\\d+))?");
    std::vector<std::string> pending;
    for (std::string p : split(inside, ',')) {
        std::smatch m;
        p = trim(p);
        if (!std::regex_match(p, m, piece)) return false;
        pending.push_back(m[1]);
        if (!m[2].matched) continue;
        for (const std::string& name : pending) (*out)[name] = {std::stoll(m[2]), std::stoll(m[3])};
        pending.clear();
    }
    return pending.empty();
}

// key=value tokens into their key and the words of the value (none when
// it is no list of words).
void read_reply(const std::string& span, std::map<std::string, std::vector<std::string>>* out) {
    for (const std::string& token : split(span, ' ')) {
        const std::size_t eq = token.find('=');
        if (eq == std::string::npos) continue;
        const std::string value = token.substr(eq + 1);
        (*out)[token.substr(0, eq)] =
            value.find('|') != std::string::npos ? split(value, '|') : std::vector<std::string>{};
    }
}

// ---- Comparing -----------------------------------------------------------------

std::string control_words(Control c) {
    switch (c) {
    case Control::kAnyone:
        return "";
    case Control::kNeeds:
        return "yes";
    case Control::kTakes:
        return "takes it";
    }
    return "?";
}

std::string words_text(std::span<const char* const> words) {
    std::string out;
    for (const char* w : words) {
        if (!out.empty()) out += '|';
        out += w;
    }
    return out;
}

std::string words_text(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words) {
        if (!out.empty()) out += '|';
        out += w;
    }
    return out;
}

void compare_field(const std::string& verb, const Field& want, const PageField& got, const PageVerb& row,
                   const std::map<std::string, Range>& common, std::vector<std::string>* diffs) {
    const std::string where = verb + " " + want.key + ": ";
    if (want.optional != got.optional) diffs->push_back(where + "optional on one side only");
    if (want.kind == FieldKind::kWord) {
        if (words_text(want.words) != words_text(got.words)) {
            diffs->push_back(where + "the page has " + words_text(got.words) + ", protocol.h " +
                             words_text(want.words));
        }
        return;
    }
    auto range = row.ranges.find(got.placeholder);
    if (range == row.ranges.end()) range = common.find(got.placeholder);
    if (got.placeholder.empty() || range == common.end()) {
        diffs->push_back(where + "the page gives no range for " + (got.placeholder.empty() ? "it" : got.placeholder));
        return;
    }
    if (range->second.min != want.limit.min || range->second.max != want.limit.max) {
        diffs->push_back(where + "the page has " + std::to_string(range->second.min) + "-" +
                         std::to_string(range->second.max) + ", protocol.h " + std::to_string(want.limit.min) + "-" +
                         std::to_string(want.limit.max));
    }
}

void compare_verb(const Definition& d, const Verb& v, const PageVerb& row, const std::map<std::string, Range>& common,
                  std::vector<std::string>* diffs) {
    const std::string name = v.name;
    if (row.control != control_words(v.control)) {
        diffs->push_back(name + ": the control column says '" + row.control + "', protocol.h '" +
                         control_words(v.control) + "'");
    }
    std::vector<Field> want{d.client};
    if (v.board) want.push_back(d.board);
    want.insert(want.end(), v.fields.begin(), v.fields.end());
    std::string wantKeys, gotKeys;
    for (const Field& f : want) wantKeys += std::string(" ") + f.key;
    for (const PageField& f : row.fields) gotKeys += " " + f.key;
    if (wantKeys != gotKeys) {
        diffs->push_back(name + ": the page's fields are" + gotKeys + ", protocol.h's" + wantKeys);
    } else {
        for (std::size_t i = 0; i < want.size(); ++i) compare_field(name, want[i], row.fields[i], row, common, diffs);
    }
    std::map<std::string, std::vector<std::string>> reply;
    for (const ReplyField& r : v.reply) reply[r.key] = {r.words.begin(), r.words.end()};
    for (const auto& [key, words] : reply) {
        const auto got = row.replyWords.find(key);
        if (got == row.replyWords.end()) {
            diffs->push_back(name + ": the page's reply lacks " + key);
        } else if (words != got->second) {
            diffs->push_back(name + " reply " + key + ": the page has " + words_text(got->second) + ", protocol.h " +
                             words_text(words));
        }
    }
    for (const auto& [key, words] : row.replyWords) {
        if (reply.count(key) == 0) diffs->push_back(name + ": the page's reply has " + key + ", protocol.h's not");
    }
}

// The placeholders every request shares, from the sentence that names
// their ranges.
std::map<std::string, Range> common_ranges(const Definition& d, const std::string& page,
                                           std::vector<std::string>* diffs) {
    const std::string flat = std::regex_replace(page, std::regex("\\s+"), " ");
    const std::regex sentence(std::string("`ID` is ") + d.client.limit.what +
                              ", (\\d+)-(\\d+) characters, and `N` an? " + d.board.limit.what + ", (\\d+)-(\\d+)");
    std::smatch m;
    if (!std::regex_search(flat, m, sentence)) {
        diffs->push_back("the page does not say the ranges of ID and N");
        return {};
    }
    return {{"ID", {std::stoll(m[1]), std::stoll(m[2])}}, {"N", {std::stoll(m[3]), std::stoll(m[4])}}};
}

void compare_verbs(const Definition& d, const std::string& page, std::vector<std::string>* diffs) {
    const auto rows = table(page, "| request | reply | control |");
    if (rows.empty()) diffs->push_back("the page has no table of requests");
    const std::map<std::string, Range> common = common_ranges(d, page, diffs);
    std::map<std::string, PageVerb> verbs;
    for (const auto& row : rows) {
        std::string after;
        const std::vector<std::string> request = row.size() == 3 ? spans(row[0], &after) : std::vector<std::string>{};
        if (request.empty()) {
            diffs->push_back(std::string("a request row without its request: ") + (row.empty() ? "" : row[0]));
            continue;
        }
        const std::vector<std::string> tokens = split(request[0], ' ');
        PageVerb& v = verbs[tokens[0]];
        for (std::size_t i = 1; i < tokens.size(); ++i) {
            std::string t = tokens[i];
            PageField f;
            f.optional = t.size() > 2 && t.front() == '[' && t.back() == ']';
            if (f.optional) t = t.substr(1, t.size() - 2);
            const std::size_t eq = t.find('=');
            f.key = t.substr(0, eq);
            const std::string value = eq == std::string::npos ? "" : t.substr(eq + 1);
            if (value.find('|') != std::string::npos) f.words = split(value, '|');
            else f.placeholder = value;
            v.fields.push_back(f);
        }
        if (!read_ranges(after, &v.ranges)) diffs->push_back(tokens[0] + ": the ranges '" + after + "' do not read");
        const std::vector<std::string> reply = spans(row[1]);
        if (reply.empty() || reply[0].rfind("ok", 0) != 0) diffs->push_back(tokens[0] + ": a reply without its ok");
        for (const std::string& r : reply) read_reply(r, &v.replyWords);
        v.control = row[2];
    }
    for (const Verb& v : d.verbs) {
        const auto row = verbs.find(v.name);
        if (row == verbs.end()) diffs->push_back(std::string("verb ") + v.name + " is not on the page");
        else compare_verb(d, v, row->second, common, diffs);
    }
    for (const auto& [name, row] : verbs) {
        const bool known = std::any_of(d.verbs.begin(), d.verbs.end(), [&](const Verb& v) { return name == v.name; });
        if (!known) diffs->push_back("the page has verb " + name + ", protocol.h has not");
    }
}

// The page's meaning begins with the definition's one line.
void compare_meaning(const std::string& what, const std::string& page, const char* want,
                     std::vector<std::string>* diffs) {
    if (without_backticks(page).rfind(want, 0) != 0) {
        diffs->push_back(what + ": the page says '" + page + "', protocol.h '" + want + "'");
    }
}

void compare_codes(const Definition& d, const std::string& page, std::vector<std::string>* diffs) {
    std::map<std::string, std::string> codes;
    for (const auto& row : table(page, "| code | meaning |")) {
        const std::vector<std::string> name = row.size() == 2 ? spans(row[0]) : std::vector<std::string>{};
        if (name.empty()) diffs->push_back("an error code row without its code");
        else codes[name[0]] = row[1];
    }
    if (codes.empty()) diffs->push_back("the page has no table of error codes");
    for (const CodeInfo& c : d.codes) {
        const auto row = codes.find(c.code);
        if (row == codes.end()) diffs->push_back(std::string("error code ") + c.code + " is not on the page");
        else compare_meaning(c.code, row->second, c.meaning, diffs);
    }
    for (const auto& [name, meaning] : codes) {
        const bool known =
            std::any_of(d.codes.begin(), d.codes.end(), [&](const CodeInfo& c) { return name == c.code; });
        if (!known) diffs->push_back("the page has error code " + name + ", protocol.h has not");
    }
}

void compare_flags(const Definition& d, const std::string& page, std::vector<std::string>* diffs) {
    std::map<std::string, std::vector<std::string>> flags;
    for (const auto& row : table(page, "| flag | bit | meaning |")) {
        if (row.size() == 3) flags[row[0]] = row;
    }
    if (flags.empty()) diffs->push_back("the page has no table of block flags");
    for (const FlagInfo& f : d.flags) {
        const auto row = flags.find(f.name);
        if (row == flags.end()) {
            diffs->push_back(std::string("flag ") + f.name + " is not on the page");
            continue;
        }
        if (row->second[1] != std::to_string(flag_bit(f.flag))) {
            diffs->push_back(std::string("flag ") + f.name + ": the page has bit " + row->second[1] + ", protocol.h " +
                             std::to_string(flag_bit(f.flag)));
        }
        compare_meaning(f.name, row->second[2], f.meaning, diffs);
    }
    for (const auto& [name, row] : flags) {
        const bool known =
            std::any_of(d.flags.begin(), d.flags.end(), [&](const FlagInfo& f) { return name == f.name; });
        if (!known) diffs->push_back("the page has flag " + name + ", protocol.h has not");
    }
}

// Every way the page and `d` differ, in words; empty when they agree.
std::vector<std::string> differences(const Definition& d, const std::string& page) {
    std::vector<std::string> diffs;
    compare_verbs(d, page, &diffs);
    compare_codes(d, page, &diffs);
    compare_flags(d, page, &diffs);
    return diffs;
}

std::string the_page() { return test::read_file_text(KV318_PROTOCOL_DOC); }

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines) out += l + "\n";
    return out;
}

TEST(ProtocolDoc, ThePageSaysWhatTheTableSays) {
    const std::string page = the_page();
    ASSERT_FALSE(page.empty()) << "cannot read " << KV318_PROTOCOL_DOC;
    const std::vector<std::string> diffs = differences(Definition{}, page);
    EXPECT_TRUE(diffs.empty()) << KV318_PROTOCOL_DOC << " differs from pipeline/remote/protocol.h:\n" << joined(diffs);
}

// The comparison is no stronger than its reading of the page: each change
// on one side only, the page's or the table's, is named.
TEST(ProtocolDoc, AChangeOnOneSideOnlyIsNamed) {
    static constexpr Field kWiderDo[] = {{key::kValue, FieldKind::kInteger, {"output word", 0, 0x1FFFF, true}, {}}};
    const struct {
        const char* what;
        const char* before;  // replaced on the page by `after`; null: the page stays
        const char* after;
        std::function<void(Definition&)> change;  // of the table
        const char* named;                        // a word the differences must hold
    } cases[] = {
        {"a range on the page", "(V 0-65535)", "(V 0-65534)", nullptr, "do value"},
        {"a word on the page", "mode=stream\\|polled", "mode=stream\\|polled\\|fast", nullptr, "start mode"},
        {"a field made optional on the page", "divider=D [clock", "[divider=D] [clock", nullptr, "start divider"},
        {"a control column", "| takes it |", "| yes |", nullptr, "start: the control column"},
        {"the range of N", "0-65535.", "0-255.", nullptr, "board"},
        {"a verb on the page only", "| `stop client=ID",
         "| `reset client=ID board=N` | `ok result=R` | yes |\n| `stop client=ID", nullptr, "verb reset"},
        {"a reply field on the page only", "`ok result=R stream=S`", "`ok result=R stream=S first=I`", nullptr,
         "first"},
        {"a code left off the page", "| `not-allowed` |", "| `not-allowed-any-more` |", nullptr, "not-allowed"},
        {"a flag's bit on the page", "| stalled | 7 |", "| stalled | 11 |", nullptr, "stalled"},
        {"a verb in the table only", nullptr, nullptr,
         [](Definition& d) {
             d.verbs.push_back({"reset", true, Control::kNeeds, {}, kResultReply});
         },
         "reset"},
        {"a range in the table", nullptr, nullptr,
         [](Definition& d) {
             for (Verb& v : d.verbs) {
                 if (std::string(v.name) == verb::kDo) v.fields = kWiderDo;
             }
         },
         "do value"},
        {"a code in the table only", nullptr, nullptr,
         [](Definition& d) {
             d.codes.push_back({"board-failed", "the library refused the call"});
         },
         "board-failed"},
        {"a flag in the table only", nullptr, nullptr,
         [](Definition& d) {
             d.flags.push_back({"overheated", BlockFlag(1u << 10), "the board is too hot"});
         },
         "overheated"},
    };
    const std::string page = the_page();
    ASSERT_FALSE(page.empty()) << "cannot read " << KV318_PROTOCOL_DOC;
    for (const auto& c : cases) {
        std::string changed = page;
        if (c.before != nullptr) {
            const std::size_t at = changed.find(c.before);
            ASSERT_NE(at, std::string::npos) << c.what << ": the page has no " << c.before;
            changed.replace(at, std::strlen(c.before), c.after);
        }
        Definition d;
        if (c.change) c.change(d);
        const std::string diffs = joined(differences(d, changed));
        EXPECT_NE(diffs.find(c.named), std::string::npos) << c.what << ": " << diffs;
    }
}

}  // namespace
}  // namespace kv318::remote
