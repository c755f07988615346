#include "Session.h"

#include "Dcmtk.h"
#include "GuardedConnection.h"
#include "Limits.h"
#include "TransferSyntaxes.h"

#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/dul.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>
#include <unistd.h>

namespace dicom::detail {

namespace {

// DCMTK takes an already accepted socket only through one process-wide variable.
std::mutex externalSocketMutex;

void reject(T_ASC_Association *assoc, T_ASC_RejectParametersReason reason)
{
    T_ASC_RejectParameters rej = {ASC_RESULT_REJECTEDPERMANENT, ASC_SOURCE_SERVICEUSER, reason};
    ASC_rejectAssociation(assoc, &rej);
}

// Our answer to one proposed context: the best transfer syntax we take, or why none.
T_ASC_P_ResultReason answer(const T_ASC_PresentationContext &pc, const char *&chosen)
{
    if (!isStorageClass(pc.abstractSyntax) && !isVerificationClass(pc.abstractSyntax))
        return ASC_P_ABSTRACTSYNTAXNOTSUPPORTED;
    int best = -1;
    for (int i = 0; i < pc.transferSyntaxCount; ++i) {
        const int rank = transferSyntaxRank(pc.proposedTransferSyntaxes[i]);
        if (rank >= 0 && (best < 0 || rank < best)) {
            best = rank;
            chosen = pc.proposedTransferSyntaxes[i];
        }
    }
    return best >= 0 ? ASC_P_ACCEPTANCE : ASC_P_TRANSFERSYNTAXESNOTSUPPORTED;
}

// Answers every proposed context on its own; refuses the whole request when it is no
// request a careful receiver can answer (another application context, presentation context
// IDs that are zero, even or repeated, a PDU limit too small for any response).
bool negotiate(T_ASC_Association *assoc, GuardedConnection &guarded)
{
    char context[128] = {};
    if (ASC_getApplicationContextName(assoc->params, context, sizeof context).bad()
        || std::strcmp(context, UID_StandardApplicationContext) != 0) {
        reject(assoc, ASC_REASON_SU_APPCONTEXTNAMENOTSUPPORTED);
        return false;
    }
    const long peerMax = assoc->params->theirMaxPDUReceiveSize;
    if (peerMax != 0 && peerMax < kMinPeerPduLength) {
        reject(assoc, ASC_REASON_SU_NOREASON);
        return false;
    }
    const int count = ASC_countPresentationContexts(assoc->params);
    bool ids[256] = {};
    std::vector<T_ASC_PresentationContext> proposed(size_t(std::max(count, 0)));
    std::vector<bool> readable(proposed.size());
    for (int i = 0; i < count; ++i) {
        // A context with more transfer syntaxes than DCMTK can hold fails to read, but its ID
        // and abstract syntax are there: it gets its own refusal.
        readable[size_t(i)] = ASC_getPresentationContext(assoc->params, i, &proposed[size_t(i)]).good();
        const T_ASC_PresentationContextID id = proposed[size_t(i)].presentationContextID;
        if (id == 0 || id % 2 == 0 || ids[id]) {
            reject(assoc, ASC_REASON_SU_NOREASON);
            return false;
        }
        ids[id] = true;
    }
    int accepted = 0;
    for (int i = 0; i < count; ++i) {
        const T_ASC_PresentationContext &pc = proposed[size_t(i)];
        const char *chosen = nullptr;
        const T_ASC_P_ResultReason result = readable[size_t(i)] ? answer(pc, chosen) : ASC_P_TRANSFERSYNTAXESNOTSUPPORTED;
        if (result == ASC_P_ACCEPTANCE
            && ASC_acceptPresentationContext(assoc->params, pc.presentationContextID, chosen).good()) {
            ++accepted;
            // Tell the wire guard how the context encodes its data sets.
            guarded.setTransferSyntax(pc.presentationContextID, DcmXfer(chosen).getXfer());
        } else if (ASC_refusePresentationContext(assoc->params, pc.presentationContextID,
                                                 result == ASC_P_ACCEPTANCE ? ASC_P_NOREASON : result)
                       .bad()) {
            reject(assoc, ASC_REASON_SU_NOREASON);
            return false;
        }
    }
    if (accepted == 0) {
        reject(assoc, ASC_REASON_SU_NOREASON);
        return false;
    }
    return ASC_acknowledgeAssociation(assoc).good();
}

// The connection DCMTK reads the association through, while it has one: every connection of
// our networks is a guarded one. Asked anew each time, since DCMTK deletes the connection when
// the peer aborts.
GuardedConnection *guardOf(T_ASC_Association *assoc)
{
    return dynamic_cast<GuardedConnection *>(DUL_getTransportConnection(assoc->DULassociation));
}

// Why the message loop ended: `last` holds the failure for Failure.
enum class LoopEnd { Released, Rejected, Idle, Stopped, Failure, Protocol };

// A C-ECHO answered, or why the association cannot go on.
std::optional<LoopEnd> echo(T_ASC_Association *assoc, T_ASC_PresentationContextID presID, T_DIMSE_C_EchoRQ &req,
                            OFCondition &last)
{
    // A data set announced with it would be read next as a command.
    if (req.DataSetType != DIMSE_DATASET_NULL)
        return LoopEnd::Protocol;
    last = DIMSE_sendEchoResponse(assoc, presID, &req, STATUS_Success, nullptr);
    return last.bad() ? std::optional(LoopEnd::Failure) : std::nullopt;
}

LoopEnd serveMessages(T_ASC_Association *assoc, AssociationSocket &socket, StoreService &store,
                      const Connection &connection, const std::function<bool()> &stopping, OFCondition &last)
{
    int idleSeconds = 0;
    while (!stopping()) {
        // Wait in one-second steps so that a stop is noticed between messages.
        if (!ASC_dataWaiting(assoc, 1)) {
            if (++idleSeconds >= kDimseSeconds)
                return LoopEnd::Idle;
            continue;
        }
        idleSeconds = 0;
        socket.quickAck();
        T_DIMSE_Message msg;
        T_ASC_PresentationContextID presID = 0;
        last = DIMSE_receiveCommand(assoc, DIMSE_NONBLOCKING, kDimseSeconds, &presID, &msg, nullptr);
        if (last == DUL_PEERREQUESTEDRELEASE) {
            ASC_acknowledgeRelease(assoc);
            return LoopEnd::Released;
        }
        if (last.bad())
            return LoopEnd::Failure;
        if (msg.CommandField == DIMSE_C_ECHO_RQ) {
            if (const std::optional<LoopEnd> end = echo(assoc, presID, msg.msg.CEchoRQ, last))
                return *end;
        } else if (msg.CommandField == DIMSE_C_STORE_RQ) {
            socket.quickAck();
            if (!store.handle(assoc, presID, msg.msg.CStoreRQ, connection, [assoc] { return guardOf(assoc); })) {
                last = store.lastFailure();
                return last.bad() ? LoopEnd::Failure : LoopEnd::Protocol;
            }
        } else {
            return LoopEnd::Protocol;  // a service this receiver does not offer
        }
    }
    return LoopEnd::Stopped;
}

// Our wire guard and our stop close the connection under DCMTK, which then reports the peer
// as gone: both are asked before the peer is blamed.
AssociationEnd::How howItEnded(const GuardedConnection::Report &wire, LoopEnd loopEnd, const OFCondition &last,
                               const std::function<bool()> &stopping)
{
    if (loopEnd == LoopEnd::Released)
        return AssociationEnd::How::Released;
    if (loopEnd == LoopEnd::Rejected)
        return AssociationEnd::How::Rejected;
    const int refusal = wire.refusal;
    if (refusal == EPROTO)
        return AssociationEnd::How::HostileBytes;
    if (refusal == ETIMEDOUT || loopEnd == LoopEnd::Idle || last == DIMSE_NODATAAVAILABLE || last == DUL_READTIMEOUT)
        return AssociationEnd::How::Deadline;
    if (loopEnd == LoopEnd::Stopped || stopping())
        return AssociationEnd::How::SwitchedOff;
    if ((loopEnd == LoopEnd::Failure && last == DUL_PEERABORTEDASSOCIATION) || wire.peerClosed)
        return AssociationEnd::How::PeerAborted;
    return AssociationEnd::How::ProtocolError;
}

} // namespace

T_ASC_Network *createAcceptorNetwork(int listenFd, int port)
{
    T_ASC_Network *net = nullptr;
    OFCondition cond;
    {
        const std::lock_guard lock(externalSocketMutex);
        dcmExternalSocketHandle.set(listenFd);
        cond = ASC_initializeNetwork(NET_ACCEPTOR, port, kArtimSeconds, &net);
        dcmExternalSocketHandle.set(-1);
    }
    if (cond.good())
        cond = ASC_setTransportLayer(net, new GuardedTransportLayer, 1);
    if (cond.bad()) {
        if (net)
            ASC_dropNetwork(&net);
        throwCondition(cond, QStringLiteral("Port %1: cannot start the DICOM network").arg(port));
    }
    return net;
}

T_ASC_Association *receiveAssociation(T_ASC_Network *net, int fd, std::vector<uint8_t> request)
{
    T_ASC_Association *assoc = nullptr;
    OFCondition cond;
    {
        const std::lock_guard lock(externalSocketMutex);
        GuardedTransportLayer::handOver(fd, std::move(request));
        dcmExternalSocketHandle.set(fd);
        cond = ASC_receiveAssociation(net, &assoc, kMaxReceivePdu, nullptr, nullptr, OFFalse, DUL_NOBLOCK, 1);
        dcmExternalSocketHandle.set(-1);
        GuardedTransportLayer::handOver(-1, {});
    }
    if (cond.good()) {
        // Answered under our own name, as our files carry it, not DCMTK's.
        OFStandard::strlcpy(assoc->params->ourImplementationClassUID, kImplementationClassUID,
                            sizeof assoc->params->ourImplementationClassUID);
        OFStandard::strlcpy(assoc->params->ourImplementationVersionName, kImplementationVersionName,
                            sizeof assoc->params->ourImplementationVersionName);
        return assoc;
    }
    const bool dcmtkOwnsSocket = assoc && assoc->DULassociation;
    if (assoc) {
        ASC_dropAssociation(assoc);
        ASC_destroyAssociation(&assoc);
    }
    if (!dcmtkOwnsSocket)
        ::close(fd);
    return nullptr;
}

void rejectAsBusy(T_ASC_Association *assoc)
{
    T_ASC_RejectParameters rej = {ASC_RESULT_REJECTEDTRANSIENT, ASC_SOURCE_SERVICEPROVIDER_PRESENTATION_RELATED,
                                  ASC_REASON_SP_PRES_TEMPORARYCONGESTION};
    ASC_rejectAssociation(assoc, &rej);
    ASC_dropAssociation(assoc);
    ASC_destroyAssociation(&assoc);
}

AssociationEnd serveAssociation(T_ASC_Association *assoc, AssociationSocket &socket, StoreService &store,
                                const std::function<bool()> &stopping)
{
    AssociationEnd end;
    const DUL_ASSOCIATESERVICEPARAMETERS &p = assoc->params->DULparams;
    end.connection = Connection{QString::fromLatin1(p.callingAPTitle).trimmed(),
                                QString::fromLatin1(p.calledAPTitle).trimmed(),
                                QString::fromLatin1(p.callingPresentationAddress)};
    LoopEnd loopEnd = LoopEnd::Protocol;
    OFCondition last;
    GuardedConnection::Report wire;
    try {
        GuardedConnection *guarded = guardOf(assoc);
        if (!guarded)
            loopEnd = LoopEnd::Protocol;
        else if (guarded->reportTo(&wire); negotiate(assoc, *guarded))
            loopEnd = serveMessages(assoc, socket, store, end.connection, stopping, last);
        else
            loopEnd = LoopEnd::Rejected;
    } catch (...) {
        // Whatever went wrong, it ends this association only.
    }
    end.how = howItEnded(wire, loopEnd, last, stopping);
    end.stored = store.stored();
    end.refused = store.refused();
    end.streamed = store.streamed();
    const bool peerEnded = loopEnd == LoopEnd::Released || loopEnd == LoopEnd::Rejected
                           || (loopEnd == LoopEnd::Failure && last == DUL_PEERABORTEDASSOCIATION);
    if (!peerEnded)
        ASC_abortAssociation(assoc);
    ASC_dropAssociation(assoc);
    ASC_destroyAssociation(&assoc);
    socket.close();
    return end;
}

} // namespace dicom::detail
