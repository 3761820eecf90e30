// The phone server's state, shared by its request phases: the server itself (phone_server.cpp),
// the answer to a request (request_answer.cpp) and its record once it ended (request_record.cpp).
// Internal to src/serve/server.
#pragma once

#include <microhttpd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serve/folder/phone_folder.h"
#include "serve/log/fetch_log.h"
#include "serve/server/connection_guard.h"
#include "serve/server/phone_server.h"
#include "serve/status/site_status.h"

namespace velquor::serve {

struct PhoneServer::State {
    ServeOptions options;
    RecordSink onRecord;
    PhoneFolder folder;
    FetchLogWriter log;
    std::string certificatePem;
    std::string keyPem;
    std::vector<support::Phrase> warnings;
    // Outlives the daemon, whose connections it tracks until the last is closed.
    std::unique_ptr<ConnectionGuard> guard;
    MHD_Daemon* daemon = nullptr;
    std::uint16_t port = 0;
    // The library's last message: why it could not start. Its serving threads may speak too.
    std::mutex libraryMutex;
    std::string libraryMessage;

    mutable std::mutex statusMutex;
    SiteStatus status;
    std::atomic<std::uint64_t> requests{0};

    std::mutex flushMutex;
    std::condition_variable flushWake;
    bool stopping = false;
    std::thread flusher;

    struct Request {
        Steady::time_point started;
        FetchRecord record;
        std::uint64_t bodyBytes = 0;
    };

    MHD_Result answer(MHD_Connection* connection, const char* url, const char* method,
                      void** context);
    void completed(Request* request, MHD_RequestTerminationCode how);
    void flushLoop();
};

}  // namespace velquor::serve
