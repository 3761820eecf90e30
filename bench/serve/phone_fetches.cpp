#include "phone_fetches.h"

#include <strings.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>

#include "digest_answer.h"
#include "loopback.h"

namespace velquor::bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRetryPause = std::chrono::milliseconds(100);
constexpr auto kLoopTick = std::chrono::milliseconds(20);
constexpr std::size_t kHeaderBound = 64 * 1024;
constexpr std::size_t kToTheClose = static_cast<std::size_t>(-1);

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The answer being read on a connection.
struct Answer {
    std::string header;  // up to and with its blank line
    bool headerDone = false;
    bool anyByte = false;
    bool closeAfter = false;
    int status = 0;
    std::size_t contentLength = kToTheClose;
    std::size_t bodyBytes = 0;

    bool complete() const { return headerDone && bodyBytes >= contentLength; }
};

// The value of header NAME (lower case, with its colon) in HEADER, or "".
std::string headerValue(const std::string& header, const char* name) {
    const std::size_t length = std::char_traits<char>::length(name);
    for (std::size_t line = header.find("\r\n"); line != std::string::npos;
         line = header.find("\r\n", line + 2)) {
        const std::size_t start = line + 2;
        if (::strncasecmp(header.c_str() + start, name, length) != 0) continue;
        const std::size_t end = header.find("\r\n", start);
        std::string value = header.substr(start + length, end - start - length);
        value.erase(0, value.find_first_not_of(' '));
        return value;
    }
    return {};
}

void readHeader(Answer& answer) {
    const bool http10 = answer.header.rfind("HTTP/1.0 ", 0) == 0;
    if (answer.header.size() > 12 && (http10 || answer.header.rfind("HTTP/1.1 ", 0) == 0))
        answer.status = std::atoi(answer.header.c_str() + 9);
    const std::string length = headerValue(answer.header, "content-length:");
    if (!length.empty()) answer.contentLength = std::strtoull(length.c_str(), nullptr, 10);
    std::string connection = headerValue(answer.header, "connection:");
    std::transform(connection.begin(), connection.end(), connection.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    answer.closeAfter = connection.find("close") != std::string::npos ||
                        (http10 && connection.find("keep-alive") == std::string::npos) ||
                        answer.contentLength == kToTheClose;
}

// Takes BYTES of the answer; returns false when its header is past the bound.
bool take(Answer& answer, const char* bytes, std::size_t count) {
    answer.anyByte = true;
    if (answer.headerDone) {
        answer.bodyBytes += count;
        return true;
    }
    const std::size_t searchFrom = answer.header.size() >= 3 ? answer.header.size() - 3 : 0;
    answer.header.append(bytes, count);
    const std::size_t end = answer.header.find("\r\n\r\n", searchFrom);
    if (end == std::string::npos) return answer.header.size() <= kHeaderBound;
    answer.bodyBytes = answer.header.size() - (end + 4);
    answer.header.resize(end + 4);
    answer.headerDone = true;
    readHeader(answer);
    return true;
}

struct Slot {
    long phone = -1;  // -1: free
    std::size_t fetch = 0;
    int fd = -1;
    std::size_t answersOnConnection = 0;
    std::string request;
    std::size_t sent = 0;
    bool wantsWrite = false;
    bool waitingToRetry = false;
    bool phoneOk = true;
    Answer answer;
    Clock::time_point phoneStarted;
    Clock::time_point requestStarted;
    Clock::time_point retryAt;
    std::optional<DigestChallenge> challenge;  // the phone's, once it was challenged
    unsigned nonceCount = 0;
    bool answeredChallenge = false;  // this fetch's challenge: a second 401 fails it
};

class FetchRun {
public:
    FetchRun(const std::vector<Phone>& phones, const FetchPlan& plan)
        : m_phones(phones), m_plan(plan), m_slots(std::max<std::size_t>(1, plan.inFlight)) {
        m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    }
    ~FetchRun() { ::close(m_epoll); }

    FetchOutcome run() {
        const Clock::time_point begin = Clock::now();
        std::vector<epoll_event> events(m_slots.size());
        auto lastTick = Clock::now();
        fillFreeSlots();
        while (m_active > 0 && !stopped()) {
            const int count = ::epoll_wait(m_epoll, events.data(), static_cast<int>(events.size()),
                                           static_cast<int>(kLoopTick.count()));
            for (int i = 0; i < count; ++i) onEvent(events[i]);
            if (Clock::now() - lastTick >= kLoopTick) {
                lastTick = Clock::now();
                for (Slot& slot : m_slots) onTick(slot);
            }
            fillFreeSlots();
        }
        m_outcome.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
        m_outcome.phonesLeft = m_active;
        for (Slot& slot : m_slots) closeConnection(slot);
        return std::move(m_outcome);
    }

private:
    bool stopped() const { return m_plan.stop != nullptr && m_plan.stop->load(); }

    static std::uint64_t eventKey(std::size_t slot, int fd) {
        return (static_cast<std::uint64_t>(slot) << 32) | static_cast<std::uint32_t>(fd);
    }

    std::size_t indexOf(const Slot& slot) const {
        return static_cast<std::size_t>(&slot - m_slots.data());
    }

    void fillFreeSlots() {
        for (Slot& slot : m_slots) {
            if (slot.phone >= 0) continue;
            if (m_nextPhone >= m_phones.size()) return;
            slot.phone = static_cast<long>(m_nextPhone++);
            slot.fetch = 0;
            slot.phoneOk = true;
            slot.challenge.reset();
            slot.nonceCount = 0;
            slot.answeredChallenge = false;
            slot.phoneStarted = Clock::now();
            ++m_active;
            startRequest(slot);
        }
    }

    const Phone& phoneOf(const Slot& slot) const {
        return m_phones[static_cast<std::size_t>(slot.phone)];
    }

    void startRequest(Slot& slot) {
        slot.waitingToRetry = false;
        slot.answer = Answer{};
        const Phone& phone = phoneOf(slot);
        const std::string& path = phone.fetches[slot.fetch].path;
        const bool expectsChallenge = !phone.user.empty() && !slot.challenge;
        std::string authorization;
        if (slot.challenge)
            authorization = "Authorization: " +
                            digestAuthorization(*slot.challenge, phone.user, phone.password, path,
                                                ++slot.nonceCount) +
                            "\r\n";
        slot.request =
            "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: bench-phone/1.0\r\n" +
            authorization + (m_plan.keepAlive || expectsChallenge ? "" : "Connection: close\r\n") +
            "\r\n";
        slot.sent = 0;
        slot.requestStarted = Clock::now();
        if (slot.fd < 0 && !openConnection(slot)) return;
        write(slot);
    }

    bool openConnection(Slot& slot) {
        slot.answersOnConnection = 0;
        slot.fd = connectFrom(phoneOf(slot).source, m_plan.port);
        ++m_outcome.connections;
        if (slot.fd < 0) {
            failRequest(slot);
            return false;
        }
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT;
        event.data.u64 = eventKey(indexOf(slot), slot.fd);
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, slot.fd, &event);
        slot.wantsWrite = true;
        return true;
    }

    void closeConnection(Slot& slot) {
        if (slot.fd < 0) return;
        ::close(slot.fd);  // leaves the epoll set with it
        slot.fd = -1;
    }

    void watchWrites(Slot& slot, bool wanted) {
        if (slot.wantsWrite == wanted) return;
        slot.wantsWrite = wanted;
        epoll_event event{};
        event.events = EPOLLIN | (wanted ? EPOLLOUT : 0u);
        event.data.u64 = eventKey(indexOf(slot), slot.fd);
        ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, slot.fd, &event);
    }

    void write(Slot& slot) {
        while (slot.sent < slot.request.size()) {
            const ssize_t n = ::send(slot.fd, slot.request.data() + slot.sent,
                                     slot.request.size() - slot.sent, MSG_NOSIGNAL);
            if (n > 0) {
                slot.sent += static_cast<std::size_t>(n);
                continue;
            }
            if (errno == EAGAIN || errno == ENOTCONN) {
                watchWrites(slot, true);
                return;
            }
            onConnectionEnd(slot);
            return;
        }
        watchWrites(slot, false);
    }

    void onEvent(const epoll_event& event) {
        Slot& slot = m_slots[event.data.u64 >> 32];
        const int fd = static_cast<int>(event.data.u64 & 0xffffffffu);
        if (slot.fd != fd || slot.phone < 0) return;  // a connection closed since
        if ((event.events & EPOLLOUT) && slot.sent < slot.request.size()) {
            write(slot);
            if (slot.fd != fd) return;
        }
        if (event.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) read(slot);
    }

    void read(Slot& slot) {
        thread_local char buffer[65536];  // fetchAll may run in several threads at once
        for (;;) {
            const ssize_t n = receive(slot, buffer, sizeof buffer);
            if (n > 0) {
                if (!take(slot.answer, buffer, static_cast<std::size_t>(n))) {
                    onConnectionEnd(slot);
                    return;
                }
                if (slot.answer.complete()) {
                    onAnswer(slot);
                    return;  // the slot may have a new connection or request by now
                }
                continue;
            }
            if (n < 0 && errno == EAGAIN) return;
            onConnectionEnd(slot);
            return;
        }
    }

    // The next bytes of the answer. A body of known length is counted, not copied (the
    // kernel drops it), so that the phones' side costs little beside the server measured.
    static ssize_t receive(const Slot& slot, char* buffer, std::size_t size) {
        const Answer& answer = slot.answer;
        if (!answer.headerDone || answer.contentLength == kToTheClose)
            return ::recv(slot.fd, buffer, size, 0);
        const std::size_t left =
            answer.contentLength - std::min(answer.bodyBytes, answer.contentLength);
        if (left == 0) return ::recv(slot.fd, buffer, size, 0);
        return ::recv(slot.fd, nullptr, left, MSG_TRUNC);
    }

    // The server closed the connection, or it failed.
    void onConnectionEnd(Slot& slot) {
        const bool reused = slot.answersOnConnection > 0;
        slot.answer.closeAfter = true;
        if (slot.answer.headerDone && slot.answer.contentLength == kToTheClose) {
            onAnswer(slot);  // an answer that ends with its connection
            return;
        }
        closeConnection(slot);
        if (!slot.answer.anyByte && reused) {
            startRequest(slot);  // a kept connection closed while idle: ask again on a new one
            return;
        }
        if (slot.answer.anyByte)
            ++m_outcome.statuses[slot.answer.status];
        else
            ++m_outcome.statuses[0];
        failRequest(slot);
    }

    void onAnswer(Slot& slot) {
        const Answer& answer = slot.answer;
        ++m_outcome.statuses[answer.status];
        if (m_plan.answers != nullptr) ++*m_plan.answers;
        ++slot.answersOnConnection;
        if (answer.status == 401 && takeChallenge(slot)) {
            if (answer.closeAfter) closeConnection(slot);
            startRequest(slot);
            return;
        }
        const std::size_t expected = phoneOf(slot).fetches[slot.fetch].size;
        const bool served =
            answer.status == 200 && (expected == Fetch::kAnySize || answer.bodyBytes == expected);
        if (answer.closeAfter || !m_plan.keepAlive) closeConnection(slot);
        if (!served) {
            failRequest(slot);
            return;
        }
        ++m_outcome.requestsServed;
        m_outcome.requestMs.push_back(msSince(slot.requestStarted));
        nextFetch(slot);
    }

    // Takes a 401's digest challenge for the phone: false when it has no user, the answer
    // carries none, or this fetch's challenge was answered already (a wrong password).
    bool takeChallenge(Slot& slot) {
        if (phoneOf(slot).user.empty() || slot.answeredChallenge) return false;
        auto challenge = readChallenge(headerValue(slot.answer.header, "www-authenticate:"));
        if (!challenge) return false;
        slot.challenge = std::move(challenge);
        slot.nonceCount = 0;
        slot.answeredChallenge = true;
        return true;
    }

    void failRequest(Slot& slot) {
        ++m_outcome.requestsFailed;
        if (m_plan.retry) {
            closeConnection(slot);
            slot.waitingToRetry = true;
            slot.retryAt = Clock::now() + kRetryPause;
            return;
        }
        slot.phoneOk = false;
        nextFetch(slot);
    }

    void nextFetch(Slot& slot) {
        slot.answeredChallenge = false;
        if (++slot.fetch < phoneOf(slot).fetches.size()) {
            startRequest(slot);
            return;
        }
        finishPhone(slot);
    }

    void finishPhone(Slot& slot) {
        closeConnection(slot);
        m_outcome.phoneMs.push_back(msSince(slot.phoneStarted));
        if (slot.phoneOk) ++m_outcome.phonesServed;
        slot.phone = -1;
        slot.waitingToRetry = false;
        --m_active;
    }

    void onTick(Slot& slot) {
        if (slot.phone < 0) return;
        if (Clock::now() - slot.phoneStarted > m_plan.phoneDeadline) {
            if (!slot.waitingToRetry) ++m_outcome.requestsFailed;
            if (!slot.answer.anyByte && slot.fd >= 0) ++m_outcome.statuses[0];
            slot.phoneOk = false;
            finishPhone(slot);
            return;
        }
        if (slot.waitingToRetry && Clock::now() >= slot.retryAt) startRequest(slot);
    }

    const std::vector<Phone>& m_phones;
    FetchPlan m_plan;
    std::vector<Slot> m_slots;
    int m_epoll = -1;
    std::size_t m_nextPhone = 0;
    std::size_t m_active = 0;
    FetchOutcome m_outcome;
};

}  // namespace

FetchOutcome fetchAll(const std::vector<Phone>& phones, const FetchPlan& plan) {
    return FetchRun(phones, plan).run();
}

double percentile(std::vector<double> values, double share) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(share * static_cast<double>(values.size()));
    return values[std::min(index, values.size() - 1)];
}

}  // namespace velquor::bench
