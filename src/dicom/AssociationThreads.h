#pragma once

#include "AssociationSocket.h"

#include <functional>
#include <memory>

// Every association thread of the process, whichever listener started it, so that the end of
// the program can end them all and wait for them.
namespace dicom::detail::associationThreads {

// Runs `serve` on a thread of its own; `socket` is the one to abort at the end.
void start(std::shared_ptr<AssociationSocket> socket, std::function<void()> serve);

// Threads whose association is not over yet.
size_t running();

// From the end of the program on, every association must stop; true until abortAndJoinAll
// has returned.
void beginShutdown();
bool shuttingDown();

// Aborts every association's socket and waits for all threads.
void abortAndJoinAll();

} // namespace dicom::detail::associationThreads
