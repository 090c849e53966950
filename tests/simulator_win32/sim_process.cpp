#include "sim_process.h"

#include <chrono>
#include <thread>

namespace kv318::sim::test {

bool wait_until(const std::function<bool()>& done, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

namespace {

std::string native_path(const char* path) {
    std::string out = path[0] == '/' ? "Z:" : "";
    for (const char* p = path; *p != '\0'; ++p) out += *p == '/' ? '\\' : *p;
    return out;
}

std::string unique_log_path() {
    static int serial = 0;
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    return std::string(dir) + "kv318-sim-test-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(++serial) + ".log";
}

}  // namespace

SimProcess::SimProcess(const char* exe, const std::vector<std::string>& args) : logPath_(unique_log_path()) {
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    HANDLE childInput = nullptr;
    if (!CreatePipe(&childInput, &input_, &inherit, 0)) return;
    // Only the read end goes to the child; if it held the write end too,
    // closing ours would never be an end of file.
    SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0);
    HANDLE log = CreateFileA(logPath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    const std::string path = native_path(exe);
    std::string command = "\"" + path + "\"";
    for (const std::string& a : args) command += " " + a;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = childInput;
    si.hStdOutput = log;
    si.hStdError = log;
    PROCESS_INFORMATION pi{};
    if (log != INVALID_HANDLE_VALUE &&
        CreateProcessA(path.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        CloseHandle(pi.hThread);
        process_ = pi.hProcess;
    }
    CloseHandle(childInput);
    if (log != INVALID_HANDLE_VALUE) CloseHandle(log);
}

SimProcess::~SimProcess() {
    close_input();
    if (process_ != nullptr) {
        if (WaitForSingleObject(process_, 10000) != WAIT_OBJECT_0) {
            TerminateProcess(process_, 255);
            WaitForSingleObject(process_, 10000);
        }
        CloseHandle(process_);
    }
    DeleteFileA(logPath_.c_str());
}

std::string SimProcess::output() const {
    HANDLE f = CreateFileA(logPath_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return {};
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(f, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    CloseHandle(f);
    return text;
}

bool SimProcess::wait_serving(int ms) {
    if (process_ == nullptr) return false;
    auto serving = [this] { return output().find("kv318-sim: serving") != std::string::npos; };
    wait_until([&] { return serving() || WaitForSingleObject(process_, 0) == WAIT_OBJECT_0; }, ms);
    return serving();
}

void SimProcess::close_input() {
    if (input_ != nullptr) CloseHandle(input_);
    input_ = nullptr;
}

std::optional<DWORD> SimProcess::wait_exit(int ms) {
    if (process_ == nullptr || WaitForSingleObject(process_, static_cast<DWORD>(ms)) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return code;
}

}  // namespace kv318::sim::test
