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
    for (Connection* connection : m_handshakesWaiting) m_handshakesDone.push_back(connection);
    m_handshakesWaiting.clear();
    for (Connection* connection : m_handshakesDone) connection->withHandshaker = false;
    m_handshakesDone.clear();
}

void KestoServer::offerHandshake(Connection& connection) {
    connection.withHandshaker = true;
    {
        std::lock_guard lock(m_handshakeMutex);
        m_handshakesWaiting.push_back(&connection);
    }
    m_handshakeReady.notify_one();
}

void KestoServer::handshakerMain() {
    for (;;) {
        Connection* connection = nullptr;
        {
            std::unique_lock lock(m_handshakeMutex);
            m_handshakeReady.wait(
                lock, [this] { return m_handshakersStopping || !m_handshakesWaiting.empty(); });
            if (m_handshakersStopping) return;
            connection = m_handshakesWaiting.front();
            m_handshakesWaiting.pop_front();
        }
        continueTls(*connection);
        {
            std::lock_guard lock(m_handshakeMutex);
            m_handshakesDone.push_back(connection);
        }
        const char byte = 1;
        [[maybe_unused]] const auto ignored = ::write(m_wakeWrite, &byte, 1);
    }
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
    }
}

}  // namespace velquor::server
