// The server's answers to control requests, and its rule of who may do
// what: the connection whose start succeeded controls the board until it
// stops, says goodbye or falls silent; everyone else follows and may only
// look.  Control belongs to the connection (and its CURVE key), never to
// the name a request gives: another connection that gives the same name
// gets nothing it could not get anyway.  No socket here: the program hands
// each request's text in with its caller and sends the answer back, so the
// rules are tested against a scripted board with made-up callers.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "board_host.h"
#include "envelope.h"
#include "wire.h"

namespace kv318::server {

class Control {
public:
    // `boards` are the served boards, owned by the caller, who keeps them
    // alive as long as this object.  `serverName` ("PID@HOST") is what
    // hello answers.
    Control(const std::vector<BoardHost*>& boards, std::string serverName);

    // Answers one request's text from `caller` with a reply's text; never
    // fails (a bad request gets an error reply).  Every request that names
    // a client counts as a sign of life of its connection only.  `nowMs` is
    // a steady clock in ms.  The control thread only, as for everything
    // here.
    std::string answer(const std::string& request, const Caller& caller, std::int64_t nowMs);

    // Runs the clock on: frees every board whose controller's connection
    // has been silent for longer than remote::kClientTimeoutMs (its
    // acquisition stopped), forgets silent connections, and sends each idle
    // board's idle block when one is due.  Call it at least every few
    // hundred ms.
    void tick(std::int64_t nowMs);

    // Stops every acquisition (the server is shutting down).
    void stop_all();

    // The name of board index i's controller (empty: none); for tests and
    // logs.
    const std::string& controller(std::size_t i) const { return boards_[i].controller; }

private:
    struct Served {
        BoardHost* host = nullptr;
        std::string controller;  // the client id it gave, empty when nobody controls the board
        Caller holder;           // the connection that controls it
    };

    remote::Message handle(const remote::Message& request, const Caller& caller, std::int64_t nowMs);
    // Whether the request from `caller` naming `client` comes from the
    // controller of `s` (connection, key and name alike).
    static bool holds(const Served& s, const Caller& caller, const std::string& client);
    // The served board a request names, or null with *refusal set.
    Served* board_of(const remote::Message& request, remote::Message* refusal);
    void release(Served& s);

    std::vector<Served> boards_;
    std::string serverName_;
    // When each connection (Caller::connection) was last heard from.
    std::map<std::string, std::int64_t> lastSeen_;
    std::int64_t nextIdleMs_ = 0;
};

}  // namespace kv318::server
