// The queue of held connections alone, with closures for the library's suspend and resume and
// socket pairs for the clients: turns in order, its bound, a client that hangs up, and stop.
#include "serve/server/held_connections.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "wait_until.h"

namespace velquor::serve {
namespace {

using namespace std::chrono_literals;
using velquor::testing::waitUntil;
using Steady = HeldConnections::Steady;

// What the queue did to the connections it was given, by their numbers.
class Connections {
public:
    std::function<void()> suspend(int number) {
        return [this, number] {
            std::lock_guard lock(m_mutex);
            m_suspended.push_back(number);
        };
    }
    HeldConnections::Resume resume(int number) {
        return [this, number](bool turnCame) {
            std::lock_guard lock(m_mutex);
            // Resumed only once suspended, and only once.
            EXPECT_NE(std::find(m_suspended.begin(), m_suspended.end(), number), m_suspended.end());
            EXPECT_EQ(std::find(m_resumed.begin(), m_resumed.end(), number), m_resumed.end());
            m_resumed.push_back(number);
            if (!turnCame) m_letGo.push_back(number);
        };
    }
    std::vector<int> resumed() const {
        std::lock_guard lock(m_mutex);
        return m_resumed;
    }
    std::vector<int> letGo() const {
        std::lock_guard lock(m_mutex);
        return m_letGo;
    }
    std::size_t suspended() const {
        std::lock_guard lock(m_mutex);
        return m_suspended.size();
    }

private:
    mutable std::mutex m_mutex;
    std::vector<int> m_suspended;
    std::vector<int> m_resumed;
    std::vector<int> m_letGo;  // resumed before their turn
};

bool hold(HeldConnections& queue, Connections& connections, int number, Steady::time_point turn,
          int socket = -1) {
    return queue.hold(socket, turn, connections.suspend(number), connections.resume(number));
}

TEST(HeldConnections, EachIsResumedAtItsTurnInTheOrderOfTurns) {
    Connections connections;  // outlives the queue, which resumes at its end
    HeldConnections queue;
    const Steady::time_point now = Steady::now();
    ASSERT_TRUE(hold(queue, connections, 1, now + 60ms));
    ASSERT_TRUE(hold(queue, connections, 2, now + 20ms));
    ASSERT_TRUE(hold(queue, connections, 3, now + 40ms));
    ASSERT_TRUE(hold(queue, connections, 4, now - 1s)) << "a turn already come";
    ASSERT_TRUE(waitUntil([&] { return connections.resumed().size() == 4; }, 10s));
    EXPECT_EQ(connections.resumed(), (std::vector<int>{4, 2, 3, 1}));
    EXPECT_TRUE(connections.letGo().empty()) << "each at its turn";
    const HeldCounts counts = queue.counts();
    EXPECT_EQ(counts.now, 0u);
    EXPECT_EQ(counts.held, 4u);
    EXPECT_EQ(counts.hungUp, 0u);
}

TEST(HeldConnections, PastItsBoundAConnectionIsNotHeld) {
    Connections connections;
    HeldConnections queue(4);
    const Steady::time_point later = Steady::now() + 1h;
    int held = 0;
    for (int i = 0; i < 10'000; ++i) held += hold(queue, connections, i, later) ? 1 : 0;
    EXPECT_EQ(held, 4);
    EXPECT_EQ(connections.suspended(), 4u) << "one refused is never suspended";
    const HeldCounts counts = queue.counts();
    EXPECT_EQ(counts.now, 4u);
    EXPECT_EQ(counts.refused, 9'996u);
    EXPECT_TRUE(connections.resumed().empty());
}

TEST(HeldConnections, AClientThatHangsUpIsResumedBeforeItsTurn) {
    Connections connections;  // outlives the queue, which resumes at its end
    HeldConnections queue;
    int staying[2];
    int leaving[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, staying), 0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, leaving), 0);
    const Steady::time_point later = Steady::now() + 1h;
    ASSERT_TRUE(hold(queue, connections, 1, later, staying[0]));
    ASSERT_TRUE(hold(queue, connections, 2, later, leaving[0]));
    ASSERT_EQ(::write(staying[1], "GET", 3), 3) << "a client that speaks is no hang-up";
    ::close(leaving[1]);
    ASSERT_TRUE(waitUntil([&] { return !connections.resumed().empty(); }, 10s));
    EXPECT_EQ(connections.resumed(), std::vector<int>{2});
    EXPECT_EQ(connections.letGo(), std::vector<int>{2}) << "let go, not at its turn";
    EXPECT_EQ(queue.counts().hungUp, 1u);
    EXPECT_EQ(queue.counts().now, 1u);
    queue.stop();
    EXPECT_EQ(connections.resumed(), (std::vector<int>{2, 1}));
    for (int fd : {staying[0], staying[1], leaving[0]}) ::close(fd);
}

TEST(HeldConnections, StopResumesEveryHeldConnectionAndHoldsNoneAfter) {
    Connections connections;  // outlives the queue, which resumes at its end
    HeldConnections queue;
    const Steady::time_point later = Steady::now() + 1h;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(hold(queue, connections, i, later));
    queue.stop();
    EXPECT_EQ(connections.resumed().size(), 3u);
    EXPECT_EQ(connections.letGo().size(), 3u) << "let go to be closed";
    EXPECT_FALSE(hold(queue, connections, 9, later));
    EXPECT_EQ(connections.suspended(), 3u);
    queue.stop();  // again, as the destructor does: nothing more
    EXPECT_EQ(queue.counts().now, 0u);
}

}  // namespace
}  // namespace velquor::serve
