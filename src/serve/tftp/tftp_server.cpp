// The TFTP side's event loop; see tftp_server.h.
#include "serve/tftp/tftp_server.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <queue>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "net/address_range.h"
#include "net/descriptor_limit.h"
#include "net/ip_address.h"
#include "serve/tftp/tftp_sockets.h"

namespace velquor::serve::tftp {

namespace {

constexpr std::uint64_t kListenTag = ~std::uint64_t{0};
constexpr std::uint64_t kWakeTag = kListenTag - 1;
constexpr unsigned kMostTransfers = 4096;
// A request is a name, a mode and a few options: anything longer is refused.
constexpr std::size_t kPacketBytes = 2048;
constexpr int kEventsAtOnce = 256;
// Packets read from one socket before the loop looks at the others.
constexpr int kReadsPerTurn = 64;

// The HTTP status a request's record takes, as the fetch log and the phones' status read it.
constexpr int kServed = 200;
constexpr int kMalformed = 400;
constexpr int kForbidden = 403;
constexpr int kNotFound = 404;
constexpr int kWriteRefused = 405;
constexpr int kBusy = 503;

std::string peerKey(const Endpoint& peer) {
    return std::string(reinterpret_cast<const char*>(&peer.address), peer.length);
}

std::uint32_t millisecondsBetween(Steady::time_point from, Steady::time_point to) {
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count());
}

}  // namespace

struct TftpServer::Loop {
    struct Active {
        std::unique_ptr<Transfer> transfer;
        int socket = -1;  // its own, connected to the peer; -1 when sent from the listening one
        Endpoint peer;
        std::string key;
        std::string request;  // the request's bytes, to tell its copies from a new one
        net::AddressRange group;
        Asker asker;
        FetchRecord record;
        Steady::time_point started;
        Steady::time_point scheduled;  // the earliest deadline waiting in the timer queue
        std::uint32_t generation = 0;
        Transfer::Send send;
    };
    struct Timer {
        Steady::time_point at;
        std::uint32_t slot;
        std::uint32_t generation;
        bool operator>(const Timer& other) const { return at > other.at; }
    };
    // A request's record and what the guessing guard is told of it.
    struct Asked {
        FetchRecord record;
        Asker asker;
        bool counted = false;
    };

    TftpOptions options;
    TftpServices services;
    sockaddr_storage local{};
    int listenSocket = -1;
    int epollFd = -1;
    int wakeFd = -1;
    std::uint16_t port = 0;
    TransferPorts ports{0, 0};
    std::thread thread;
    bool stopping = false;

    std::vector<std::unique_ptr<Active>> slots;
    std::vector<std::uint32_t> freeSlots;
    std::uint32_t nextGeneration = 1;
    // The round trip the last transfer that measured one ended with: the next ones start
    // from it.
    std::optional<RoundTrip> recentRoundTrip;
    std::size_t activeCount = 0;
    std::unordered_map<std::string, std::uint32_t> byPeer;
    std::unordered_map<net::AddressRange, unsigned> perGroup;
    std::priority_queue<Timer, std::vector<Timer>, std::greater<>> timers;
    std::array<char, kPacketBytes> buffer{};

    Loop(TftpOptions given, TftpServices given_services)
        : options(std::move(given)), services(std::move(given_services)) {}
    ~Loop();

    void run();
    void readListening();
    void readTransfer(std::uint32_t slot);
    void expireTimers(Steady::time_point now);
    int waitMilliseconds(Steady::time_point now) const;

    void onRequest(std::string_view packet, const Endpoint& peer);
    void refuse(Asked& asked, const Endpoint& peer, int status, ErrorCode code,
                std::string_view message);
    void startTransfer(Asked& asked, const Endpoint& peer, const Request& request,
                       std::string_view packet);
    void requestFromKnownPeer(std::uint32_t slot, std::string_view packet, const Endpoint& peer);
    void handle(std::uint32_t slot, Transfer::State state);
    void finish(std::uint32_t slot, bool completed);
    void sendFromListening(const Endpoint& peer, std::string_view packet) const;
    void ended(Asked& asked);
};

TftpServer::Loop::~Loop() {
    for (std::uint32_t slot = 0; slot < slots.size(); ++slot)
        if (slots[slot]) finish(slot, false);
    if (epollFd >= 0) ::close(epollFd);
    if (wakeFd >= 0) ::close(wakeFd);
    if (listenSocket >= 0) ::close(listenSocket);
}

void TftpServer::Loop::sendFromListening(const Endpoint& peer, std::string_view packet) const {
    tftp::sendFromListening(listenSocket, packet, peer);
}

void TftpServer::Loop::ended(Asked& asked) {
    if (asked.counted) services.guessing.record(asked.asker, false, missedRequest(asked.record));
    if (services.ended) services.ended(asked.record);
}

void TftpServer::Loop::refuse(Asked& asked, const Endpoint& peer, int status, ErrorCode code,
                              std::string_view message) {
    sendFromListening(peer, errorPacket(code, message));
    asked.record.status = status;
    ended(asked);
}

void TftpServer::Loop::onRequest(std::string_view packet, const Endpoint& peer) {
    // An error packet is answered by nothing (RFC 1350), or two servers would answer each
    // other's errors for ever once someone sent one a packet in the other's name.
    if (isError(packet)) return;
    const auto* peerAddress = reinterpret_cast<const sockaddr*>(&peer.address);
    Asked asked;
    FetchRecord& record = asked.record;
    record.time = Clock::now();
    record.peer = net::addressText(peerAddress);
    record.method = "TFTP";
    record.proof = "none";
    auto parsed = parseRequest(packet);
    if (const Refusal* refusal = std::get_if<Refusal>(&parsed))
        return refuse(asked, peer, kMalformed, refusal->code, refusal->message);
    const Request& request = std::get<Request>(parsed);
    record.path = escapeLogText(request.file, kLoggedTextBytes);
    if (request.opcode == Opcode::WriteRequest)
        return refuse(asked, peer, kWriteRefused, ErrorCode::AccessViolation,
                      "only read requests are served");
    if (!services.allowed.allows(peerAddress))
        return refuse(asked, peer, kForbidden, ErrorCode::AccessViolation, "access violation");
    const net::AddressRange group = net::addressGroup(peerAddress);
    if (activeCount >= options.maxTransfers || perGroup[group] >= options.perAddress)
        return refuse(asked, peer, kBusy, ErrorCode::NotDefined, "server busy, try again later");
    asked.asker = askerOf(peerAddress);
    if (std::optional<std::string> held = services.guessing.heldBack(asked.asker)) {
        record.refusal = std::move(*held);
        return refuse(asked, peer, kForbidden, ErrorCode::AccessViolation, "access violation");
    }
    const GuessingAdmission admitted = services.guessing.admit(asked.asker, false);
    if (!admitted.look) {
        record.refusal = admitted.refusal;
        return refuse(asked, peer, kForbidden, ErrorCode::AccessViolation, "access violation");
    }
    asked.counted = true;
    startTransfer(asked, peer, request, packet);
}

void TftpServer::Loop::startTransfer(Asked& asked, const Endpoint& peer, const Request& request,
                                     std::string_view packet) {
    FetchRecord& record = asked.record;
    const Steady::time_point started = Steady::now();
    Lookup found = services.folder.lookup(request.file);
    record.mac = found.mac;
    if (found.folderMissing)
        return refuse(asked, peer, kBusy, ErrorCode::NotDefined, "the served folder is not there");
    if (!found.file)
        return refuse(asked, peer, kNotFound, ErrorCode::FileNotFound, "file not found");
    BlockSource source(found.file->fd, request.mode, found.file->size);
    auto settled = negotiate(request.options, request.mode, found.file->size,
                             OptionBounds{options.blockSizeMax, kLargestWindow});
    if (const Refusal* refusal = std::get_if<Refusal>(&settled))
        return refuse(asked, peer, kMalformed, refusal->code, refusal->message);
    int socket = -1;
    if (!options.singlePort && (socket = ports.open(local, peer)) < 0)
        return refuse(asked, peer, kBusy, ErrorCode::NotDefined,
                      "no transfer port free, try again later");
    record.file = found.file->name;
    record.status = kServed;

    std::uint32_t slot = 0;
    if (!freeSlots.empty()) {
        slot = freeSlots.back();
        freeSlots.pop_back();
    } else {
        slot = static_cast<std::uint32_t>(slots.size());
        slots.emplace_back();
    }
    auto active = std::make_unique<Active>();
    Active& added = *active;
    added.transfer =
        std::make_unique<Transfer>(std::move(source), std::move(std::get<Negotiated>(settled)),
                                   options.timing, recentRoundTrip);
    added.socket = socket;
    added.peer = peer;
    added.key = peerKey(peer);
    added.request = packet;
    added.group = net::addressGroup(reinterpret_cast<const sockaddr*>(&peer.address));
    added.asker = std::move(asked.asker);
    added.record = std::move(asked.record);
    added.started = started;
    added.generation = nextGeneration++;
    if (socket >= 0) {
        added.send = [socket](std::string_view packet) {
            ::send(socket, packet.data(), packet.size(), MSG_DONTWAIT);
        };
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = (std::uint64_t{added.generation} << 32) | slot;
        ::epoll_ctl(epollFd, EPOLL_CTL_ADD, socket, &event);
    } else {
        added.send = [this, &added](std::string_view packet) {
            sendFromListening(added.peer, packet);
        };
    }
    slots[slot] = std::move(active);
    byPeer[added.key] = slot;
    ++perGroup[added.group];
    ++activeCount;
    added.scheduled = Steady::time_point::max();
    handle(slot, added.transfer->begin(added.send, Steady::now()));
}

void TftpServer::Loop::handle(std::uint32_t slot, Transfer::State state) {
    if (state == Transfer::State::Going) {
        Active& active = *slots[slot];
        const Steady::time_point at = active.transfer->deadline();
        if (at < active.scheduled) {
            active.scheduled = at;
            timers.push(Timer{at, slot, active.generation});
        }
        return;
    }
    finish(slot, state == Transfer::State::Completed);
}

void TftpServer::Loop::finish(std::uint32_t slot, bool completed) {
    std::unique_ptr<Active> active = std::move(slots[slot]);
    Asked asked{std::move(active->record), std::move(active->asker), true};
    asked.record.completed = completed;
    asked.record.bytes = active->transfer->bytesAcknowledged();
    asked.record.durationMs = millisecondsBetween(active->started, Steady::now());
    if (active->transfer->roundTrip()) recentRoundTrip = active->transfer->roundTrip();
    if (active->socket >= 0) ::close(active->socket);
    byPeer.erase(active->key);
    if (auto held = perGroup.find(active->group); held != perGroup.end() && --held->second == 0)
        perGroup.erase(held);
    --activeCount;
    freeSlots.push_back(slot);
    ended(asked);
}

void TftpServer::Loop::readListening() {
    for (int turn = 0; turn < kReadsPerTurn; ++turn) {
        Endpoint peer;
        const ssize_t got = receiveRequest(listenSocket, buffer.data(), buffer.size(), peer);
        if (got < 0) return;  // nothing more (EAGAIN), or a peer's ICMP error: nothing to do
        if (static_cast<std::size_t>(got) > buffer.size()) {
            sendFromListening(peer, errorPacket(ErrorCode::IllegalOperation, "request too long"));
            continue;
        }
        const std::string_view packet(buffer.data(), static_cast<std::size_t>(got));
        if (auto known = byPeer.find(peerKey(peer)); known != byPeer.end()) {
            const std::uint32_t slot = known->second;
            Active& active = *slots[slot];
            if (!std::holds_alternative<Request>(parseRequest(packet))) {
                if (active.socket < 0)
                    handle(slot, active.transfer->onPacket(packet, active.send, Steady::now()));
                continue;
            }
            requestFromKnownPeer(slot, packet, peer);
            continue;
        }
        onRequest(packet, peer);
    }
}

// A request from the address and port of a transfer under way: a copy of its request (the
// network's, or the client's next try), answered as such; or a new one, from a client that
// started again from that port or closed it and a new one took it: the old transfer's last
// acknowledgement, when it waits, is read first, and the old transfer ends.
void TftpServer::Loop::requestFromKnownPeer(std::uint32_t slot, std::string_view packet,
                                            const Endpoint& peer) {
    Active& active = *slots[slot];
    const Steady::time_point now = Steady::now();
    if (packet == active.request && !active.transfer->isNewRequest(now)) {
        handle(slot, active.transfer->requestRepeated(active.send, now));
        return;
    }
    const std::uint32_t generation = active.generation;
    const std::string request(packet);  // the read below takes the buffer it lies in
    if (active.socket >= 0) readTransfer(slot);
    if (slots[slot] && slots[slot]->generation == generation) finish(slot, false);
    onRequest(request, peer);
}

// One packet a readiness: a transfer's client sends one at a time (an acknowledgement a
// window), and the socket stays ready while more wait, so a look for a second would mostly
// be a call that finds nothing.
void TftpServer::Loop::readTransfer(std::uint32_t slot) {
    Active& active = *slots[slot];
    const ssize_t got = ::recv(active.socket, buffer.data(), buffer.size(), 0);
    if (got < 0) {
        // The client's port is closed (its ICMP error came back): it has gone.
        if (errno == ECONNREFUSED) finish(slot, false);
        return;
    }
    handle(slot,
           active.transfer->onPacket(std::string_view(buffer.data(), static_cast<std::size_t>(got)),
                                     active.send, Steady::now()));
}

void TftpServer::Loop::expireTimers(Steady::time_point now) {
    while (!timers.empty() && timers.top().at <= now) {
        const Timer timer = timers.top();
        timers.pop();
        if (timer.slot >= slots.size() || !slots[timer.slot]) continue;
        Active& active = *slots[timer.slot];
        if (active.generation != timer.generation || active.scheduled != timer.at) continue;
        active.scheduled = Steady::time_point::max();
        handle(timer.slot, active.transfer->onDeadline(active.send, now));
    }
}

int TftpServer::Loop::waitMilliseconds(Steady::time_point now) const {
    if (timers.empty()) return -1;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(timers.top().at - now).count();
    return static_cast<int>(std::clamp<long long>(wait, 0, 60'000));
}

void TftpServer::Loop::run() {
    std::array<epoll_event, kEventsAtOnce> events{};
    while (!stopping) {
        const int ready =
            ::epoll_wait(epollFd, events.data(), kEventsAtOnce, waitMilliseconds(Steady::now()));
        for (int i = 0; i < ready; ++i) {
            const std::uint64_t tag = events[static_cast<std::size_t>(i)].data.u64;
            if (tag == kWakeTag) {
                stopping = true;
            } else if (tag == kListenTag) {
                readListening();
            } else {
                const auto slot = static_cast<std::uint32_t>(tag & 0xffffffffu);
                const auto generation = static_cast<std::uint32_t>(tag >> 32);
                if (slot < slots.size() && slots[slot] && slots[slot]->generation == generation)
                    readTransfer(slot);
            }
        }
        expireTimers(Steady::now());
    }
}

TftpServer::TftpServer(std::unique_ptr<Loop> loop)
    : m_loop(std::move(loop)), m_port(m_loop->port) {}

TftpServer::~TftpServer() {
    stop();
}

support::Result<std::unique_ptr<TftpServer>> TftpServer::start(const sockaddr_storage& address,
                                                               TftpOptions options,
                                                               TftpServices services) {
    if (options.maxTransfers == 0) {
        // Each transfer holds its file and, mostly, a socket.
        const std::uint64_t descriptors = net::raiseDescriptorLimit();
        options.maxTransfers = static_cast<unsigned>(std::clamp<std::uint64_t>(
            descriptors > 512 ? (descriptors - 256) / 4 : 64, 64, kMostTransfers));
    }
    auto loop = std::make_unique<Loop>(std::move(options), std::move(services));
    auto listening = listeningSocket(address, loop->options.port);
    if (!listening) return listening.error();
    loop->listenSocket = *listening;
    loop->port = boundPort(loop->listenSocket);
    loop->local = address;
    loop->ports = TransferPorts(loop->options.transferPortFirst, loop->options.transferPortLast);
    loop->epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    loop->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (loop->epollFd < 0 || loop->wakeFd < 0)
        return support::makeError(support::ErrorCode::Network,
                                  std::string("cannot serve TFTP: ") + std::strerror(errno));
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kListenTag;
    ::epoll_ctl(loop->epollFd, EPOLL_CTL_ADD, loop->listenSocket, &event);
    event.data.u64 = kWakeTag;
    ::epoll_ctl(loop->epollFd, EPOLL_CTL_ADD, loop->wakeFd, &event);
    Loop* raw = loop.get();
    loop->thread = std::thread([raw] { raw->run(); });
    return std::unique_ptr<TftpServer>(new TftpServer(std::move(loop)));
}

void TftpServer::stop() {
    if (!m_loop || !m_loop->thread.joinable()) return;
    const std::uint64_t one = 1;
    (void)!::write(m_loop->wakeFd, &one, sizeof one);
    m_loop->thread.join();
    m_loop.reset();  // ends the transfers under way, recorded as not completed
}

std::uint16_t TftpServer::port() const {
    return m_port;
}

}  // namespace velquor::serve::tftp
