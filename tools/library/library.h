// The dyad command's calls of the dyadc library: pairing (with the
// identifier and the verdict on the peer's computer name that the library
// asks for), the meaning of a result and the exit status it gives, the
// diagnostic log, and the library's progress reports on the display.
#pragma once

#include <cstdint>
#include <string>

#include "dyadc.h"
#include "tools/base/options.h"
#include "tools/base/progress.h"

namespace dyad {

// The library's meaning of a result and its number, for messages.
std::string describe(int32_t result);
// Reports a failed library call (`doing` says what it was) and returns the
// exit status for its result.
int fail(int32_t result, const std::string& doing);
// Pairs as Initiator (mode 1) or Responder (mode 2) with the identifier,
// time limit, mask, accepted computer names and log of `options`, and reports
// how long it took ("paired in", or `what` before it). Within the time limit,
// a Responder that refuses a computer name keeps waiting for one it accepts,
// and an Initiator whose connection the Responder closed before it answered
// (100) tries again. A Responder that stored a library update announces that
// the update is done, so that the Initiator ends at once with 24 too.
// Returns the library's result.
int32_t pair(const Options& options, int32_t mode, const char* what = "paired");

// The style of progress display that `options` ask for on this stderr.
Progress::Style progressStyle(const Options& options);
// Feeds the library's progress reports to `progress` from now on (null: to
// none, once it has finished).
void showProgress(Progress* progress);
// The library's progress callback.
void DYADC_CALL onProgress(double bytesTransferred);
// Starts a message on a line of its own: the end of the current line while
// the progress shown is a bar, else nothing.
const char* messageStart();

}  // namespace dyad
