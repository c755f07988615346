#pragma once

#include "AssociationSocket.h"
#include "StoreService.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>

#include <cstdint>
#include <functional>
#include <vector>

// DCMTK's side of an association: taking over an accepted socket, negotiation, and the
// messages until the association ends.
namespace dicom::detail {

// A DCMTK network that accepts through `listenFd`, a socket of ours, rather than one of its
// own; every connection it reads is watched by the nesting guard. Throws AppError.
T_ASC_Network *createAcceptorNetwork(int listenFd, int port);

// DCMTK reads the association `request` already read from `fd`. Null when it was no request
// DCMTK could read; the socket is closed then.
T_ASC_Association *receiveAssociation(T_ASC_Network *net, int fd, std::vector<uint8_t> request);

// Turns the association away as temporary congestion and frees it.
void rejectAsBusy(T_ASC_Association *assoc);

// Negotiates the association, then answers C-ECHO and hands C-STORE to `store` until the
// peer releases or aborts, stays silent too long, breaks the protocol or `stopping` says so.
// Frees the association, and closes `socket` last. Returns who it was and how it ended.
AssociationEnd serveAssociation(T_ASC_Association *assoc, AssociationSocket &socket, StoreService &store,
                      const std::function<bool()> &stopping);

} // namespace dicom::detail
