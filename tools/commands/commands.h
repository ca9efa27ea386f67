// The commands of dyad, which main (dyad.cpp) runs with the parsed command
// line. Each does its work and returns the exit status; all but listen pair
// first and close the pairing at the end.
#pragma once

#include "tools/base/options.h"

namespace dyad {

// Acts as the Initiator and sends `options.files` (send.cpp).
int commandSend(const Options& options);
// Acts as the Responder and stores the files the peer sends in `options.dir`
// (receive.cpp).
int commandReceive(const Options& options);
// Pairs in `options.role`, reports how long it took and closes again
// (pair.cpp).
int commandPair(const Options& options);
// Shows the announces that reach this machine for `options.timeout`
// seconds, marking those with `options.id` (listen.cpp).
int commandListen(const Options& options);

}  // namespace dyad
