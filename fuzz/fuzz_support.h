// What the process-level fuzzers (session_fuzzer, client_fuzzer) share:
// frames written and read the way the runtime lays them out
// (runtime/src/wire/format.h), parcel data made by the runtime's own
// writers, the clock and tokens, descriptor counting, and the replay
// program's main (seeds, --write-seeds DIR, input files).
#ifndef BGS_FUZZ_FUZZ_SUPPORT_H
#define BGS_FUZZ_FUZZ_SUPPORT_H

#include <android/binder_parcel.h>

#include <dirent.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "wire/format.h"  // the frame layout, as the runtime defines it

namespace bgs_fuzz {

namespace wire = binder_ndk::internal::wire;
using Bytes = std::vector<uint8_t>;

constexpr int32_t kInterfaceHeaderMagic = 0x46494742;  // "BGIF" (docs/wire-format.md)
constexpr size_t kHeaderSize = sizeof(wire::FrameHeader);

inline uint64_t nowMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

// A random nonzero 64-bit token.
inline uint64_t randomToken() {
    static uint64_t fallback = 0x9e3779b97f4a7c15ull;
    uint64_t token = 0;
    while (token == 0) {
        if (::getrandom(&token, sizeof token, 0) != sizeof token) token = (fallback += 0x9e3779b97f4a7c15ull);
    }
    return token;
}

inline int countDescriptors() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
    return count;
}

// A private registry directory under $TMPDIR (or /tmp), named
// `prefix`-XXXXXX, made once and removed at exit, with BGS_SERVICE_DIR
// pointing at it: the runtime reads that when it starts, so this comes
// first. Null when it cannot be made.
inline const char* makePrivateRegistry(const char* prefix) {
    static char directory[PATH_MAX];
    const char* tmp = std::getenv("TMPDIR");
    const std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
    if (pattern.size() >= sizeof directory) return nullptr;
    std::memcpy(directory, pattern.c_str(), pattern.size() + 1);
    if (::mkdtemp(directory) == nullptr || ::setenv("BGS_SERVICE_DIR", directory, 1) != 0) return nullptr;
    std::atexit([] {
        DIR* dir = ::opendir(directory);
        if (dir == nullptr) return;
        while (const dirent* entry = ::readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                ::unlinkat(::dirfd(dir), entry->d_name, 0);
            }
        }
        ::closedir(dir);
        ::rmdir(directory);
    });
    return directory;
}

// ---- Frames ----

inline wire::FrameHeader header(uint32_t kind, uint32_t handle = 0, uint32_t code = 0, uint32_t flags = 0) {
    wire::FrameHeader h{};
    h.magic = wire::kFrameMagic;
    h.kind = kind;
    h.handle = handle;
    h.code = code;
    h.flags = flags;
    h.seq = 1;
    h.senderThread = 0x5eed;
    return h;
}

inline Bytes frameBytes(wire::FrameHeader h, const Bytes& data = {}, const Bytes& objects = {},
                        uint32_t objectCount = 0) {
    h.dataSize = static_cast<uint32_t>(data.size());
    h.objectBytes = static_cast<uint32_t>(objects.size());
    h.objectCount = objectCount;
    Bytes bytes(kHeaderSize);
    std::memcpy(bytes.data(), &h, kHeaderSize);
    bytes.insert(bytes.end(), data.begin(), data.end());
    bytes.insert(bytes.end(), objects.begin(), objects.end());
    return bytes;
}

inline Bytes headerOnly(const wire::FrameHeader& h) {
    Bytes bytes(kHeaderSize);
    std::memcpy(bytes.data(), &h, kHeaderSize);
    return bytes;
}

inline bool readHeader(const uint8_t* packet, size_t size, wire::FrameHeader* h) {
    if (size < kHeaderSize) return false;
    std::memcpy(h, packet, kHeaderSize);
    return h->magic == wire::kFrameMagic;
}

// One object record; for kinds 1 and 3 the descriptor follows, padded.
inline Bytes objectRecord(uint32_t offset, uint32_t kind, uint32_t handle, const std::string& descriptor = "") {
    const wire::ObjectRecord record{offset, kind, handle, static_cast<uint32_t>(descriptor.size())};
    Bytes bytes(sizeof record + ((descriptor.size() + 3) & ~size_t{3}));
    std::memcpy(bytes.data(), &record, sizeof record);
    std::memcpy(bytes.data() + sizeof record, descriptor.data(), descriptor.size());
    return bytes;
}

// A release body of (handle, arrivals given back, references sent back) records.
inline Bytes releaseRecords(const std::vector<std::vector<uint32_t>>& records) {
    Bytes body;
    for (const auto& record : records) {
        const uint32_t words[3] = {record.at(0), record.at(1), record.size() > 2 ? record[2] : 0};
        const auto* bytes = reinterpret_cast<const uint8_t*>(words);
        body.insert(body.end(), bytes, bytes + sizeof words);
    }
    static_assert(3 * sizeof(uint32_t) == wire::kReleaseRecordSize, "the record as the runtime reads it");
    return body;
}

// Parcel data written by the runtime's own writers; `entry` writes a binder
// entry and gives its offset.
class Data {
  public:
    Data() : parcel_(AParcel_create()) {}
    ~Data() { AParcel_delete(parcel_); }
    Data(const Data&) = delete;
    Data& operator=(const Data&) = delete;

    Data& int32(int32_t value) {
        AParcel_writeInt32(parcel_, value);
        return *this;
    }
    Data& string(const char* text) {
        AParcel_writeString(parcel_, text, static_cast<int32_t>(std::strlen(text)));
        return *this;
    }
    Data& interfaceHeader(const char* descriptor) { return int32(kInterfaceHeaderMagic).string(descriptor); }
    Data& entry(uint32_t* offset) {
        *offset = static_cast<uint32_t>(AParcel_getDataPosition(parcel_));
        return int32(1).int32(0);
    }
    Bytes bytes() const {
        Bytes data(static_cast<size_t>(AParcel_getDataSize(parcel_)));
        AParcel_marshal(parcel_, data.data(), 0, data.size());
        return data;
    }

  private:
    AParcel* parcel_;
};

// ---- The replay program ----

struct Seed {
    const char* name;
    Bytes input;
};

inline Bytes readFile(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        std::perror(path);
        std::exit(1);
    }
    Bytes input;
    for (int c; (c = std::fgetc(file)) != EOF;) input.push_back(static_cast<uint8_t>(c));
    std::fclose(file);
    return input;
}

// `--seeds` runs the seeds, `--write-seeds DIR` writes them as a corpus, and
// file arguments are replayed.
inline int replayMain(int argc, char** argv, const char* program, const std::vector<Seed>& seeds,
                      int (*entry)(const uint8_t*, size_t)) {
    const std::string mode = argc >= 2 ? argv[1] : "";
    if (argc == 2 && mode == "--seeds") {
        for (const auto& seed : seeds) entry(seed.input.data(), seed.input.size());
        std::printf("%s: %zu seeds ok\n", program, seeds.size());
        return 0;
    }
    if (argc == 3 && mode == "--write-seeds") {
        for (const auto& seed : seeds) {
            const std::string path = std::string(argv[2]) + "/" + seed.name;
            std::FILE* file = std::fopen(path.c_str(), "wb");
            if (file == nullptr || std::fwrite(seed.input.data(), 1, seed.input.size(), file) != seed.input.size()) {
                std::perror(path.c_str());
                return 1;
            }
            std::fclose(file);
        }
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        const Bytes input = readFile(argv[i]);
        entry(input.data(), input.size());
        std::printf("%s: ok\n", argv[i]);
    }
    return 0;
}

}  // namespace bgs_fuzz

#endif  // BGS_FUZZ_FUZZ_SUPPORT_H
