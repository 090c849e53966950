// The library binding: the eleven KV318 exports the panel declares, called
// through an interface so that the handlers can be exercised against a fake
// library.  The platform binding loads the library file at the first call
// and resolves each function by its exported name at that function's first
// call (see lazy_binding.h).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kv318::panel {

// Raised by a binding when the library file cannot be loaded or a function
// is missing from it.  what() names the file or the function; the panel
// shows it and ends.
class BindingError : public std::runtime_error {
public:
    explicit BindingError(const std::string& text) : std::runtime_error(text) {}
};

// Called on the GUI thread only.  Results are the library's, unchanged.
// Any call may throw BindingError instead of returning.
class Binding {
public:
    virtual ~Binding() = default;

    virtual std::int32_t OpenDevice(std::int32_t board) = 0;
    virtual std::int32_t CloseDevice(std::int32_t handle) = 0;
    virtual std::int32_t AD(std::int32_t handle, std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d,
                            std::int32_t divider) = 0;
    // `samples` is owned by the caller and must hold KV318_READ_MAX_SAMPLES
    // elements (KV318.h).
    virtual std::int32_t Read(std::int32_t handle, std::int32_t* samples) = 0;
    virtual std::int32_t StopAD(std::int32_t handle) = 0;
    virtual std::int32_t DO(std::int32_t handle, std::int32_t value) = 0;
    virtual std::int32_t DI(std::int32_t handle) = 0;
    virtual std::int32_t CRun(std::int32_t handle) = 0;
    virtual std::int32_t CRead(std::int32_t handle) = 0;
    virtual std::int32_t PRun(std::int32_t handle, std::int32_t mode, std::int32_t divisor) = 0;
    virtual std::int32_t PStop(std::int32_t handle) = 0;
};

}  // namespace kv318::panel
