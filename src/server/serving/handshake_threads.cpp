// The TLS handshakes spread over the machine's cores: the event loop hands a connection whose
// handshake can go on to a handshake thread and takes it back when the thread has taken it as
// far as it goes without waiting (see kesto_server.h).
#include <unistd.h>

#include <algorithm>

#include "server/serving/connection.h"

namespace velquor::server {

namespace {

// Handshakes are a few milliseconds of work each; past a few threads the loop and the workers
// would only be crowded out.
constexpr unsigned kMostHandshakers = 8;

}  // namespace

void KestoServer::startHandshakers() {
    const unsigned cores = std::thread::hardware_concurrency();
    if (cores <= 1 || !m_handshakers.empty()) return;
    m_handshakersStopping = false;
    for (unsigned i = 0; i < std::min(cores, kMostHandshakers); ++i) {
        m_handshakers.emplace_back([this] { handshakerMain(); });
    }
}

// The threads finish what they hold; what still waits goes back to the loop untouched.
void KestoServer::stopHandshakers() {
    {
        std::lock_guard lock(m_handshakeMutex);
        m_handshakersStopping = true;
    }
    m_handshakeReady.notify_all();
    for (auto& thread : m_handshakers) thread.join();
    m_handshakers.clear();
    std::lock_guard lock(m_handshakeMutex);
    for (auto* waiting : {&m_handshakesContinuing, &m_handshakesWaiting}) {
        for (Connection* connection : *waiting) m_handshakesDone.push_back(connection);
        waiting->clear();
    }
    for (Connection* connection : m_handshakesDone) connection->withHandshaker = false;
    m_handshakesDone.clear();
    m_noStalledHandshake.fill(false);  // those given back may be stalled
}

void KestoServer::offerHandshake(Connection& connection) {
    connection.withHandshaker = true;
    {
        std::lock_guard lock(m_handshakeMutex);
        (connection.helloAnswered ? m_handshakesContinuing : m_handshakesWaiting)
            .push_back(&connection);
    }
    m_handshakeReady.notify_one();
}

void KestoServer::handshakerMain() {
    for (;;) {
        Connection* connection = nullptr;
        // The loop is woken when the handshakes it is to take back were none: it takes them all
        // at once, so a thread adding to those it has not taken yet need not wake it again.
        bool wake = false;
        {
            std::unique_lock lock(m_handshakeMutex);
            m_handshakeReady.wait(lock, [this] {
                return m_handshakersStopping || !m_handshakesContinuing.empty() ||
                       !m_handshakesWaiting.empty();
            });
            if (m_handshakersStopping) return;
            const bool noneDone = m_handshakesDone.empty();
            connection = nextHandshake();
            wake = noneDone && !m_handshakesDone.empty();
        }
        if (connection != nullptr) {
            continueTls(*connection);
            connection->helloAnswered = true;
            std::lock_guard lock(m_handshakeMutex);
            wake = wake || m_handshakesDone.empty();
            m_handshakesDone.push_back(connection);
        }
        if (!wake) continue;
        const char byte = 1;
        [[maybe_unused]] const auto ignored = ::write(m_wakeWrite, &byte, 1);
    }
}

// Under the mutex. A handshake whose hello is answered first: what is left of it is cheap and
// ends in an answer. Then the oldest new one; hellos past their deadline go back to the loop
// unanswered (it drops them) instead of costing a handshake's work, and null is returned when
// that was all there was.
KestoServer::Connection* KestoServer::nextHandshake() {
    if (!m_handshakesContinuing.empty()) {
        Connection* next = m_handshakesContinuing.front();
        m_handshakesContinuing.pop_front();
        return next;
    }
    const auto now = Clock::now();
    while (!m_handshakesWaiting.empty() && now >= m_handshakesWaiting.front()->handshakeDeadline) {
        m_handshakesDone.push_back(m_handshakesWaiting.front());
        m_handshakesWaiting.pop_front();
    }
    if (m_handshakesWaiting.empty()) return nullptr;
    Connection* next = m_handshakesWaiting.front();
    m_handshakesWaiting.pop_front();
    return next;
}

void KestoServer::takeBackHandshakes() {
    std::vector<Connection*> done;
    {
        std::lock_guard lock(m_handshakeMutex);
        done.swap(m_handshakesDone);
    }
    for (Connection* connection : done) {
        connection->withHandshaker = false;
        if (connection->stage == Connection::Stage::Record) handshakeEnded(*connection);
        m_noStalledHandshake[static_cast<std::size_t>(connection->kind)] = false;
    }
}

}  // namespace velquor::server
