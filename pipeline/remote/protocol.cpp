#include "protocol.h"

#include <climits>
#include <cstring>

#include "wire.h"

namespace kv318::remote {

namespace {

// Every flag once, each its own bit, in the order of the bits: the table is
// the enum's whole list.
constexpr bool flags_in_order() {
    int bit = 0;
    for (const FlagInfo& f : kBlockFlags) {
        if (std::uint32_t{f.flag} != 1u << bit++) return false;
    }
    return true;
}
static_assert(flags_in_order(), "kBlockFlags lists every BlockFlag once, bit by bit");

std::string a_or_an(const char* what) { return std::strchr("aeiou", what[0]) != nullptr ? "an " : "a "; }

std::string word_list(std::span<const char* const> words) {
    std::string out;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i > 0) out += i + 1 == words.size() ? " or " : ", ";
        out += words[i];
    }
    return out;
}

Message refuse(const std::string& text) { return error_reply(code::kBadArgument, text); }

}  // namespace

const Verb* find_verb(const std::string& name) {
    for (const Verb& v : kVerbs) {
        if (name == v.name) return &v;
    }
    return nullptr;
}

bool check_field(const Message& request, const Field& field, std::int64_t* value, Message* refusal) {
    const std::string key = field.key;
    const std::string* given = request.find(key);
    if (given == nullptr && field.optional) return true;
    switch (field.kind) {
    case FieldKind::kInteger: {
        const pipeline::Limit& limit = field.limit;
        if (!request.get_int(key, INT64_MIN, INT64_MAX, value)) {
            *refusal = refuse("field " + key + " must be " + a_or_an(limit.what) + limit.what + " " +
                              pipeline::range_text(limit));
            return false;
        }
        // The library would clamp or mask anything else, and the server
        // would then pass on a number that is not what runs.
        const std::string why = pipeline::check_limit(limit, *value);
        if (why.empty()) return true;
        *refusal = refuse(key + ": " + why);
        return false;
    }
    case FieldKind::kWord:
        for (const char* w : field.words) {
            if (given != nullptr && *given == w) return true;
        }
        *refusal = refuse("field " + key + " must be " + word_list(field.words));
        return false;
    case FieldKind::kText: {
        const auto length = static_cast<std::int64_t>(given == nullptr ? 0 : given->size());
        if (given != nullptr && length >= field.limit.min && length <= field.limit.max) return true;
        *refusal = refuse("field " + key + " must be " + field.limit.what + ", " + std::to_string(field.limit.min) +
                          " to " + std::to_string(field.limit.max) + " characters");
        return false;
    }
    }
    return false;
}

bool check_fields(const Message& request, const Verb& verb, Message* refusal) {
    for (const Field& f : verb.fields) {
        std::int64_t value = 0;
        if (!check_field(request, f, &value, refusal)) return false;
    }
    return true;
}

}  // namespace kv318::remote
