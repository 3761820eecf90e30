// EncryptConfigFile / DecryptConfigFile: the encrypted configuration file, read in large
// chunks, transformed in place and written through a temporary file renamed into place (or
// straight into a stream the user chose: a terminal, a pipe, /dev/null).
#include "crypto/config_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

#include "crypto/aes.h"
#include "crypto/config_blocks.h"
#include "crypto/plaintext_check.h"
#include "support/file_identity.h"
#include "support/input_file.h"
#include "support/trusted_file.h"

namespace velquor::crypto {

namespace {

using support::Error;
using support::ErrorCode;
using support::makeError;
using support::Phrase;
using support::Status;

// Small enough that the chunk just read is still in the core's own cache when the cipher
// reads and writes it (1 MiB spilled out of it: the data went to memory and back once more),
// large enough that system calls and progress reports cost nothing next to the cipher.
constexpr std::size_t kChunk = std::size_t{128} << 10;

constexpr char kErrorCaption[] = VELQUOR_TR_NOOP("core", "error");
constexpr char kOpenErrorText[] = VELQUOR_TR_NOOP("core", "file open error");
constexpr char kDecryptInputOpenErrorText[] = VELQUOR_TR_NOOP("core", "file open error !");

enum class Direction { Encrypt, Decrypt };

const char* verbOf(Direction direction) {
    return direction == Direction::Encrypt ? "encrypting" : "decrypting";
}

constexpr char kStandardStream[] = "-";

bool isStream(mode_t mode) {
    return S_ISCHR(mode) || S_ISFIFO(mode) || S_ISSOCK(mode);
}

// Writing a file over itself would truncate it before it is read. Reading a terminal, pipe or
// /dev/null while writing to it loses nothing, so /dev/stdin to /dev/stdout is let through.
Status refuseInputAsOutput(int inputFd, const std::string& inputPath, const std::string& outputPath,
                           bool outputIsStandardOutput) {
    struct stat input {};
    struct stat output {};
    if (::fstat(inputFd, &input) != 0) return {};
    const int found = outputIsStandardOutput ? ::fstat(STDOUT_FILENO, &output)
                                             : ::stat(outputPath.c_str(), &output);
    if (found != 0 || input.st_dev != output.st_dev || input.st_ino != output.st_ino ||
        isStream(input.st_mode)) {
        return {};
    }
    return support::sameFileError(inputPath, outputPath);
}

// A folder where the output should go would only fail at the final rename, after the whole
// input was processed, and a disk is never what an encrypted configuration is meant for: say
// so before starting.
Status refuseNonFileOutput(const std::string& outputPath) {
    struct stat info {};
    if (::stat(outputPath.c_str(), &info) != 0) return {};
    if (!S_ISDIR(info.st_mode) && !S_ISBLK(info.st_mode)) return {};
    //: %1 is the output file, %2 what it is (a folder, a block device)
    return makeError(ErrorCode::InvalidInput,
                     support::withReason(Phrase{VELQUOR_TR_NOOP("core",
                                                                "cannot write output file %1: it "
                                                                "is %2"),
                                                {outputPath}},
                                         support::fileTypeName(info.st_mode)));
}

std::string_view sampleOf(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), std::min(size, kTextSampleBytes)};
}

// One pass over the input. Decryption holds the last full block of every chunk back until
// more input proves it is not the file's last full block, the one that gets cut. The first
// data it sees (the input of an encryption, the result of a decryption) settles a doubt
// before anything is written.
class Transformer {
public:
    Transformer(Direction direction, const CAes& aes, support::AtomicOutputFile& output,
                const ConfigFileOptions& options, std::string_view inputPath,
                std::uint64_t inputSize)
        : m_direction(direction),
          m_aes(aes),
          m_output(output),
          m_options(options),
          m_inputPath(inputPath),
          m_inputSize(inputSize) {}

    // A full chunk somewhere before the end: everything but the held-back block is final.
    Status middleChunk(std::uint8_t* data, std::size_t size, std::size_t* keep) {
        if (m_direction == Direction::Encrypt) {
            *keep = 0;
            if (auto settled = settleInput(data, size, m_inputSize); !settled) return settled;
            return write(data, encryptCompleted(m_aes, data, size));
        }
        const std::size_t ready = size - kAesBlockSize;
        decryptBlocks(m_aes, data, data, ready / kAesBlockSize);
        *keep = kAesBlockSize;
        if (auto settled = settleResult(data, ready); !settled) return settled;
        return write(data, ready);
    }

    // total: the whole input's size, now known.
    Status lastChunk(std::uint8_t* data, std::size_t size, std::uint64_t total) {
        if (m_direction == Direction::Encrypt) {
            if (auto settled = settleInput(data, size, total); !settled) return settled;
            return write(data, encryptCompleted(m_aes, data, size));
        }
        const std::size_t length = decryptCompleted(m_aes, data, size);
        if (auto settled = settleResult(data, length); !settled) return settled;
        return write(data, length);
    }

private:
    // An input of no text whose size is whole blocks is what this format looks like; a size
    // not known yet (a long stream) leaves the text alone to tell.
    Status settleInput(const std::uint8_t* data, std::size_t size, std::uint64_t total) {
        if (m_settled) return {};
        m_settled = true;
        const bool wholeBlocks = total == 0 || total % kAesBlockSize == 0;
        if (size == 0 || !wholeBlocks || looksLikeText(sampleOf(data, size))) return {};
        return ask(Doubt::EncryptedAlready);
    }

    Status settleResult(const std::uint8_t* data, std::size_t size) {
        if (m_settled) return {};
        m_settled = true;
        if (looksLikeText(sampleOf(data, size))) return {};
        return ask(Doubt::WrongKey);
    }

    Status ask(Doubt doubt) {
        if (!m_options.whenDoubtful || m_options.whenDoubtful(doubt)) return {};
        return makeError(ErrorCode::Refused, doubtText(doubt, m_inputPath));
    }

    Status write(const std::uint8_t* data, std::size_t size) {
        if (std::string* start = m_options.outputStart;
            start != nullptr && start->size() < kTextSampleBytes) {
            const std::size_t wanted = std::min(size, kTextSampleBytes - start->size());
            start->append(reinterpret_cast<const char*>(data), wanted);
        }
        return m_output.write(data, size);
    }

    Direction m_direction;
    const CAes& m_aes;
    support::AtomicOutputFile& m_output;
    const ConfigFileOptions& m_options;
    std::string_view m_inputPath;
    std::uint64_t m_inputSize;  // 0 while unknown
    bool m_settled = false;
};

Error notEncryptedFile(const std::string& inputPath, std::uint64_t size) {
    //: %1 is the input file, %2 its size in bytes
    return makeError(ErrorCode::InvalidInput,
                     Phrase{VELQUOR_TR_NOOP("core",
                                            "%1 is not an encrypted configuration file: "
                                            "its size (%2 bytes) is not a multiple of 16"),
                            {inputPath, std::to_string(size)}});
}

Status transformStream(Direction direction, support::InputFile& input, const CAes& aes,
                       support::AtomicOutputFile& output, const ConfigFileOptions& options) {
    const std::uint64_t total = input.sizeForProgress();
    // Room for a chunk plus the completion of a trailing partial block.
    auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kChunk + kAesBlockSize);
    Transformer transformer(direction, aes, output, options, input.path(), total);
    std::uint64_t done = 0;
    std::size_t held = 0;
    for (;;) {
        auto got = input.readFully(buffer.get() + held, kChunk - held, options.stop);
        // Checked after the read as well: a read cut short by a stop is not the end of the input.
        if (options.stop.stop_requested()) {
            return makeError(ErrorCode::Cancelled,
                             Phrase{direction == Direction::Encrypt
                                        ? VELQUOR_TR_NOOP("core", "encrypting %1 was cancelled")
                                        : VELQUOR_TR_NOOP("core", "decrypting %1 was cancelled"),
                                    {input.path()}});
        }
        if (!got) return got.error();
        done += *got;
        const std::size_t have = held + *got;
        if (have < kChunk) {
            if (direction == Direction::Decrypt && done % kAesBlockSize != 0) {
                return notEncryptedFile(input.path(), done);
            }
            if (auto last = transformer.lastChunk(buffer.get(), have, done); !last) return last;
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
    if (inputPath.empty())
        return makeError(ErrorCode::InvalidInput, VELQUOR_TR_NOOP("core", "no input file chosen"));

    const bool inputIsStandard = options.dashIsStandardStream && inputPath == kStandardStream;
    const bool outputIsStandard = options.dashIsStandardStream && outputPath == kStandardStream;
    auto input =
        inputIsStandard ? support::InputFile::standardInput() : support::InputFile::open(inputPath);
    if (!input) {
        return fail(reporter, input.error(),
                    direction == Direction::Encrypt ? kOpenErrorText : kDecryptInputOpenErrorText);
    }
    if (auto same = refuseInputAsOutput(input->fd(), inputPath, outputPath, outputIsStandard);
        !same) {
        return fail(reporter, same.error());
    }
    if (!outputIsStandard) {
        if (auto notFile = refuseNonFileOutput(outputPath); !notFile) {
            return fail(reporter, notFile.error(), kOpenErrorText);
        }
    }
    support::OutputOptions outputOptions;
    outputOptions.durability = options.durability;
    outputOptions.streams = support::StreamTarget::WriteThrough;
    outputOptions.stop = options.stop;
    auto output = outputIsStandard ? support::AtomicOutputFile::standardOutput()
                                   : support::AtomicOutputFile::create(outputPath, outputOptions);
    if (!output) {
        if (output.error().code == ErrorCode::Cancelled) return output.error();
        const Error& cause = output.error();
        const Phrase unwritable =
            outputPath.empty()
                ? Phrase{VELQUOR_TR_NOOP("core", "no output file chosen")}
                //: %1 is the output file, %2 why it cannot be written
                : support::withCause(
                      Phrase{VELQUOR_TR_NOOP("core", "cannot write output file %1: %2"),
                             {outputPath}},
                      cause);
        Error error = makeError(cause.code, unwritable);
        return fail(reporter, std::move(error), kOpenErrorText);
    }

    // Checked once the output could be made, so that a file that cannot be written at all is
    // reported as such first; the output is discarded untouched.
    if (const std::uint64_t size = input->sizeForProgress();
        direction == Direction::Decrypt && size % kAesBlockSize != 0) {
        output->discard();
        return fail(reporter, notEncryptedFile(inputPath, size));
    }
    if (options.outputStart != nullptr) options.outputStart->clear();
    CAes aes;
    const int keyLength = static_cast<int>(std::min<std::size_t>(keyText.size(), INT_MAX));
    aes.Init(keyLength, reinterpret_cast<const unsigned char*>(keyText.data()));

    if (auto moved = transformStream(direction, *input, aes, *output, options); !moved) {
        output->discard();
        // A doubt answered No is the answer, not a failure to report.
        if (moved.error().code == ErrorCode::Cancelled ||
            moved.error().code == ErrorCode::Refused) {
            return moved;
        }
        return fail(reporter, moved.error());
    }
    if (auto committed = output->commit(); !committed) return fail(reporter, committed.error());
    return {};
}

}  // namespace

std::string doubtText(Doubt doubt, std::string_view inputPath) {
    if (doubt == Doubt::WrongKey) {
        return "the result does not look like a configuration file: the key may be wrong";
    }
    return std::string(inputPath) +
           " does not look like a configuration file: it may be encrypted already";
}

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
