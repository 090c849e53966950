// The server's answers to control requests, and its rule of who may do
// what: the client whose start succeeded controls the board until it stops,
// says goodbye or falls silent; everyone else follows and may only look.
// No socket here: the program hands each request's text in and sends the
// answer back, so the rules are tested against a scripted board.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "board_host.h"
#include "wire.h"

namespace kv318::server {

class Control {
public:
    // `boards` are the served boards, owned by the caller, who keeps them
    // alive as long as this object.  `serverName` ("PID@HOST") is what
    // hello answers.
    Control(const std::vector<BoardHost*>& boards, std::string serverName);

    // Answers one request's text with a reply's text; never fails (a bad
    // request gets an error reply).  `nowMs` is a steady clock in ms.  The
    // control thread only, as for everything here.
    std::string answer(const std::string& request, std::int64_t nowMs);

    // Runs the clock on: frees every board whose controller has been silent
    // for longer than remote::kClientTimeoutMs (its acquisition stopped),
    // forgets silent clients, and sends each idle board's idle block when
    // one is due.  Call it at least every few hundred ms.
    void tick(std::int64_t nowMs);

    // Stops every acquisition (the server is shutting down).
    void stop_all();

    // The controller of board index i (empty: none); for tests and logs.
    const std::string& controller(std::size_t i) const { return boards_[i].controller; }

private:
    struct Served {
        BoardHost* host = nullptr;
        std::string controller;  // client id, empty when nobody controls the board
    };

    remote::Message handle(const remote::Message& request, std::int64_t nowMs);
    // The served board a request names, or null with *refusal set.
    Served* board_of(const remote::Message& request, remote::Message* refusal);
    void release(Served& s);

    std::vector<Served> boards_;
    std::string serverName_;
    // When each client was last heard from.
    std::map<std::string, std::int64_t> lastSeen_;
    std::int64_t nextIdleMs_ = 0;
};

}  // namespace kv318::server
