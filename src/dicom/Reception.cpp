#include "Reception.h"

#include "Dcmtk.h"
#include "ImageData.h"
#include "WireGuard.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/dul.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace dicom::detail {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kArtimSeconds = 30;            // a new connection must send its request by then
constexpr int kDimseSeconds = 60;            // the longest silence within or between messages
constexpr size_t kMaxAssociations = 100;     // per listener; more are rejected as congestion
constexpr size_t kMaxWaitingConnections = 128;
constexpr uint32_t kMaxRequestPduLength = 256 * 1024;

// Compressed offers are taken as the sender made them, so that nothing is decompressed on
// the way; among the uncompressed ones explicit little endian comes first.
const char *const kTransferSyntaxes[] = {
    UID_DeflatedExplicitVRLittleEndianTransferSyntax,
    UID_JPEGProcess1TransferSyntax,
    UID_JPEGProcess2_4TransferSyntax,
    UID_JPEGProcess3_5TransferSyntax,
    UID_JPEGProcess6_8TransferSyntax,
    UID_JPEGProcess7_9TransferSyntax,
    UID_JPEGProcess10_12TransferSyntax,
    UID_JPEGProcess11_13TransferSyntax,
    UID_JPEGProcess14TransferSyntax,
    UID_JPEGProcess15TransferSyntax,
    UID_JPEGProcess16_18TransferSyntax,
    UID_JPEGProcess17_19TransferSyntax,
    UID_JPEGProcess20_22TransferSyntax,
    UID_JPEGProcess21_23TransferSyntax,
    UID_JPEGProcess24_26TransferSyntax,
    UID_JPEGProcess25_27TransferSyntax,
    UID_JPEGProcess28TransferSyntax,
    UID_JPEGProcess29TransferSyntax,
    UID_JPEGProcess14SV1TransferSyntax,
    UID_JPEGLSLosslessTransferSyntax,
    UID_JPEGLSLossyTransferSyntax,
    UID_JPEG2000LosslessOnlyTransferSyntax,
    UID_JPEG2000TransferSyntax,
    UID_JPEG2000Part2MulticomponentImageCompressionLosslessOnlyTransferSyntax,
    UID_JPEG2000Part2MulticomponentImageCompressionTransferSyntax,
    UID_RLELosslessTransferSyntax,
    UID_MPEG2MainProfileAtMainLevelTransferSyntax,
    UID_MPEG2MainProfileAtHighLevelTransferSyntax,
    UID_MPEG4HighProfileLevel4_1TransferSyntax,
    UID_MPEG4BDcompatibleHighProfileLevel4_1TransferSyntax,
    UID_MPEG4HighProfileLevel4_2_For2DVideoTransferSyntax,
    UID_MPEG4HighProfileLevel4_2_For3DVideoTransferSyntax,
    UID_MPEG4StereoHighProfileLevel4_2TransferSyntax,
    UID_HEVCMainProfileLevel5_1TransferSyntax,
    UID_HEVCMain10ProfileLevel5_1TransferSyntax,
    UID_LittleEndianExplicitTransferSyntax,
    UID_LittleEndianImplicitTransferSyntax,
    UID_BigEndianExplicitTransferSyntax,
};

const std::vector<const char *> &abstractSyntaxes()
{
    static const std::vector<const char *> all = [] {
        std::vector<const char *> v(dcmAllStorageSOPClassUIDs,
                                    dcmAllStorageSOPClassUIDs + numberOfDcmAllStorageSOPClassUIDs);
        v.push_back(UID_VerificationSOPClass);
        return v;
    }();
    return all;
}

// DCMTK takes an already accepted socket only through one process-wide variable.
std::mutex externalSocketMutex;

QString errnoText(int e)
{
    return QString::fromLocal8Bit(std::strerror(e));
}

void setBlocking(int fd, bool blocking)
{
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

void setLowWater(int fd, int bytes)
{
    ::setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes);
}

// One association's socket, as far as other threads may touch it: shut down to end the
// association at once, never after its owner has closed it.
class Association
{
public:
    explicit Association(int fd) : fd_(fd) {}

    void abortSocket()
    {
        const std::lock_guard lock(mutex_);
        if (open_)
            ::shutdown(fd_, SHUT_RDWR);
    }
    // Acknowledge at once: a sender that leaves Nagle's algorithm on holds back the last
    // small segment of every message until our acknowledgement, which Linux delays by up to
    // 40 ms. The kernel drops this mode again by itself, so it is renewed per message.
    void quickAck()
    {
        const int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    }
    void markClosed()
    {
        const std::lock_guard lock(mutex_);
        open_ = false;
    }

    std::thread thread;
    std::atomic<bool> finished{false};

private:
    std::mutex mutex_;
    int fd_;
    bool open_ = true;
};

class Listener;

struct Registry
{
    std::mutex mutex;
    std::map<qint32, std::shared_ptr<Listener>> listeners;
    std::vector<std::shared_ptr<Association>> associations;
    std::atomic<bool> shuttingDown{false};

    void reapFinished()  // with mutex held
    {
        std::erase_if(associations, [](const std::shared_ptr<Association> &a) {
            if (!a->finished)
                return false;
            a->thread.join();
            return true;
        });
    }
};

Registry &registry()
{
    // Never destroyed: threads may still look at it while the program ends.
    static Registry *r = new Registry;
    return *r;
}

class Listener : public std::enable_shared_from_this<Listener>
{
public:
    Listener(int listenFd, int wakeFd, T_ASC_Network *net, std::shared_ptr<Sink> sink)
        : listenFd_(listenFd), wakeFd_(wakeFd), net_(net), sink_(std::move(sink))
    {
    }
    ~Listener()
    {
        ASC_dropNetwork(&net_);
    }

    void start() { acceptor_ = std::thread(&Listener::acceptLoop, shared_from_this()); }

    // Closes the port at once; associations in flight end on their own.
    void stop()
    {
        stopping_ = true;
        const uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
        if (acceptor_.joinable())
            acceptor_.join();
        ::close(listenFd_);
        ::close(wakeFd_);
    }

    bool stopping() const { return stopping_ || registry().shuttingDown; }

    std::shared_ptr<Sink> sink()
    {
        const std::lock_guard lock(sinkMutex_);
        return sink_;
    }
    void setSink(std::shared_ptr<Sink> sink)
    {
        const std::lock_guard lock(sinkMutex_);
        sink_ = std::move(sink);
    }

private:
    struct Waiting
    {
        int fd;
        Clock::time_point deadline;
    };
    enum class Readiness { Wait, Ready, Drop };

    void acceptLoop();
    void acceptConnections(std::vector<Waiting> &waiting);
    static Readiness requestReadiness(int fd);
    void handOver(int fd);
    void serve(std::shared_ptr<Association> self, T_ASC_Association *assoc);
    bool negotiate(T_ASC_Association *assoc);
    bool handleStore(T_ASC_Association *assoc, T_ASC_PresentationContextID presID, T_DIMSE_C_StoreRQ &req,
                     const Connection &connection);
    Uint16 storeStatus(T_ASC_Association *assoc, T_DIMSE_C_StoreRQ &req, std::unique_ptr<DcmDataset> dataset,
                       T_ASC_PresentationContextID presID, const Connection &connection);

    const int listenFd_;
    const int wakeFd_;
    T_ASC_Network *net_;
    std::thread acceptor_;
    std::atomic<bool> stopping_{false};
    std::atomic<size_t> active_{0};
    std::mutex sinkMutex_;
    std::shared_ptr<Sink> sink_;
};

// The accept loop holds new connections until their whole A-ASSOCIATE-RQ has arrived, so that
// DCMTK reads it without waiting and a silent or slow peer never holds up the others.
void Listener::acceptLoop()
{
    std::vector<Waiting> waiting;
    std::vector<pollfd> fds;
    while (!stopping()) {
        fds.clear();
        fds.push_back({wakeFd_, POLLIN, 0});
        fds.push_back({listenFd_, POLLIN, 0});
        auto timeout = std::chrono::milliseconds(1000);
        const auto now = Clock::now();
        for (const Waiting &w : waiting) {
            fds.push_back({w.fd, POLLIN, 0});
            timeout = std::min(timeout, std::chrono::duration_cast<std::chrono::milliseconds>(w.deadline - now));
        }
        const int n = ::poll(fds.data(), fds.size(), int(std::max<long long>(0, timeout.count())));
        if (stopping())
            break;
        if (n < 0)
            continue;

        std::vector<Waiting> still;
        const auto later = Clock::now();
        for (size_t i = 0; i < waiting.size(); ++i) {
            const Waiting &w = waiting[i];
            Readiness r = Readiness::Wait;
            if (fds[i + 2].revents != 0)
                r = requestReadiness(w.fd);
            if (r == Readiness::Wait && later >= w.deadline)
                r = Readiness::Drop;
            if (r == Readiness::Ready)
                handOver(w.fd);
            else if (r == Readiness::Drop)
                ::close(w.fd);
            else
                still.push_back(w);
        }
        waiting.swap(still);
        if (fds[1].revents & POLLIN)
            acceptConnections(waiting);
    }
    for (const Waiting &w : waiting)
        ::close(w.fd);
}

void Listener::acceptConnections(std::vector<Waiting> &waiting)
{
    for (;;) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        if (waiting.size() >= kMaxWaitingConnections) {
            ::close(fd);
            continue;
        }
        // Nagle's algorithm would hold each small response back by tens of milliseconds.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        setLowWater(fd, 6);
        waiting.push_back({fd, Clock::now() + std::chrono::seconds(kArtimSeconds)});
    }
}

Listener::Readiness Listener::requestReadiness(int fd)
{
    unsigned char header[6];
    const ssize_t n = ::recv(fd, header, sizeof header, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0)
        return Readiness::Drop;
    if (n < 0)
        return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? Readiness::Wait : Readiness::Drop;
    if (header[0] != 0x01)  // anything but an association request is no DICOM peer
        return Readiness::Drop;
    if (n < 6)
        return Readiness::Wait;
    const uint32_t length = (uint32_t(header[2]) << 24) | (uint32_t(header[3]) << 16) | (uint32_t(header[4]) << 8)
                            | uint32_t(header[5]);
    if (length > kMaxRequestPduLength)
        return Readiness::Drop;
    int available = 0;
    if (::ioctl(fd, FIONREAD, &available) != 0)
        return Readiness::Drop;
    if (uint64_t(available) >= 6 + uint64_t(length))
        return Readiness::Ready;
    setLowWater(fd, int(6 + length));
    return Readiness::Wait;
}

void Listener::handOver(int fd)
{
    setLowWater(fd, 1);
    setBlocking(fd, true);
    T_ASC_Association *assoc = nullptr;
    OFCondition cond;
    {
        const std::lock_guard lock(externalSocketMutex);
        dcmExternalSocketHandle.set(fd);
        cond = ASC_receiveAssociation(net_, &assoc, ASC_MAXIMUMPDUSIZE, nullptr, nullptr, OFFalse, DUL_NOBLOCK, 1);
        dcmExternalSocketHandle.set(-1);
    }
    const bool dcmtkOwnsSocket = assoc && assoc->DULassociation;
    if (cond.bad()) {
        if (assoc) {
            ASC_dropAssociation(assoc);
            ASC_destroyAssociation(&assoc);
        }
        if (!dcmtkOwnsSocket)
            ::close(fd);
        return;
    }

    if (active_ >= kMaxAssociations) {
        T_ASC_RejectParameters rej = {ASC_RESULT_REJECTEDTRANSIENT, ASC_SOURCE_SERVICEPROVIDER_PRESENTATION_RELATED,
                                      ASC_REASON_SP_PRES_TEMPORARYCONGESTION};
        ASC_rejectAssociation(assoc, &rej);
        ASC_dropAssociation(assoc);
        ASC_destroyAssociation(&assoc);
        return;
    }

    auto association = std::make_shared<Association>(fd);
    ++active_;
    Registry &r = registry();
    const std::lock_guard lock(r.mutex);
    r.reapFinished();
    association->thread = std::thread(&Listener::serve, shared_from_this(), association, assoc);
    r.associations.push_back(std::move(association));
}

bool Listener::negotiate(T_ASC_Association *assoc)
{
    char context[128] = {};
    const bool dicomContext = ASC_getApplicationContextName(assoc->params, context, sizeof context).good()
                              && std::strcmp(context, UID_StandardApplicationContext) == 0;
    const auto &abstract = abstractSyntaxes();
    if (dicomContext)
        ASC_acceptContextsWithPreferredTransferSyntaxes(assoc->params, const_cast<const char **>(abstract.data()),
                                                        int(abstract.size()), const_cast<const char **>(kTransferSyntaxes),
                                                        int(std::size(kTransferSyntaxes)));
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

void Listener::serve(std::shared_ptr<Association> self, T_ASC_Association *assoc)
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
                self->quickAck();
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
                    self->quickAck();
                    if (!handleStore(assoc, presID, msg.msg.CStoreRQ, connection))
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
    self->markClosed();
    ASC_dropAssociation(assoc);
    ASC_destroyAssociation(&assoc);
    --active_;
    self->finished = true;
}

bool Listener::handleStore(T_ASC_Association *assoc, T_ASC_PresentationContextID presID, T_DIMSE_C_StoreRQ &req,
                           const Connection &connection)
{
    DcmDataset *received = nullptr;
    T_ASC_PresentationContextID dataPresID = presID;
    const OFCondition cond = DIMSE_receiveDataSetInMemory(assoc, DIMSE_NONBLOCKING, kDimseSeconds, &dataPresID,
                                                          &received, nullptr, nullptr);
    std::unique_ptr<DcmDataset> dataset(received);
    if (cond.bad() || !dataset)
        return false;

    T_DIMSE_C_StoreRSP rsp;
    std::memset(&rsp, 0, sizeof rsp);
    rsp.DimseStatus = storeStatus(assoc, req, std::move(dataset), dataPresID, connection);
    rsp.MessageIDBeingRespondedTo = req.MessageID;
    rsp.DataSetType = DIMSE_DATASET_NULL;
    OFStandard::strlcpy(rsp.AffectedSOPClassUID, req.AffectedSOPClassUID, sizeof rsp.AffectedSOPClassUID);
    OFStandard::strlcpy(rsp.AffectedSOPInstanceUID, req.AffectedSOPInstanceUID, sizeof rsp.AffectedSOPInstanceUID);
    rsp.opts = O_STORE_AFFECTEDSOPCLASSUID | O_STORE_AFFECTEDSOPINSTANCEUID;
    return DIMSE_sendStoreResponse(assoc, presID, &req, &rsp, nullptr).good();
}

Uint16 Listener::storeStatus(T_ASC_Association *assoc, T_DIMSE_C_StoreRQ &req, std::unique_ptr<DcmDataset> dataset,
                             T_ASC_PresentationContextID presID, const Connection &connection)
{
    OFString sopClass, sopInstance;
    dataset->findAndGetOFString(DCM_SOPClassUID, sopClass);
    dataset->findAndGetOFString(DCM_SOPInstanceUID, sopInstance);
    if (sopClass != req.AffectedSOPClassUID || sopInstance != req.AffectedSOPInstanceUID)
        return STATUS_STORE_Error_DataSetDoesNotMatchSOPClass;

    T_ASC_PresentationContext pc;
    if (ASC_findAcceptedPresentationContext(assoc->params, presID, &pc).bad())
        return STATUS_STORE_Error_CannotUnderstand;

    auto data = std::make_unique<ImageData>();
    data->file = std::make_unique<DcmFileFormat>(dataset.release(), OFFalse);
    data->transferSyntax = DcmXfer(pc.acceptedTransferSyntax).getXfer();
    data->sourceAETitle = connection.callingAETitle.toStdString();
    data->deferWrites = true;
    Image image(std::move(data));

    const std::shared_ptr<Sink> sink = this->sink();
    const bool stored = sink && sink->deliver(connection, image, [this] { return stopping(); });
    return stored ? STATUS_Success : STATUS_STORE_Refused_OutOfResources;
}

} // namespace

void startListener(qint32 port, std::shared_ptr<Sink> sink)
{
    initializeDcmtk();
    if (port < 1 || port > 65535)
        throw AppError(ErrorNumber::InvalidArgument, QStringLiteral("Port %1 is outside 1-65535").arg(port));

    Registry &r = registry();
    const std::lock_guard lock(r.mutex);
    r.reapFinished();
    if (const auto it = r.listeners.find(port); it != r.listeners.end()) {
        it->second->setSink(std::move(sink));
        return;
    }

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw AppError(errno, QStringLiteral("Port %1: cannot open a socket: %2").arg(port).arg(errnoText(errno)));
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(quint16(port));
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 128) != 0) {
        const int e = errno;
        ::close(fd);
        throw AppError(e, QStringLiteral("Port %1: cannot listen: %2").arg(port).arg(errnoText(e)));
    }
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        const int e = errno;
        ::close(fd);
        throw AppError(e, QStringLiteral("Port %1: cannot listen: %2").arg(port).arg(errnoText(e)));
    }

    // An acceptor network without a listening socket of DCMTK's own: ours does the accepting.
    T_ASC_Network *net = nullptr;
    OFCondition cond;
    {
        const std::lock_guard dcmtkLock(externalSocketMutex);
        dcmExternalSocketHandle.set(fd);
        cond = ASC_initializeNetwork(NET_ACCEPTOR, port, kArtimSeconds, &net);
        dcmExternalSocketHandle.set(-1);
    }
    if (cond.good())
        cond = ASC_setTransportLayer(net, new GuardedTransportLayer, 1);
    if (cond.bad()) {
        if (net)
            ASC_dropNetwork(&net);
        ::close(fd);
        ::close(wakeFd);
        throwCondition(cond, QStringLiteral("Port %1: cannot start the DICOM network").arg(port));
    }

    auto listener = std::make_shared<Listener>(fd, wakeFd, net, std::move(sink));
    listener->start();
    r.listeners.emplace(port, std::move(listener));
}

void stopListener(qint32 port)
{
    std::shared_ptr<Listener> listener;
    {
        Registry &r = registry();
        const std::lock_guard lock(r.mutex);
        const auto it = r.listeners.find(port);
        if (it == r.listeners.end())
            return;
        listener = std::move(it->second);
        r.listeners.erase(it);
    }
    listener->stop();
}

void shutdownAll()
{
    Registry &r = registry();
    r.shuttingDown = true;
    std::map<qint32, std::shared_ptr<Listener>> listeners;
    std::vector<std::shared_ptr<Association>> associations;
    {
        const std::lock_guard lock(r.mutex);
        listeners.swap(r.listeners);
    }
    for (auto &[port, listener] : listeners)
        listener->stop();
    {
        const std::lock_guard lock(r.mutex);
        associations.swap(r.associations);
    }
    for (auto &a : associations)
        a->abortSocket();
    for (auto &a : associations)
        a->thread.join();
    r.shuttingDown = false;
}

} // namespace dicom::detail
