// The board's registers as both ends of the driver interface see them: the
// library reads and writes them, a driver process (the simulator) plays
// the board behind them.  Addresses, the bits of each register, and the
// FIFO level table that the status register's level code stands for.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "KV318.h"

namespace kv318 {

// Register addresses.  Some addresses mean one thing when read and another
// when written.
namespace reg {
inline constexpr std::uint8_t kStatus = 0;         // R8: bit 2 enabled, bits 4-6 FIFO level code
inline constexpr std::uint8_t kStart = 1;          // R8: starts conversion
inline constexpr std::uint8_t kMode = 4;           // R8 stops conversion, W8 sets the mode
inline constexpr std::uint8_t kDivider = 6;        // W16: sample clock divider
inline constexpr std::uint8_t kCounterLow = 6;     // R8
inline constexpr std::uint8_t kCounterHigh = 7;    // R8
inline constexpr std::uint8_t kCounterState = 8;   // R8: bit 0 = no valid count; W8 0 starts
inline constexpr std::uint8_t kPulseControl = 9;   // W8: bit 7 run, bit 6 mode
inline constexpr std::uint8_t kPulseDivisor = 10;  // W8
inline constexpr std::uint8_t kDigital = 14;       // R16 inputs, W16 outputs
}  // namespace reg

// Status register: conversion enabled, and the FIFO level code.
inline constexpr std::uint8_t kStatusEnabledBit = 0x04;
inline constexpr unsigned kStatusLevelShift = 4;
inline constexpr unsigned kStatusLevelCodeMask = 7;  // after the shift

// Counter state (read) and pulse control (written; read back in the state).
inline constexpr std::uint8_t kCounterInvalid = 0x01;  // no valid count
inline constexpr std::uint8_t kPulseOneShot = 0x40;    // one pulse, then stop
inline constexpr std::uint8_t kPulseRun = 0x80;

// The sample clock divider is 12 bits wide and runs from 2.  The public
// header states that range for callers; the board's register takes it from
// there, so the two cannot drift apart.
inline constexpr std::uint16_t kDividerMask = KV318_DIVIDER_MAX;
inline constexpr std::uint16_t kMinDivider = KV318_DIVIDER_MIN;
static_assert((kDividerMask & (kDividerMask + 1)) == 0, "the largest divider is the register's all-ones value");

// ---- FIFO level table ---------------------------------------------------
//
// The level code tells a reader how many bytes the board's FIFO is known
// to hold, so it may drain that many without waiting.  The board reports
// the highest level its fill has reached.

inline constexpr std::size_t kFifoLevelCodes = 8;
// The level each code names, in bytes; code 0 names nothing to drain.
inline constexpr std::array<std::int32_t, kFifoLevelCodes> kFifoLevels = {0,     1024,  4096,   16384,
                                                                          32768, 65536, 131072, 262144};
inline constexpr std::int32_t kMaxFifoLevel = kFifoLevels[kFifoLevelCodes - 1];  // code 7
// What the board's FIFO holds, in bytes: 512 KiB.
inline constexpr std::int32_t kBoardFifoBytes = 524288;

// The level code of a FIFO holding `bytes`: the highest code whose level
// the fill has reached, or 0.
constexpr int fifo_level_code(std::size_t bytes) {
    std::size_t code = 0;
    while (code + 1 < kFifoLevelCodes && bytes >= static_cast<std::size_t>(kFifoLevels[code + 1])) ++code;
    return static_cast<int>(code);
}

// The level code a status register value carries.
constexpr std::size_t status_level_code(std::uint32_t status) {
    return (status >> kStatusLevelShift) & kStatusLevelCodeMask;
}

}  // namespace kv318
