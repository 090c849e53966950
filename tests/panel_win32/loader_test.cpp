// The Windows binding without a window: KV318.dll loaded by its file name
// with LoadLibraryA, functions found by exported name, and the failures the
// panel reports by name.
#include <gtest/gtest.h>
#include <windows.h>

#include "lazy_binding.h"
#include "library_loader.h"
#include "text.h"

namespace kv318::win32 {
namespace {

// The stand-in's path as Windows takes it: Wine shows the build host's
// root as drive Z:.
std::string stub_library() {
    std::string path = KV318_STUB_LIBRARY;
    if (path.front() == '/') path = "Z:" + path;
    for (char& c : path) c = c == '/' ? '\\' : c;
    return path;
}

TEST(LibraryLoader, FindsTheLibraryAndEveryDeclaredFunction) {
    // The test runs with the library's build directory on its search path.
    panel::LibraryLoader loader;
    std::string reason;
    ASSERT_TRUE(loader.load("KV318", reason)) << reason;
    for (int e = 0; e < panel::kExportCount; ++e) {
        const char* name = panel::export_name(static_cast<panel::Export>(e));
        EXPECT_NE(loader.find(name), nullptr) << name;
    }
    EXPECT_EQ(loader.find("KV318_NoSuchFunction"), nullptr);
}

TEST(LibraryLoader, RealLibraryAnswersThroughTheBinding) {
    panel::LibraryLoader loader;
    panel::LazyBinding lib(loader, "KV318");
    // Board 0 has no driver and no pipe here: the open fails cleanly, and
    // calls on the failed handle answer as the library says they do.
    EXPECT_EQ(lib.OpenDevice(4321), -1);
    EXPECT_EQ(lib.DI(-1), 65535);
    EXPECT_EQ(lib.CRead(-1), -1);
}

TEST(LibraryLoader, MissingLibraryNamesTheFileAndTheReason) {
    panel::LibraryLoader loader;
    panel::LazyBinding lib(loader, "KV318_not_installed");
    try {
        lib.OpenDevice(0);
        FAIL() << "no library, yet the call returned";
    } catch (const panel::BindingError& e) {
        const std::string text = e.what();
        EXPECT_NE(text.find("KV318_not_installed"), std::string::npos) << text;
        EXPECT_NE(text.find("(error 126)"), std::string::npos) << "ERROR_MOD_NOT_FOUND: " << text;
    }
}

TEST(LibraryLoader, MissingFunctionIsFoundAtItsFirstCall) {
    // The stand-in exports KV318_OpenDevice only.
    panel::LibraryLoader loader;
    panel::LazyBinding lib(loader, stub_library());
    EXPECT_EQ(lib.OpenDevice(0), 0x7C);
    EXPECT_EQ(lib.OpenDevice(0), 0x7C) << "bound once, called again";
    try {
        lib.StopAD(0x7C);
        FAIL() << "a function the library lacks returned";
    } catch (const panel::BindingError& e) {
        EXPECT_NE(std::string(e.what()).find("KV318_StopAD"), std::string::npos) << e.what();
    }
}

TEST(Text, Utf8AndUtf16RoundTrip) {
    const struct {
        const char* utf8;
        const wchar_t* utf16;
    } cases[] = {
        {"", L""},
        {"over!", L"over!"},
        {"请正确输入！", L"\u8bf7\u6b63\u786e\u8f93\u5165\uff01"},
        {"DO15~DO0", L"DO15~DO0"},
        {"\xF0\x9F\x98\x80", L"\U0001F600"},  // beyond the basic plane: a surrogate pair
    };
    for (const auto& c : cases) {
        EXPECT_EQ(widen(c.utf8), c.utf16) << c.utf8;
        EXPECT_EQ(narrow(c.utf16), c.utf8) << c.utf8;
    }
    // A stray byte does not swallow the text after it.
    EXPECT_EQ(widen("A\xFF"
                    "B"),
              L"A\uFFFDB");
}

}  // namespace
}  // namespace kv318::win32
