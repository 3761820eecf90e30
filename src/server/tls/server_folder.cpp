// The files of a server folder; see server_folder.h.
#include "server/tls/server_folder.h"

namespace velquor::server {

ServerFiles serverFilesIn(const std::filesystem::path& folder,
                          const std::filesystem::path& caFolder) {
    const std::filesystem::path ca = caFolder.empty() ? folder / "ca" : caFolder;
    return ServerFiles{folder,
                       ca,
                       ca / "ca.key",
                       folder / "ca.key",
                       folder / "cacert.pem",
                       folder / "server.key",
                       folder / "server.pem",
                       folder / "kestod.db",
                       folder / "phone-ca.pem"};
}

}  // namespace velquor::server
