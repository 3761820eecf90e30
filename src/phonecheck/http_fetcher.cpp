// fetchAll over one libcurl multi handle; see http_fetcher.h.
#include "phonecheck/http_fetcher.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>

#include "serve/log/fetch_record.h"
#include "wire/server_text.h"

namespace velquor::phonecheck {
namespace {

void initialiseCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Transfer {
    CURL* easy = nullptr;
    std::size_t index = 0;
    std::size_t limit = 0;
    bool tooLarge = false;
    std::string body;
    char error[CURL_ERROR_SIZE] = {};
};

std::size_t keepBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t bytes = size * count;
    if (transfer->body.size() + bytes > transfer->limit) {
        transfer->tooLarge = true;
        return 0;  // anything short of bytes ends the transfer
    }
    transfer->body.append(data, bytes);
    return bytes;
}

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};

// Each transfer starts from a reset handle: nothing of the previous request's options stays,
// while the multi handle keeps the connections for the next.
void configure(Transfer& transfer, const FetchRequest& request, const FetchOptions& options) {
    CURL* easy = transfer.easy;
    curl_easy_reset(easy);
    transfer.body.clear();
    transfer.tooLarge = false;
    transfer.error[0] = '\0';
    transfer.limit = options.maxBodyBytes;
    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
    curl_easy_setopt(easy, CURLOPT_NOBODY, request.headOnly ? 1L : 0L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, keepBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.error);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https,tftp");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, serve::kPhoneCheckAgent.data());
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(options.connectTimeout.count()));
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS,
                     static_cast<long>((options.connectTimeout + options.exchangeTimeout).count()));
    if (!options.caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, options.caFile.c_str());
}

FetchFailure failureOf(CURL* easy, CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_CONNECT: {
            // Also an unreachable network or host, which a refusal is not.
            long systemError = 0;
            curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &systemError);
            return systemError == ECONNREFUSED ? FetchFailure::Refused : FetchFailure::Other;
        }
        case CURLE_OPERATION_TIMEDOUT:
            return FetchFailure::TimedOut;
        case CURLE_COULDNT_RESOLVE_HOST:
            return FetchFailure::NameNotFound;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
            return FetchFailure::Certificate;
        default:
            return FetchFailure::Other;
    }
}

FetchResult resultOf(Transfer& transfer, CURLcode code, const FetchOptions& options) {
    FetchResult result;
    if (code == CURLE_OK) {
        result.answered = true;
        curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &result.status);
        if (result.status == 0) result.status = 200;  // TFTP has no status: the file came whole
        result.body = std::move(transfer.body);
        transfer.body = std::string();  // its room goes with it
    } else if (code == CURLE_TFTP_NOTFOUND || code == CURLE_TFTP_PERM) {
        result.answered = true;  // a TFTP server's refusal, read as HTTP's
        result.status = code == CURLE_TFTP_NOTFOUND ? 404 : 403;
    } else if (transfer.tooLarge) {
        result.failure = FetchFailure::Other;
        result.error =
            "its answer is larger than " + std::to_string(options.maxBodyBytes) + " bytes";
    } else {
        result.error = transfer.error[0] != '\0' ? transfer.error : curl_easy_strerror(code);
        result.failure = failureOf(transfer.easy, code);
    }
    return result;
}

}  // namespace

void fetchEach(const std::vector<FetchRequest>& requests, const FetchOptions& options,
               support::ProgressSink& progress, const FetchHandler& onResult,
               std::stop_token stop) {
    initialiseCurl();
    std::vector<bool> handed(requests.size(), false);
    const std::size_t inFlight = std::clamp<std::size_t>(options.inFlight, 1, 1024);
    std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
    curl_multi_setopt(multi.get(), CURLMOPT_MAX_TOTAL_CONNECTIONS, static_cast<long>(inFlight));
    curl_multi_setopt(multi.get(), CURLMOPT_MAXCONNECTS, static_cast<long>(inFlight));

    std::vector<std::unique_ptr<CURL, EasyDeleter>> handles;
    std::vector<Transfer> transfers(std::min(inFlight, requests.size()));
    std::size_t next = 0;
    std::size_t active = 0;
    std::size_t done = 0;
    auto start = [&](Transfer& transfer) {
        transfer.index = next++;
        configure(transfer, requests[transfer.index], options);
        curl_multi_add_handle(multi.get(), transfer.easy);
        ++active;
    };
    for (Transfer& transfer : transfers) {
        handles.emplace_back(curl_easy_init());
        transfer.easy = handles.back().get();
        start(transfer);
    }
    progress.progress(0, requests.size(), {});
    while (active > 0 && !stop.stop_requested()) {
        int running = 0;
        curl_multi_perform(multi.get(), &running);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
            if (message->msg != CURLMSG_DONE) continue;
            Transfer* transfer = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
            const std::size_t index = transfer->index;
            curl_multi_remove_handle(multi.get(), transfer->easy);
            --active;
            handed[index] = true;
            onResult(index, resultOf(*transfer, message->data.result, options));
            progress.progress(++done, requests.size(), wire::maskedServerText(requests[index].url));
            if (next < requests.size()) start(*transfer);
        }
        if (active > 0) curl_multi_poll(multi.get(), nullptr, 0, 100, nullptr);
    }
    for (Transfer& transfer : transfers) curl_multi_remove_handle(multi.get(), transfer.easy);
    for (std::size_t index = 0; index < requests.size(); ++index) {
        if (handed[index]) continue;
        FetchResult stopped;
        stopped.failure = FetchFailure::Other;
        stopped.error = "stopped";
        onResult(index, std::move(stopped));
    }
}

std::vector<FetchResult> fetchAll(const std::vector<FetchRequest>& requests,
                                  const FetchOptions& options, support::ProgressSink& progress,
                                  std::stop_token stop) {
    std::vector<FetchResult> results(requests.size());
    fetchEach(
        requests, options, progress,
        [&results](std::size_t index, FetchResult result) { results[index] = std::move(result); },
        std::move(stop));
    return results;
}

std::string pathOf(const std::string& url) {
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), curl_url_cleanup);
    if (curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return {};
    char* path = nullptr;
    std::string text = "/";
    if (curl_url_get(parsed.get(), CURLUPART_PATH, &path, 0) == CURLUE_OK && path != nullptr &&
        *path != '\0') {
        text = path;
    }
    curl_free(path);
    return text;
}

std::string hostOf(const std::string& url) {
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), curl_url_cleanup);
    if (curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return url;
    char* host = nullptr;
    char* port = nullptr;
    std::string text;
    if (curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK) text = host;
    if (curl_url_get(parsed.get(), CURLUPART_PORT, &port, 0) == CURLUE_OK) {
        text += std::string(":") + port;
    }
    curl_free(host);
    curl_free(port);
    return text;
}

}  // namespace velquor::phonecheck
