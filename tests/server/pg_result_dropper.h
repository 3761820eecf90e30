// PgResultDropper: a proxy between kestod and the test PostgreSQL cluster that forwards
// everything, except that once armed with a marker it waits for a client message holding the
// marker and then swallows the first answer that ends a transaction on that connection
// (ReadyForQuery "idle") and cuts the connection: the database committed, the client never
// hears so. Listens on a Unix socket of its own; url() is the database's URL through it.
#pragma once

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "temp_dir.h"

namespace velquor::testing {

class PgResultDropper {
public:
    // databaseUrl: a URL of the test cluster, postgresql:///NAME?host=FOLDER&user=USER.
    explicit PgResultDropper(const std::string& databaseUrl);
    ~PgResultDropper();
    PgResultDropper(const PgResultDropper&) = delete;
    PgResultDropper& operator=(const PgResultDropper&) = delete;

    const std::string& url() const { return m_url; }
    void arm(const std::string& marker);
    // How many answers were swallowed so far.
    int dropped() const { return m_dropped.load(); }

private:
    void serve();

    TempDir m_folder;
    std::string m_url;
    std::filesystem::path m_target;
    int m_listener = -1;
    int m_wake[2] = {-1, -1};
    std::mutex m_mutex;
    std::string m_marker;  // empty: not armed
    std::atomic<int> m_dropped{0};
    std::thread m_thread;
};

}  // namespace velquor::testing
