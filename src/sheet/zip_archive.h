// ZipArchive: read-only access to the members of a zip container, with the bounds that keep
// a hostile archive from exhausting memory (inflated bytes are counted here, not trusted).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>

#include "support/result.h"

struct zip;

namespace velquor::sheet {

struct ZipLimits {
    std::uint64_t maxTotalBytes = std::uint64_t{1} << 30;    // all members read, inflated
    std::uint64_t bigMemberBytes = std::uint64_t{32} << 20;  // past this the ratio is checked
    std::uint64_t maxRatio = 200;                            // inflated : compressed
};

class ZipArchive {
public:
    ~ZipArchive();
    ZipArchive(ZipArchive&&) noexcept;
    ZipArchive& operator=(ZipArchive&&) noexcept;

    static support::Result<ZipArchive> openFile(const std::string& path, ZipLimits limits = {});
    // The bytes must outlive the archive.
    static support::Result<ZipArchive> openBytes(std::string_view bytes, ZipLimits limits = {});

    // Member names are matched without regard to case, as package part names are.
    bool contains(const std::string& name) const;
    // The inflated size a member declares, when read() would accept it; 0 otherwise. A hint
    // to reserve memory by, never trusted: read() counts what really comes.
    std::uint64_t declaredSize(const std::string& name) const;

    // Streams a member's inflated bytes to consume in chunks; stops with an error as soon as
    // the member passes its declared size or the archive's budget. consume may stop it too.
    using Consumer = std::function<support::Status(std::string_view chunk)>;
    support::Status read(const std::string& name, const Consumer& consume);
    support::Result<std::string> readAll(const std::string& name);

    // Once stop is requested, reading ends at the next chunk with a Cancelled error: a hostile
    // archive can take long to inflate and parse, and the user must be able to end it.
    void stopOn(std::stop_token stop) { m_stop = std::move(stop); }

private:
    ZipArchive(zip* archive, ZipLimits limits);
    struct Closer {
        void operator()(zip* archive) const;
    };
    std::unique_ptr<zip, Closer> m_archive;
    ZipLimits m_limits;
    std::uint64_t m_bytesRead = 0;
    std::stop_token m_stop;
};

}  // namespace velquor::sheet
