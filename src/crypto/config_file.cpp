// EncryptConfigFile / DecryptConfigFile: the encrypted configuration file, read in large
// chunks, transformed in place and written through a temporary file renamed into place.
#include "crypto/config_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

#include "crypto/aes.h"
#include "crypto/config_blocks.h"
#include "support/file_identity.h"
#include "support/input_file.h"

namespace velquor::crypto {

namespace {

using support::Error;
using support::ErrorCode;
using support::makeError;
using support::Status;

// Large enough that system calls and progress reports cost nothing next to the cipher,
// small enough to stay in the cache hierarchy's outer levels.
constexpr std::size_t kChunk = std::size_t{1} << 20;

constexpr char kErrorCaption[] = "error";
constexpr char kOpenErrorText[] = "file open error";
constexpr char kDecryptInputOpenErrorText[] = "file open error !";

enum class Direction { Encrypt, Decrypt };

const char* verbOf(Direction direction) {
    return direction == Direction::Encrypt ? "encrypting" : "decrypting";
}

Status refuseInputAsOutput(int inputFd, const std::string& inputPath,
                           const std::string& outputPath) {
    const auto input = support::identityOf(inputFd);
    const auto output = support::identityOf(std::filesystem::path(outputPath));
    if (input && output && *input == *output) {
        return makeError(ErrorCode::SameFile, "the output file " + outputPath +
                                                  " is the input file " + inputPath +
                                                  " itself; choose another output file");
    }
    return {};
}

// A folder where the output should go would only fail at the final rename, after the whole
// input was processed: say so before starting.
Status refuseFolderAsOutput(const std::string& outputPath) {
    struct stat info {};
    if (::stat(outputPath.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        return makeError(ErrorCode::InvalidInput,
                         "cannot write output file " + outputPath + ": it is a folder");
    }
    return {};
}

// One pass over the input. Decryption holds the last full block of every chunk back until
// more input proves it is not the file's last full block, the one that gets cut.
class Transformer {
public:
    Transformer(Direction direction, const CAes& aes, support::AtomicOutputFile& output)
        : m_direction(direction), m_aes(aes), m_output(output) {}

    // A full chunk somewhere before the end: everything but the held-back block is final.
    Status middleChunk(std::uint8_t* data, std::size_t size, std::size_t* keep) {
        if (m_direction == Direction::Encrypt) {
            *keep = 0;
            return m_output.write(data, encryptCompleted(m_aes, data, size));
        }
        const std::size_t ready = size - kAesBlockSize;
        decryptBlocks(m_aes, data, data, ready / kAesBlockSize);
        *keep = kAesBlockSize;
        return m_output.write(data, ready);
    }

    Status lastChunk(std::uint8_t* data, std::size_t size) {
        const std::size_t length = m_direction == Direction::Encrypt
                                       ? encryptCompleted(m_aes, data, size)
                                       : decryptCompleted(m_aes, data, size);
        return m_output.write(data, length);
    }

private:
    Direction m_direction;
    const CAes& m_aes;
    support::AtomicOutputFile& m_output;
};

Status transformStream(Direction direction, support::InputFile& input, const CAes& aes,
                       support::AtomicOutputFile& output, const ConfigFileOptions& options) {
    const std::uint64_t total = input.sizeForProgress();
    // Room for a chunk plus the completion of a trailing partial block.
    auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kChunk + kAesBlockSize);
    Transformer transformer(direction, aes, output);
    std::uint64_t done = 0;
    std::size_t held = 0;
    for (;;) {
        if (options.stop.stop_requested()) {
            return makeError(ErrorCode::Cancelled, std::string(verbOf(direction)) + " " +
                                                       input.path() + " was cancelled");
        }
        auto got = input.readFully(buffer.get() + held, kChunk - held);
        if (!got) return got.error();
        done += *got;
        const std::size_t have = held + *got;
        if (have < kChunk) {
            if (auto last = transformer.lastChunk(buffer.get(), have); !last) return last;
            if (options.progress != nullptr)
                options.progress->progress(done, total, verbOf(direction));
            return {};
        }
        if (auto middle = transformer.middleChunk(buffer.get(), have, &held); !middle) {
            return middle;
        }
        if (held != 0) std::memcpy(buffer.get(), buffer.get() + have - held, held);
        if (options.progress != nullptr) options.progress->progress(done, total, verbOf(direction));
    }
}

// The product shows its own short texts for the failures it knew; failures it never
// detected get their detailed message, so the user always learns what went wrong.
Status fail(support::Reporter& reporter, Error error, const char* productText = nullptr) {
    reporter.report(productText != nullptr ? productText : error.message, kErrorCaption);
    return error;
}

Status runConfigFile(Direction direction, const std::string& inputPath,
                     const std::string& outputPath, const std::string& keyText,
                     support::Reporter& reporter, const ConfigFileOptions& options) {
    if (inputPath.empty()) return makeError(ErrorCode::InvalidInput, "no input file chosen");

    auto input = support::InputFile::open(inputPath);
    if (!input) {
        return fail(reporter, input.error(),
                    direction == Direction::Encrypt ? kOpenErrorText : kDecryptInputOpenErrorText);
    }
    if (auto same = refuseInputAsOutput(input->fd(), inputPath, outputPath); !same) {
        return fail(reporter, same.error());
    }
    if (auto folder = refuseFolderAsOutput(outputPath); !folder) {
        return fail(reporter, folder.error(), kOpenErrorText);
    }
    auto output = support::AtomicOutputFile::create(outputPath, options.durability);
    if (!output) {
        Error error = output.error();
        error.message = outputPath.empty()
                            ? "no output file chosen"
                            : "cannot write output file " + outputPath + ": " + error.message;
        return fail(reporter, std::move(error), kOpenErrorText);
    }

    CAes aes;
    const int keyLength = static_cast<int>(std::min<std::size_t>(keyText.size(), INT_MAX));
    aes.Init(keyLength, reinterpret_cast<const unsigned char*>(keyText.data()));

    if (auto moved = transformStream(direction, *input, aes, *output, options); !moved) {
        output->discard();
        if (moved.error().code == ErrorCode::Cancelled) return moved;
        return fail(reporter, moved.error());
    }
    if (auto committed = output->commit(); !committed) return fail(reporter, committed.error());
    return {};
}

}  // namespace

Status EncryptConfigFile(const std::string& inputPath, const std::string& outputPath,
                         const std::string& keyText, support::Reporter& reporter,
                         const ConfigFileOptions& options) {
    return runConfigFile(Direction::Encrypt, inputPath, outputPath, keyText, reporter, options);
}

Status DecryptConfigFile(const std::string& inputPath, const std::string& outputPath,
                         const std::string& keyText, support::Reporter& reporter,
                         const ConfigFileOptions& options) {
    return runConfigFile(Direction::Decrypt, inputPath, outputPath, keyText, reporter, options);
}

}  // namespace velquor::crypto
