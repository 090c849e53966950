// KV318.dll through its real entry points, as a program that loads it at
// run time sees them: LoadLibraryA, GetProcAddress by name and by ordinal,
// and calls through stdcall pointers typed by the public header.  Every call
// uses arguments that are safe without a board.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "KV318.h"

#if defined(__i386__)
// Calls fn with `count` 32-bit arguments (args[0] first) and reports how many
// bytes of stack the call left behind: 0 when the callee removed exactly the
// arguments pushed, as stdcall requires.  The result lands in *result.
extern "C" std::int32_t kv318_stdcall_probe(const void* fn, const std::int32_t* args, std::int32_t count,
                                            std::int32_t* result);
asm(R"(
    .text
    .globl _kv318_stdcall_probe
_kv318_stdcall_probe:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl 12(%ebp), %esi
    movl 16(%ebp), %ecx
    movl %esp, %edi
1:  testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%esi,%ecx,4)
    jmp 1b
2:  call *8(%ebp)
    movl 20(%ebp), %ecx
    movl %eax, (%ecx)
    movl %edi, %eax
    subl %esp, %eax
    movl %edi, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
)");
#endif

namespace {

// One argument as the header's prototypes take it: a 32-bit integer, or a
// pointer made from one (0 gives NULL).
struct Arg {
    std::int32_t v;
    operator std::int32_t() const { return v; }
    template <typename T>
    operator T*() const {
        return reinterpret_cast<T*>(static_cast<std::intptr_t>(v));
    }
};

// How many arguments a header prototype takes (up to six, the most any export has).
template <typename Fn>
constexpr int prototype_arity() {
    if constexpr (std::is_invocable_v<Fn, Arg>) return 1;
    else if constexpr (std::is_invocable_v<Fn, Arg, Arg>) return 2;
    else if constexpr (std::is_invocable_v<Fn, Arg, Arg, Arg>) return 3;
    else if constexpr (std::is_invocable_v<Fn, Arg, Arg, Arg, Arg>) return 4;
    else if constexpr (std::is_invocable_v<Fn, Arg, Arg, Arg, Arg, Arg, Arg>) return 6;
    else return -1;
}

// Calls `p`, typed as the header declares it, `times` times with `a`.
// Returns the first result, or INT32_MIN when any call returned another.
template <typename Fn>
std::int32_t call_typed(FARPROC p, const std::vector<std::int32_t>& a, int times) {
    const Fn fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(p));
    constexpr int n = prototype_arity<Fn>();
    static_assert(n > 0, "an export's prototype takes one to six 32-bit arguments");
    auto once = [&] {
        if constexpr (n == 1) return fn(Arg{a[0]});
        else if constexpr (n == 2) return fn(Arg{a[0]}, Arg{a[1]});
        else if constexpr (n == 3) return fn(Arg{a[0]}, Arg{a[1]}, Arg{a[2]});
        else if constexpr (n == 4) return fn(Arg{a[0]}, Arg{a[1]}, Arg{a[2]}, Arg{a[3]});
        else return fn(Arg{a[0]}, Arg{a[1]}, Arg{a[2]}, Arg{a[3]}, Arg{a[4]}, Arg{a[5]});
    };
    const std::int32_t first = once();
    for (int i = 1; i < times; ++i)
        if (once() != first) return INT32_MIN;
    return first;
}

struct Export {
    const char* name;
    WORD ordinal;                    // published: programs may import by it, so it never changes
    std::int32_t expected;           // the result without a board
    std::vector<std::int32_t> args;  // safe without a board; its size is the export's arity
    int prototypeArity;              // what the header declares
    std::int32_t (*call)(FARPROC, const std::vector<std::int32_t>&, int);
};

#define KV318_ROW(fn, ordinal, expected, ...) \
    Export { #fn, ordinal, expected, {__VA_ARGS__ }, prototype_arity < decltype(&fn)>(), &call_typed < decltype(&fn)> }

// Handle -1 is never a board; NULL buffers are refused before any request
// (KV318_LastError's too); board 99 has neither a device nor a pipe.
const std::vector<Export>& exports_table() {
    static const std::vector<Export> table = {
        KV318_ROW(KV318_OpenDevice, 1, -1, 99),
        KV318_ROW(KV318_CloseDevice, 2, 0, -1),
        KV318_ROW(KV318_Info, 3, -1, -1, 0),
        KV318_ROW(KV318_AD, 12, -1, -1, 0, 0, 0, 0, 50),
        KV318_ROW(KV318_Read, 13, -1, -1, 0),
        KV318_ROW(KV318_StopAD, 14, 0, -1),
        KV318_ROW(KV318_M_AD, 15, -1, -1, 1, 0, 1, 0, 100),
        KV318_ROW(KV318_M_Read, 16, -1, -1, 0, 0, 0),
        KV318_ROW(KV318_M_StopAD, 17, 0, -1),
        KV318_ROW(KV318_StreamStats, 18, -1, -1, 0),
        KV318_ROW(KV318_DI, 21, 65535, -1),
        KV318_ROW(KV318_DO, 22, -1, -1, 0x1234),
        KV318_ROW(KV318_PRun, 31, -1, -1, 1, 100),
        KV318_ROW(KV318_PStop, 32, -1, -1),
        KV318_ROW(KV318_CRead, 33, -1, -1),
        KV318_ROW(KV318_CRun, 34, -1, -1),
        KV318_ROW(KV318_inb, 51, -1, -1, 0),
        KV318_ROW(KV318_outb, 52, -1, -1, 9, 0),
        KV318_ROW(KV318_BulkRead, 53, -1, -1, 0, 16),
        KV318_ROW(KV318_ResetUSB, 55, -1, -1),
        KV318_ROW(KV318_LastError, 60, -1, 0, 0),
        KV318_ROW(KV318_OpenServed, 61, -1, 0, 0, 0),
        KV318_ROW(KV318_ServedStatus, 62, -1, -1, 0),
        KV318_ROW(KV318_Follow, 63, -1, -1),
        KV318_ROW(KV318_ServedBoard, 64, -1, -1, 1000000, 65536),
    };
    return table;
}

// The exports KV318.def gives the DLL, name to ordinal, from "name:ordinal"
// items separated by commas (the list the export-table check uses too).
std::map<std::string, WORD> expected_exports() {
    std::map<std::string, WORD> out;
    std::stringstream list(KV318_EXPORTS);
    std::string item;
    while (std::getline(list, item, ',')) {
        const std::size_t colon = item.find(':');
        if (colon != std::string::npos)
            out[item.substr(0, colon)] = static_cast<WORD>(std::stoi(item.substr(colon + 1)));
    }
    return out;
}

// A row of the table that the DLL exports, at its ordinal.
struct Built {
    const Export* row;
    WORD ordinal;
};

class DllEntryPoints : public ::testing::Test {
protected:
    void SetUp() override {
        dll_ = LoadLibraryA("KV318.dll");
        ASSERT_NE(dll_, nullptr) << "LoadLibraryA(KV318.dll) failed, error " << GetLastError();
    }
    void TearDown() override {
        if (dll_ != nullptr) FreeLibrary(dll_);
    }

    // The rows this build exports; the others must be absent from the DLL.
    static std::vector<Built> built_rows() {
        std::vector<Built> rows;
        const std::map<std::string, WORD> expected = expected_exports();
        for (const Export& e : exports_table())
            if (const auto it = expected.find(e.name); it != expected.end()) rows.push_back({&e, it->second});
        return rows;
    }

    HMODULE dll_ = nullptr;
};

TEST_F(DllEntryPoints, EveryExportResolvesToOneAddressByNameAndByOrdinal) {
    const std::map<std::string, WORD> expected = expected_exports();
    ASSERT_FALSE(expected.empty()) << "KV318_EXPORTS is empty";
    std::set<std::string> unmatched;
    std::set<WORD> assigned;
    for (const auto& [name, ordinal] : expected) {
        unmatched.insert(name);
        assigned.insert(ordinal);
    }
    for (const Export& e : exports_table()) {
        const bool built = unmatched.erase(e.name) != 0;
        const FARPROC byName = GetProcAddress(dll_, e.name);
        if (!built) {
            EXPECT_EQ(byName, nullptr) << e.name << " is exported although KV318.def does not list it";
            continue;
        }
        EXPECT_EQ(expected.at(e.name), e.ordinal) << e.name << ": KV318.def moved a published ordinal";
        ASSERT_NE(byName, nullptr) << e.name;
        EXPECT_EQ(GetProcAddress(dll_, MAKEINTRESOURCEA(e.ordinal)), byName) << e.name << " at ordinal " << e.ordinal;
        EXPECT_EQ(static_cast<int>(e.args.size()), e.prototypeArity) << e.name << ": the row's arguments";
    }
    EXPECT_TRUE(unmatched.empty()) << "exports of KV318.def without a row here: " << *unmatched.begin();
    // The gaps between the ordinals (4-11, 54, ...) stay unassigned.
    for (WORD ordinal = 1; ordinal <= *assigned.rbegin() + 1; ++ordinal) {
        if (assigned.count(ordinal) == 0) {
            EXPECT_EQ(GetProcAddress(dll_, MAKEINTRESOURCEA(ordinal)), nullptr) << "ordinal " << ordinal;
        }
    }
    EXPECT_EQ(GetProcAddress(dll_, "KV318_DO@8"), nullptr) << "names are undecorated";
}

#if defined(__i386__)
// Only 32-bit Windows has a choice of calling conventions; x64 has one.
TEST_F(DllEntryPoints, EachExportRemovesExactlyItsArguments) {
    for (const Built& b : built_rows()) {
        const Export* e = b.row;
        const FARPROC fn = GetProcAddress(dll_, e->name);
        ASSERT_NE(fn, nullptr) << e->name;
        std::int32_t result = 0;
        const std::int32_t leftOnStack = kv318_stdcall_probe(reinterpret_cast<const void*>(fn), e->args.data(),
                                                             static_cast<std::int32_t>(e->args.size()), &result);
        EXPECT_EQ(leftOnStack, 0) << e->name << " should remove its " << e->args.size() * 4
                                  << " bytes of arguments (stdcall)";
        EXPECT_EQ(result, e->expected) << e->name;
    }
}
#endif

TEST_F(DllEntryPoints, ThousandsOfCallsThroughHeaderTypedPointers) {
    // A callee that removed the wrong number of bytes would shift this
    // frame's stack a little on every call: thousands of calls turn that
    // into wrong locals or a crash on return.
    constexpr int kCalls = 2000;
    for (const auto& [e, ordinal] : built_rows()) {
        const FARPROC byName = GetProcAddress(dll_, e->name);
        const FARPROC byOrdinal = GetProcAddress(dll_, MAKEINTRESOURCEA(ordinal));
        ASSERT_NE(byName, nullptr) << e->name;
        ASSERT_NE(byOrdinal, nullptr) << e->name;
        EXPECT_EQ(e->call(byName, e->args, kCalls), e->expected) << e->name << " by name";
        EXPECT_EQ(e->call(byOrdinal, e->args, kCalls), e->expected) << e->name << " by ordinal";
    }
}

}  // namespace
