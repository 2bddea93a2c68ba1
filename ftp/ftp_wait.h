#pragma once
// Waiting on one socket as a Wait allows: poll in slices of at most 100 ms,
// asking the Wait between slices whether the operation is still wanted.

#include "ftp/ftp_stream.h"

namespace kestrum {

// Returns once fd reports one of events (POLLIN, POLLOUT), or an error or
// hang-up that the next call on the socket will show. Throws StreamError of
// kind TimedOut or Cancelled, or Failed when poll itself fails.
void WaitForSocket(int fd, short events, const Wait& wait);

}  // namespace kestrum
