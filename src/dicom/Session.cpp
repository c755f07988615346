#include "Session.h"

#include "Dcmtk.h"
#include "GuardedConnection.h"
#include "Limits.h"
#include "TransferSyntaxes.h"

#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/dul.h>

#include <cstring>
#include <mutex>
#include <unistd.h>

namespace dicom::detail {

namespace {

// DCMTK takes an already accepted socket only through one process-wide variable.
std::mutex externalSocketMutex;

bool negotiate(T_ASC_Association *assoc)
{
    char context[128] = {};
    const bool dicomContext = ASC_getApplicationContextName(assoc->params, context, sizeof context).good()
                              && std::strcmp(context, UID_StandardApplicationContext) == 0;
    const auto &abstract = acceptedAbstractSyntaxes();
    const auto &transfer = acceptedTransferSyntaxes();
    if (dicomContext)
        ASC_acceptContextsWithPreferredTransferSyntaxes(assoc->params, const_cast<const char **>(abstract.data()),
                                                        int(abstract.size()), const_cast<const char **>(transfer.data()),
                                                        int(transfer.size()));
    if (!dicomContext || ASC_countAcceptedPresentationContexts(assoc->params) == 0) {
        T_ASC_RejectParameters rej = {ASC_RESULT_REJECTEDPERMANENT, ASC_SOURCE_SERVICEUSER,
                                      dicomContext ? ASC_REASON_SU_NOREASON
                                                   : ASC_REASON_SU_APPCONTEXTNAMENOTSUPPORTED};
        ASC_rejectAssociation(assoc, &rej);
        return false;
    }
    // Tell the wire guard how each accepted context encodes its data sets.
    if (auto *connection = dynamic_cast<GuardedConnection *>(DUL_getTransportConnection(assoc->DULassociation))) {
        for (int i = 0; i < ASC_countPresentationContexts(assoc->params); ++i) {
            T_ASC_PresentationContext pc;
            if (ASC_getPresentationContext(assoc->params, i, &pc).good() && pc.resultReason == ASC_P_ACCEPTANCE)
                connection->setTransferSyntax(pc.presentationContextID, DcmXfer(pc.acceptedTransferSyntax).getXfer());
        }
    }
    return ASC_acknowledgeAssociation(assoc).good();
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

T_ASC_Association *receiveAssociation(T_ASC_Network *net, int fd)
{
    T_ASC_Association *assoc = nullptr;
    OFCondition cond;
    {
        const std::lock_guard lock(externalSocketMutex);
        dcmExternalSocketHandle.set(fd);
        cond = ASC_receiveAssociation(net, &assoc, ASC_MAXIMUMPDUSIZE, nullptr, nullptr, OFFalse, DUL_NOBLOCK, 1);
        dcmExternalSocketHandle.set(-1);
    }
    if (cond.good())
        return assoc;
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

void serveAssociation(T_ASC_Association *assoc, AssociationSocket &socket, StoreService &store,
                      const std::function<bool()> &stopping)
{
    bool abort = true;
    try {
        if (negotiate(assoc)) {
            const DUL_ASSOCIATESERVICEPARAMETERS &p = assoc->params->DULparams;
            const Connection connection{QString::fromLatin1(p.callingAPTitle).trimmed(),
                                        QString::fromLatin1(p.calledAPTitle).trimmed(),
                                        QString::fromLatin1(p.callingPresentationAddress)};
            int idleSeconds = 0;
            while (!stopping()) {
                // Wait in one-second steps so that a stop is noticed between messages.
                if (!ASC_dataWaiting(assoc, 1)) {
                    if (++idleSeconds >= kDimseSeconds)
                        break;
                    continue;
                }
                idleSeconds = 0;
                socket.quickAck();
                T_DIMSE_Message msg;
                T_ASC_PresentationContextID presID = 0;
                const OFCondition cond = DIMSE_receiveCommand(assoc, DIMSE_NONBLOCKING, kDimseSeconds, &presID, &msg,
                                                              nullptr);
                if (cond == DUL_PEERREQUESTEDRELEASE) {
                    ASC_acknowledgeRelease(assoc);
                    abort = false;
                    break;
                }
                if (cond == DUL_PEERABORTEDASSOCIATION) {
                    abort = false;
                    break;
                }
                if (cond.bad())
                    break;
                if (msg.CommandField == DIMSE_C_ECHO_RQ) {
                    if (DIMSE_sendEchoResponse(assoc, presID, &msg.msg.CEchoRQ, STATUS_Success, nullptr).bad())
                        break;
                } else if (msg.CommandField == DIMSE_C_STORE_RQ) {
                    socket.quickAck();
                    if (!store.handle(assoc, presID, msg.msg.CStoreRQ, connection))
                        break;
                } else {
                    break;  // a service this receiver does not offer
                }
            }
        } else {
            abort = false;
        }
    } catch (...) {
        // Whatever went wrong, it ends this association only.
    }
    if (abort)
        ASC_abortAssociation(assoc);
    socket.markClosed();
    ASC_dropAssociation(assoc);
    ASC_destroyAssociation(&assoc);
}

} // namespace dicom::detail
