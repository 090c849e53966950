// Substitutes for the panel's seams: a view and a library that write every
// request into one shared log, so tests see the order of calls across both,
// and a clock driven by hand.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "binding.h"
#include "clock.h"
#include "controls.h"
#include "view.h"

namespace kv318::panel::testing {

using Log = std::vector<std::string>;

inline std::string name_of(Control c) { return control_spec(c).name; }

class FakeView final : public View {
public:
    explicit FakeView(Log& log) : log_(log) {
        for (const auto& c : control_table()) {
            if (c.kind == Kind::TextBox) texts[c.id] = c.caption;
            if (c.kind == Kind::Button) enabled[c.id] = true;
            if (c.kind == Kind::Timer) timers[c.id] = false;
        }
    }

    void set_title(const std::string& text) override {
        title = text;
        log_.push_back("title " + text);
    }
    void beep() override {
        ++beeps;
        log_.push_back("beep");
    }
    std::string text(Control box) override { return texts.at(box); }
    void set_text(Control box, const std::string& text) override {
        texts[box] = text;
        log_.push_back("text " + name_of(box) + "=" + text);
    }
    void set_enabled(Control button, bool on) override {
        enabled[button] = on;
        log_.push_back("enable " + name_of(button) + "=" + (on ? "1" : "0"));
    }
    void set_timer(Control timer, bool on) override {
        timers[timer] = on;
        log_.push_back("timer " + name_of(timer) + "=" + (on ? "1" : "0"));
    }
    void clear_list(Control) override {
        list.clear();
        log_.push_back("clear");
    }
    void add_item(Control, const std::string& item) override {
        list.push_back(item);
        log_.push_back("item");
    }
    void message_box(const std::string& text) override {
        messages.push_back(text);
        log_.push_back("box " + text);
        // Events the user or a timer delivers while the box is open.
        if (whileBoxOpen) whileBoxOpen();
    }
    void exit(int code) override {
        exitCode = code;
        log_.push_back("exit " + std::to_string(code));
    }

    std::string title;
    int beeps = 0;
    std::map<Control, std::string> texts;
    std::map<Control, bool> enabled;
    std::map<Control, bool> timers;
    std::vector<std::string> list;
    std::vector<std::string> messages;
    int exitCode = -100;
    std::function<void()> whileBoxOpen;

private:
    Log& log_;
};

// The clock a test moves; each KV318_Read of FakeLibrary advances it.
class FakeClock final : public Clock {
public:
    std::int64_t now_ms() override { return now; }
    std::int64_t now = 5000;
};

class FakeLibrary final : public Binding {
public:
    FakeLibrary(Log& log, FakeClock& clock) : log_(log), clock_(clock) {}

    // One scripted KV318_Read: its result, and the samples it writes from
    // element 0 when the result is positive.
    struct ReadReply {
        std::int32_t result;
        std::vector<std::int32_t> samples;
    };

    std::int32_t OpenDevice(std::int32_t board) override { return call("OpenDevice", {board}, openResult); }
    std::int32_t CloseDevice(std::int32_t h) override { return call("CloseDevice", {h}, 0); }
    std::int32_t AD(std::int32_t h, std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d,
                    std::int32_t divider) override {
        return call("AD", {h, a, b, c, d, divider}, 0);
    }
    std::int32_t Read(std::int32_t h, std::int32_t* samples) override {
        ++reads;
        clock_.now += msPerRead;
        ReadReply r{0, {}};
        if (!readScript.empty()) {
            r = readScript.front();
            readScript.pop_front();
        }
        for (std::size_t i = 0; i < r.samples.size(); ++i) samples[i] = r.samples[i];
        // Zero answers are too many to log one by one.
        if (r.result != 0) call("Read", {h}, 0);
        return r.result;
    }
    std::int32_t StopAD(std::int32_t h) override { return call("StopAD", {h}, 0); }
    std::int32_t DO(std::int32_t h, std::int32_t value) override { return call("DO", {h, value}, 0); }
    std::int32_t DI(std::int32_t h) override { return call("DI", {h}, diResult); }
    std::int32_t CRun(std::int32_t h) override { return call("CRun", {h}, 0); }
    std::int32_t CRead(std::int32_t h) override {
        std::int32_t v = 0;
        if (!creadScript.empty()) {
            v = creadScript.front();
            creadScript.pop_front();
        }
        return call("CRead", {h}, v);
    }
    std::int32_t PRun(std::int32_t h, std::int32_t mode, std::int32_t divisor) override {
        return call("PRun", {h, mode, divisor}, 0);
    }
    std::int32_t PStop(std::int32_t h) override { return call("PStop", {h}, 0); }

    std::int32_t openResult = 0x7C;
    std::int32_t diResult = 0;
    std::deque<std::int32_t> creadScript;
    std::deque<ReadReply> readScript;
    std::int64_t msPerRead = 1;
    int reads = 0;
    // A function the test wants missing: its call throws as a real binding
    // does.
    std::string missing;

private:
    std::int32_t call(const std::string& name, std::vector<std::int32_t> args, std::int32_t result) {
        if (name == missing) throw BindingError("Cannot find the function KV318_" + name + " in libKV318.so");
        std::string entry = "lib " + name + "(";
        for (std::size_t i = 0; i < args.size(); ++i) {
            if (i != 0) entry += ',';
            entry += std::to_string(args[i]);
        }
        log_.push_back(entry + ")");
        return result;
    }

    Log& log_;
    FakeClock& clock_;
};

// Only the library's entries of a log.
inline Log library_calls(const Log& log) {
    Log out;
    for (const auto& e : log) {
        if (e.rfind("lib ", 0) == 0) out.push_back(e);
    }
    return out;
}

}  // namespace kv318::panel::testing

namespace kv318::panel::testing {

// Joins texts.  (Chains of `"x" + std::string(...)` trip a false
// -Wrestrict of the 32-bit mingw compiler.)
inline std::string cat(std::initializer_list<std::string_view> parts) {
    std::string s;
    for (auto p : parts) s.append(p);
    return s;
}

// A listed line written out by hand: index, twelve blanks, code, seven
// blanks, volts, a blank and a carriage return.
inline std::string listed(std::string_view index, std::string_view code, std::string_view volts) {
    return cat({index, std::string(12, ' '), code, std::string(7, ' '), volts, " \r"});
}

}  // namespace kv318::panel::testing
