// Scratch files for what a test captures of a program's output.
#pragma once

#include <cstdio>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <string>
#endif

namespace kv318::test {

// A new empty file opened for update in binary mode, deleted when closed;
// nullptr when none could be made.  Use it where std::tmpfile() would do.
//
// Under Wine, tmpfile() (and a name from _tempnam) fails now and then with
// EACCES while another process of the same prefix makes and deletes its
// own: both draw their names from the clock, and a name whose file is being
// deleted on close can be neither made nor opened.  Two test programs run at
// once in each Windows preset's prefix, and about 1 call in 1,000 failed so.  A
// name made of this process's id and a count of its own never meets
// another's, and the exclusive create skips one a crashed run left behind.
inline std::FILE* scratch_file() {
#ifdef _WIN32
    // Any of the test's threads takes the next number; relaxed, as only
    // its uniqueness matters.
    static std::atomic<unsigned> next{0};
    const char* dir = std::getenv("TMP");
    if (dir == nullptr) dir = ".";
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = std::string(dir) + "\\kv318-test-" + std::to_string(_getpid()) + "-" +
                                 std::to_string(next.fetch_add(1, std::memory_order_relaxed)) + ".tmp";
        const int fd =
            _open(name.c_str(), _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY | _O_TEMPORARY, _S_IREAD | _S_IWRITE);
        if (fd < 0) continue;
        std::FILE* f = _fdopen(fd, "w+b");
        if (f == nullptr) _close(fd);
        return f;
    }
    return nullptr;
#else
    return std::tmpfile();
#endif
}

}  // namespace kv318::test
