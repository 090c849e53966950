#include "lazy_binding.h"

#include <utility>

#include "KV318.h"  // the exports' types, taken from their declarations

namespace kv318::panel {

namespace {

constexpr std::array<const char*, kExportCount> kNames{
    "KV318_OpenDevice", "KV318_CloseDevice", "KV318_AD",    "KV318_Read", "KV318_StopAD", "KV318_DO",
    "KV318_DI",         "KV318_CRun",        "KV318_CRead", "KV318_PRun", "KV318_PStop",
};

// A looked-up function cast to its export's type as the header declares it
// (decltype of the declaration, which names it without using it: the panel
// does not link the library).  A change of an export's signature thus
// reaches the panel at compile time.
template <class Fn>
Fn as(Proc p) {
    return reinterpret_cast<Fn>(p);
}

}  // namespace

const char* export_name(Export e) { return kNames[static_cast<std::size_t>(e)]; }

LazyBinding::LazyBinding(Loader& loader, std::string file) : loader_(loader), file_(std::move(file)) {}

Proc LazyBinding::resolve(Export e) {
    if (!loaded_) {
        std::string reason;
        if (!loader_.load(file_, reason)) {
            std::string text = "Cannot load the library file " + file_;
            if (!reason.empty()) text += ":\n" + reason;
            throw BindingError(text);
        }
        loaded_ = true;
    }
    Proc& slot = procs_[static_cast<std::size_t>(e)];
    if (slot == nullptr) {
        slot = loader_.find(export_name(e));
        if (slot == nullptr) {
            throw BindingError(std::string("Cannot find the function ") + export_name(e) + " in " + file_);
        }
    }
    return slot;
}

std::int32_t LazyBinding::OpenDevice(std::int32_t board) {
    return as<decltype(&KV318_OpenDevice)>(resolve(Export::OpenDevice))(board);
}

std::int32_t LazyBinding::CloseDevice(std::int32_t handle) {
    return as<decltype(&KV318_CloseDevice)>(resolve(Export::CloseDevice))(handle);
}

std::int32_t LazyBinding::AD(std::int32_t handle, std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d,
                             std::int32_t divider) {
    return as<decltype(&KV318_AD)>(resolve(Export::AD))(handle, a, b, c, d, divider);
}

std::int32_t LazyBinding::Read(std::int32_t handle, std::int32_t* samples) {
    return as<decltype(&KV318_Read)>(resolve(Export::Read))(handle, samples);
}

std::int32_t LazyBinding::StopAD(std::int32_t handle) {
    return as<decltype(&KV318_StopAD)>(resolve(Export::StopAD))(handle);
}

std::int32_t LazyBinding::DO(std::int32_t handle, std::int32_t value) {
    return as<decltype(&KV318_DO)>(resolve(Export::DO))(handle, value);
}

std::int32_t LazyBinding::DI(std::int32_t handle) { return as<decltype(&KV318_DI)>(resolve(Export::DI))(handle); }

std::int32_t LazyBinding::CRun(std::int32_t handle) { return as<decltype(&KV318_CRun)>(resolve(Export::CRun))(handle); }

std::int32_t LazyBinding::CRead(std::int32_t handle) {
    return as<decltype(&KV318_CRead)>(resolve(Export::CRead))(handle);
}

std::int32_t LazyBinding::PRun(std::int32_t handle, std::int32_t mode, std::int32_t divisor) {
    return as<decltype(&KV318_PRun)>(resolve(Export::PRun))(handle, mode, divisor);
}

std::int32_t LazyBinding::PStop(std::int32_t handle) {
    return as<decltype(&KV318_PStop)>(resolve(Export::PStop))(handle);
}

}  // namespace kv318::panel
