// The boards this process opens itself: one function per export, each with
// the export's contract (KV318.h), reached through the local board's table
// (backend.h).  They take the OS handles the device service gives out.
#pragma once

#include <cstdint>

#include "KV318.h"

namespace kv318::local {

std::int32_t open_device(std::int32_t board);
std::int32_t close_device(std::int32_t handle);
std::int32_t info(std::int32_t handle, char* text);
std::int32_t inb(std::int32_t handle, std::int32_t reg);
std::int32_t outb(std::int32_t handle, std::int32_t reg, std::int32_t value);
std::int32_t bulk_read(std::int32_t handle, void* buffer, std::int32_t length);
std::int32_t reset_usb(std::int32_t handle);

std::int32_t ad(std::int32_t handle, std::int32_t flag1, std::int32_t flag2, std::int32_t flag3, std::int32_t flag4,
                std::int32_t divider);
std::int32_t read(std::int32_t handle, std::int32_t* samples);
std::int32_t stop_ad(std::int32_t handle);
std::int32_t m_ad(std::int32_t handle, std::int32_t flag1, std::int32_t flag2, std::int32_t flag3, std::int32_t flag4,
                  std::int32_t divider);
std::int32_t m_read(std::int32_t handle, std::int32_t* samples, std::int32_t* carry, std::int32_t reserved);
std::int32_t m_stop_ad(std::int32_t handle);
std::int32_t stream_stats(std::int32_t handle, KV318_STREAM_STATS* stats);

std::int32_t di(std::int32_t handle);
std::int32_t do_write(std::int32_t handle, std::int32_t value);
std::int32_t c_run(std::int32_t handle);
std::int32_t c_read(std::int32_t handle);
std::int32_t p_run(std::int32_t handle, std::int32_t mode, std::int32_t divisor);
std::int32_t p_stop(std::int32_t handle);

}  // namespace kv318::local
