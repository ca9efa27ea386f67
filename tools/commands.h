// The commands of dyad, which main (dyad.cpp) runs with the parsed command
// line. Each pairs, does its work, closes the pairing and returns the exit
// status.
#pragma once

#include "tools/options.h"

namespace dyad {

// Acts as the Initiator and sends `options.files` (send.cpp).
int commandSend(const Options& options);
// Acts as the Responder and stores the files the peer sends in `options.dir`
// (receive.cpp).
int commandReceive(const Options& options);
// Pairs in `options.role`, reports how long it took and closes again
// (pair.cpp).
int commandPair(const Options& options);

}  // namespace dyad
