// Fuzzer for the binding library's decoders: the three records and the two
// interfaces' transaction functions, fed bytes as a hostile peer would send
// them.
//
// Input layout: byte 0 selects the target (modulo 5):
//   0  a CallbackData record value      1  a CallbackInfo record value
//   2  a list of Image record values    3  an IBGService request
//   4  an IEventCallback request
// For requests, byte 1 selects the transaction code (modulo 12: 0 .. 9, then
// the hash and version queries). The remaining bytes are the parcel data.
//
// Checked beyond "no crash": what a decoder builds is bounded by the bytes
// present (a string holds at most as many bytes as arrived, every list
// element took at least 4), and a transaction that fails leaves no reply.
//
// Without BGS_FUZZER_NO_MAIN this file has a main: with file arguments it
// replays them; with --seeds it runs one valid input per target and code.
#include <aidl/vendor/tolvek/hardware/aidlbgservice/BnBGService.h>
#include <aidl/vendor/tolvek/hardware/aidlbgservice/BnEventCallback.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "registration.h"

namespace {

namespace bg = aidl::vendor::tolvek::hardware::aidlbgservice;
using ndk::UniqueAStatus;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "binding_fuzzer: %s\n", what);
    std::abort();
}

// Implementations that accept everything and answer with results, so that a
// decoded request travels the whole way to the reply.
class AcceptingService : public bg::BnBGService {
    UniqueAStatus setCapabilities(const std::string&) override { return UniqueAStatus::ok(); }
    UniqueAStatus setEventCallback(int32_t value, const std::shared_ptr<bg::IEventCallback>&,
                                   int32_t* result) override {
        *result = value;
        return UniqueAStatus::ok();
    }
    UniqueAStatus setTimestamps(int32_t, int64_t) override { return UniqueAStatus::ok(); }
    UniqueAStatus setRequstCompleted(int64_t) override { return UniqueAStatus::ok(); }
    UniqueAStatus setGalleryEventCallback(int32_t value, const std::shared_ptr<bg::IEventCallback>&,
                                          int32_t* result) override {
        *result = value;
        return UniqueAStatus::ok();
    }
    UniqueAStatus getGalleryAvailability(int32_t value, int32_t* result) override {
        *result = value;
        return UniqueAStatus::ok();
    }
    UniqueAStatus getStorageLoadCompletedStatus(int32_t, int32_t*) override {
        return UniqueAStatus::fromServiceSpecificErrorWithMessage(1, "refused");
    }
    UniqueAStatus setRequstCompletedImageName(const std::string&) override {
        return UniqueAStatus::ok();
    }
};

class AcceptingCallback : public bg::BnEventCallback {
    UniqueAStatus notifyCallback(const bg::CallbackData& data, std::string* result) override {
        *result = data.text;
        return UniqueAStatus::ok();
    }
    UniqueAStatus notifySnapshotAvailability(int32_t, std::string*) override {
        return UniqueAStatus::ok();
    }
    UniqueAStatus notifyCallbackInfo(const bg::CallbackInfo& info, std::string* result) override {
        *result = info.text1.value_or("");
        return UniqueAStatus::ok();
    }
    UniqueAStatus onCaptureCompleted(const std::string& first, int32_t, const std::string&,
                                     std::string* result) override {
        *result = first;
        return UniqueAStatus::ok();
    }
    UniqueAStatus onCaptureFailed(const std::string&, int32_t, const std::string&,
                                  std::string*) override {
        return UniqueAStatus::fromExceptionCode(EX_ILLEGAL_STATE);
    }
};

void checkBounded(size_t built, size_t budget, const char* what) {
    if (built > budget) fail(what);
}

void decodeRecords(int target, const AParcel* parcel, size_t size) {
    if (target == 0) {
        bg::CallbackData data;
        (void)ndk::AParcel_readRequiredParcelable(parcel, &data);
        checkBounded(data.text.size(), size, "CallbackData text larger than its input");
        checkBounded(data.images.size(), size / 4, "CallbackData list larger than its input");
    } else if (target == 1) {
        bg::CallbackInfo info;
        (void)ndk::AParcel_readRequiredParcelable(parcel, &info);
        checkBounded(info.text1.value_or("").size() + info.text2.value_or("").size(), size,
                     "CallbackInfo strings larger than their input");
    } else {
        std::vector<bg::Image> images;
        (void)ndk::AParcel_readData(parcel, &images);
        checkBounded(images.size(), size / 4, "Image list larger than its input");
    }
}

void serveRequest(int target, transaction_code_t code, const AParcel* request) {
    static const auto service = ndk::SharedRefBase::makeRef<AcceptingService>();
    static const auto callback = ndk::SharedRefBase::makeRef<AcceptingCallback>();
    ndk::SpAIBinder binder = target == 3 ? service->asBinder() : callback->asBinder();
    ndk::UniqueAParcel reply(AParcel_create());
    const binder_status_t status =
            target == 3 ? bg::_aidl_vendor_tolvek_hardware_aidlbgservice_IBGService_onTransact(
                                  binder.get(), code, request, reply.get())
                        : bg::_aidl_vendor_tolvek_hardware_aidlbgservice_IEventCallback_onTransact(
                                  binder.get(), code, request, reply.get());
    if (status != STATUS_OK && AParcel_getDataSize(reply.get()) != 0) {
        fail("a failed transaction left a reply");
    }
}

transaction_code_t codeFor(uint8_t selector) {
    const int index = selector % 12;
    if (index == 10) return 16777214;
    if (index == 11) return 16777215;
    return static_cast<transaction_code_t>(index);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const int target = data[0] % 5;
    const transaction_code_t code = codeFor(data[1]);
    const uint8_t* payload = data + 2;
    const size_t payloadSize = size - 2;
    ndk::UniqueAParcel parcel(AParcel_create());
    if (AParcel_unmarshal(parcel.get(), payload, payloadSize) != STATUS_OK) return 0;
    if (target < 3) {
        decodeRecords(target, parcel.get(), payloadSize);
    } else {
        serveRequest(target, code, parcel.get());
    }
    return 0;
}

#ifndef BGS_FUZZER_NO_MAIN
namespace {

// One valid input per record and per transaction code of each interface.
std::vector<std::vector<uint8_t>> seeds() {
    std::vector<std::vector<uint8_t>> inputs;
    auto add = [&](uint8_t target, uint8_t code, const std::function<void(AParcel*)>& write) {
        ndk::UniqueAParcel parcel(AParcel_create());
        write(parcel.get());
        std::vector<uint8_t> input = {target, code};
        std::vector<uint8_t> bytes(static_cast<size_t>(AParcel_getDataSize(parcel.get())));
        AParcel_marshal(parcel.get(), bytes.data(), 0, bytes.size());
        input.insert(input.end(), bytes.begin(), bytes.end());
        inputs.push_back(std::move(input));
    };
    bg::CallbackData data;
    data.text = "seed";
    data.images = {bg::Image{1, 2, 3}, bg::Image{4, 5, 6}};
    bg::CallbackInfo info;
    info.text1 = "one";
    add(0, 0, [&](AParcel* p) { ndk::AParcel_writeRequiredParcelable(p, data); });
    add(1, 0, [&](AParcel* p) { ndk::AParcel_writeRequiredParcelable(p, info); });
    add(2, 0, [&](AParcel* p) { ndk::AParcel_writeData(p, data.images); });
    for (uint8_t code = 0; code < 12; ++code) {
        add(3, code, [](AParcel* p) {
            AParcel_writeInt32(p, 7);
            AParcel_writeInt32(p, 0);  // a null binder entry, or an int64's low word
            AParcel_writeInt32(p, 0);
        });
        add(4, code, [&](AParcel* p) {
            if (code == 1) ndk::AParcel_writeRequiredParcelable(p, data);
            if (code == 3) ndk::AParcel_writeRequiredParcelable(p, info);
            ndk::AParcel_writeData(p, std::string("a"));
            AParcel_writeInt32(p, 1);
            ndk::AParcel_writeData(p, std::string("b"));
        });
    }
    return inputs;
}

std::vector<uint8_t> readFile(const char* path) {
    std::vector<uint8_t> input;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        std::perror(path);
        std::exit(1);
    }
    for (int c; (c = std::fgetc(file)) != EOF;) input.push_back(static_cast<uint8_t>(c));
    std::fclose(file);
    return input;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--seeds") {
        const auto inputs = seeds();
        for (const auto& input : inputs) LLVMFuzzerTestOneInput(input.data(), input.size());
        std::printf("binding_fuzzer: %zu seeds ok\n", inputs.size());
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        const std::vector<uint8_t> input = readFile(argv[i]);
        LLVMFuzzerTestOneInput(input.data(), input.size());
        std::printf("%s: ok\n", argv[i]);
    }
    return 0;
}
#endif
