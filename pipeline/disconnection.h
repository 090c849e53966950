// What every program says of a board that stopped answering (its driver
// went away, its cable was pulled), and how often it looks for it again.
// kv318-server and kv318-scope both keep a board that went away and take
// it back when it returns; each says so in the same words, with its own
// promise at the end.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace kv318::pipeline {

// How often a program tries to open a board again once it went away: often
// enough that a board plugged back in is served within a second, seldom
// enough that an absent board costs nothing.
inline constexpr int kReopenMs = 500;

// `when` as this machine's local time of day, "HH:MM:SS".  Any thread.
std::string local_clock_text(std::time_t when);

// "board N is disconnected since HH:MM:SS; THEN", the time `since` in local
// time, THEN what the program will do ("kv318-server will take it back when
// it returns").  Any thread.
std::string disconnected_text(std::int32_t board, std::time_t since, const std::string& then);

}  // namespace kv318::pipeline
