#include <windows.h>

#include "child_process.h"

namespace kv318::test {

namespace {

std::string native_path(const std::string& path) {
    std::string out = !path.empty() && path[0] == '/' ? "Z:" : "";
    for (char c : path) out += c == '/' ? '\\' : c;
    return out;
}

std::string unique_path(const char* what) {
    static int serial = 0;
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    return std::string(dir) + "kv318-child-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++serial) +
           "." + what;
}

std::string read_file(const std::string& path) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return {};
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(f, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    CloseHandle(f);
    return text;
}

constexpr int kStartAttempts = 3;

HANDLE open_inheritable(const std::string& path) {
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args)
    : outPath_(unique_path("out")), errPath_(unique_path("err")) {
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    HANDLE childInput = nullptr;
    HANDLE input = nullptr;
    if (!CreatePipe(&childInput, &input, &inherit, 0)) return;
    input_ = input;
    // Only the read end goes to the child; if it held the write end too,
    // closing ours would never be an end of file.
    SetHandleInformation(input, HANDLE_FLAG_INHERIT, 0);
    HANDLE out = open_inheritable(outPath_);
    HANDLE err = open_inheritable(errPath_);
    const std::string path = native_path(program);
    std::string command = "\"" + path + "\"";
    for (const std::string& a : args) command += " " + a;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = childInput;
    si.hStdOutput = out;
    si.hStdError = err;
    // Wine now and then fails to lay out a new process's address space
    // ("failed to map the shared user data"), and CreateProcess fails
    // before the program has run a line.  That says nothing of the program,
    // so a start is tried up to three times; a missing program fails at once.
    for (int attempt = 0; attempt < kStartAttempts && out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE;
         ++attempt) {
        PROCESS_INFORMATION pi{};
        if (CreateProcessA(path.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
            CloseHandle(pi.hThread);
            process_ = pi.hProcess;
            break;
        }
        const DWORD why = GetLastError();
        if (why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND) break;
    }
    CloseHandle(childInput);
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    if (err != INVALID_HANDLE_VALUE) CloseHandle(err);
}

ChildProcess::~ChildProcess() {
    close_input();
    if (started()) {
        if (!wait_exit(std::chrono::seconds(10))) {
            kill();
            wait_exit(std::chrono::seconds(10));
        }
        CloseHandle(process_);
    }
    DeleteFileA(outPath_.c_str());
    DeleteFileA(errPath_.c_str());
}

bool ChildProcess::started() const { return process_ != nullptr; }

std::string ChildProcess::out() const { return read_file(outPath_); }

std::string ChildProcess::err() const { return read_file(errPath_); }

bool ChildProcess::wait_for_output(const std::string& text, std::chrono::milliseconds limit) {
    auto shows = [&] { return output().find(text) != std::string::npos; };
    wait_until([&] { return shows() || exited(); }, limit);
    return shows();
}

void ChildProcess::close_input() {
    if (input_ != nullptr) CloseHandle(input_);
    input_ = nullptr;
}

std::optional<int> ChildProcess::wait_exit(std::chrono::milliseconds limit) {
    if (!started()) return std::nullopt;
    if (!code_ && WaitForSingleObject(process_, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        code_ = static_cast<int>(code);
    }
    return code_;
}

void ChildProcess::kill() {
    if (started() && !code_) TerminateProcess(process_, 255);
}

}  // namespace kv318::test
