// The two kinds of queued work: a client datagram accepted by the external reader, a server datagram
// read by the internal reader. Built by a reader thread, owned by the queue, consumed by one worker.
#pragma once

// The items are defined with the dialogs, which take a client's item over when they set themselves up.
#include "dialogs/messages.h"
