// The binding the real panel uses: the library file is loaded at the first
// call of any function, and each function is looked up by its exported
// name at its own first call, then stays bound until exit.  The loading
// itself is a platform service (Loader), so this logic is the same on every
// system.
#pragma once

#include <array>
#include <string>

#include "binding.h"

namespace kv318::panel {

// A function as a loader hands it back, before it is cast to its real type.
using Proc = void (*)();

// Loads one shared library and looks up functions in it.  GUI thread only.
class Loader {
public:
    virtual ~Loader() = default;

    // Loads the library file named `file` (e.g. "libKV318.so" or
    // "KV318.dll").  Returns true once it is loaded; on failure returns false
    // and puts the system's reason in `reason`.
    virtual bool load(const std::string& file, std::string& reason) = 0;

    // The function exported as `name` by the loaded library, or nullptr when
    // it has none.  Only called after load() succeeded.
    virtual Proc find(const char* name) = 0;
};

// The eleven functions the panel declares, in declaration order.
enum class Export : int {
    OpenDevice,
    CloseDevice,
    AD,
    Read,
    StopAD,
    DO,
    DI,
    CRun,
    CRead,
    PRun,
    PStop,
};
inline constexpr int kExportCount = static_cast<int>(Export::PStop) + 1;

// The exported name of `e`, such as "KV318_OpenDevice".
const char* export_name(Export e);

class LazyBinding final : public Binding {
public:
    // `loader` is owned by the caller and outlives the binding.  `file` is
    // the library's file name.
    LazyBinding(Loader& loader, std::string file);

    std::int32_t OpenDevice(std::int32_t board) override;
    std::int32_t CloseDevice(std::int32_t handle) override;
    std::int32_t AD(std::int32_t handle, std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d,
                    std::int32_t divider) override;
    std::int32_t Read(std::int32_t handle, std::int32_t* samples) override;
    std::int32_t StopAD(std::int32_t handle) override;
    std::int32_t DO(std::int32_t handle, std::int32_t value) override;
    std::int32_t DI(std::int32_t handle) override;
    std::int32_t CRun(std::int32_t handle) override;
    std::int32_t CRead(std::int32_t handle) override;
    std::int32_t PRun(std::int32_t handle, std::int32_t mode, std::int32_t divisor) override;
    std::int32_t PStop(std::int32_t handle) override;

private:
    // Loads the file if need be and resolves `e`; throws BindingError naming
    // the file or the function when either is missing.
    Proc resolve(Export e);

    Loader& loader_;
    std::string file_;
    bool loaded_ = false;
    std::array<Proc, kExportCount> procs_{};
};

}  // namespace kv318::panel
