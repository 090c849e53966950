#include "lazy_binding.h"

#include <utility>

#include "KV318.h"  // for the calling convention of the exports

namespace kv318::panel {

namespace {

constexpr std::array<const char*, kExportCount> kNames{
    "KV318_OpenDevice", "KV318_CloseDevice", "KV318_AD", "KV318_Read", "KV318_StopAD", "KV318_DO",
    "KV318_DI",         "KV318_CRun",        "KV318_CRead", "KV318_PRun", "KV318_PStop",
};

// The exports' real types.  Every argument and result is a 32-bit integer,
// except the sample array of KV318_Read.
using Fn1 = std::int32_t(KV318_CALL*)(std::int32_t);
using Fn2 = std::int32_t(KV318_CALL*)(std::int32_t, std::int32_t);
using Fn3 = std::int32_t(KV318_CALL*)(std::int32_t, std::int32_t, std::int32_t);
using Fn6 = std::int32_t(KV318_CALL*)(std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                                      std::int32_t);
using FnRead = std::int32_t(KV318_CALL*)(std::int32_t, std::int32_t*);

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

std::int32_t LazyBinding::OpenDevice(std::int32_t board) { return as<Fn1>(resolve(Export::OpenDevice))(board); }

std::int32_t LazyBinding::CloseDevice(std::int32_t handle) {
    return as<Fn1>(resolve(Export::CloseDevice))(handle);
}

std::int32_t LazyBinding::AD(std::int32_t handle, std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d,
                             std::int32_t divider) {
    return as<Fn6>(resolve(Export::AD))(handle, a, b, c, d, divider);
}

std::int32_t LazyBinding::Read(std::int32_t handle, std::int32_t* samples) {
    return as<FnRead>(resolve(Export::Read))(handle, samples);
}

std::int32_t LazyBinding::StopAD(std::int32_t handle) { return as<Fn1>(resolve(Export::StopAD))(handle); }

std::int32_t LazyBinding::DO(std::int32_t handle, std::int32_t value) {
    return as<Fn2>(resolve(Export::DO))(handle, value);
}

std::int32_t LazyBinding::DI(std::int32_t handle) { return as<Fn1>(resolve(Export::DI))(handle); }

std::int32_t LazyBinding::CRun(std::int32_t handle) { return as<Fn1>(resolve(Export::CRun))(handle); }

std::int32_t LazyBinding::CRead(std::int32_t handle) { return as<Fn1>(resolve(Export::CRead))(handle); }

std::int32_t LazyBinding::PRun(std::int32_t handle, std::int32_t mode, std::int32_t divisor) {
    return as<Fn3>(resolve(Export::PRun))(handle, mode, divisor);
}

std::int32_t LazyBinding::PStop(std::int32_t handle) { return as<Fn1>(resolve(Export::PStop))(handle); }

}  // namespace kv318::panel
