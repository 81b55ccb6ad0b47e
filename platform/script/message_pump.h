#pragma once
// Lets a control that waits inside a call keep its host alive: the host's waiting
// events are handled, and a request to quit the host is noticed without being lost.

namespace platform {

// Handles every event that waits on the calling thread. Returns false when a request to
// quit the host came among them: it is handed back to the host's event loop, still pending.
bool DispatchWaitingMessages();

}  // namespace platform
