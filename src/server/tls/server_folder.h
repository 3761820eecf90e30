// Where kestod keeps its state inside its folder: the TLS material 'kestod init' makes, the
// certificate clients trust, and the SQLite database.
#pragma once

#include <filesystem>

namespace velquor::server {

struct ServerFiles {
    std::filesystem::path folder;
    // The CA's key signs the server certificate and is needed by 'kestod init' only: it is kept
    // in a folder of its own (the server folder's "ca", or init's --ca-dir), so that the
    // serving folder can be copied to another instance without it. serve never reads it.
    std::filesystem::path caFolder;
    std::filesystem::path caKey;
    // Where a folder made by an earlier release keeps it; still checked for its mode.
    std::filesystem::path caKeyBeside;
    std::filesystem::path caCert;  // "cacert.pem": what clients trust
    std::filesystem::path serverKey;
    std::filesystem::path serverCert;
    std::filesystem::path database;
    // The phones' CAs ("phone-ca.pem", phone_cas.h): the phones' port is served while it is
    // there.
    std::filesystem::path phoneCas;
};

// The files of a folder; caFolder, when given, is where the CA's key is (else folder/ca).
ServerFiles serverFilesIn(const std::filesystem::path& folder,
                          const std::filesystem::path& caFolder = {});

}  // namespace velquor::server
