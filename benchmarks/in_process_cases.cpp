// Costs of the paths inside one process, each against a baseline measured
// in the same run:
//   InProcess/Proxy/<call>    the generated proxy over a local binder: request
//                             and reply parcels, the runtime, stub dispatch.
//   InProcess/Direct/<call>   the same call on the local object that
//                             fromBinder hands out: one virtual call.
//   InProcess/Parcel/...      words or a CallbackData written to a new parcel
//                             and read back.
//   InProcess/Vector/int32:N  N int32 pushed onto a new std::vector and read
//                             back; N is the word count of the parcel case it
//                             is the baseline of.

#include <aidl/vendor/tolvek/hardware/aidlbgservice/BpBGService.h>
#include <aidl/vendor/tolvek/hardware/aidlbgservice/BpEventCallback.h>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "allocs_per_call.h"
#include "cases.h"
#include "null_services.h"

namespace bgs::bench {
namespace {

using ndk::SharedRefBase;
using ndk::UniqueAStatus;

constexpr int kWords = 1024;

// Times `call` and sets allocs/call. Its result goes through DoNotOptimize,
// so a call with no visible effect is still made.
template <typename Call>
void timeCalls(benchmark::State& state, Call call) {
    for (int i = 0; i < kWarmUpCalls; ++i) {
        auto result = call();
        benchmark::DoNotOptimize(result);
    }
    const uint64_t before = allocationCount();
    for (auto _ : state) {
        auto result = call();
        benchmark::DoNotOptimize(result);
    }
    reportAllocationsPerCall(state, before);
}

// ---- Method calls ----

// An interface, the object that serves it here and its proxy.
struct ServiceSide {
    using Interface = bg::IBGService;
    using Object = NullService;
    using Proxy = bg::BpBGService;
};
struct CallbackSide {
    using Interface = bg::IEventCallback;
    using Object = NullCallback;
    using Proxy = bg::BpEventCallback;
};

// `call(Interface&)` returns the call's status; a failing call would time
// its error path, so the case ends in error instead.
template <typename Interface, typename Call>
void timeMethod(benchmark::State& state, Interface& object, Call& call) {
    const UniqueAStatus status = call(object);
    if (!status.isOk()) {
        state.SkipWithError(("the call failed: " + status.getDescription()).c_str());
        return;
    }
    timeCalls(state, [&] { return call(object); });
}

template <typename Side, typename Call>
void directCalls(benchmark::State& state, Call call) {
    const auto object = SharedRefBase::makeRef<typename Side::Object>();
    const std::shared_ptr<typename Side::Interface> local = Side::Interface::fromBinder(object->asBinder());
    // Anything else (a proxy, say) would not be the floor this case stands for.
    if (local.get() != static_cast<typename Side::Interface*>(object.get())) {
        state.SkipWithError("fromBinder did not return the local object");
        return;
    }
    // Called through the interface as a client calls it: hidden from the
    // optimiser, which would otherwise learn the object's type from the
    // check above and inline the method (see also CMakeLists.txt).
    typename Side::Interface* target = local.get();
    benchmark::DoNotOptimize(target);
    timeMethod(state, *target, call);
}

template <typename Side, typename Call>
void proxyCalls(benchmark::State& state, Call call) {
    const auto object = SharedRefBase::makeRef<typename Side::Object>();
    const auto proxy = SharedRefBase::makeRef<typename Side::Proxy>(object->asBinder());
    timeMethod<typename Side::Interface>(state, *proxy, call);
}

// Registers the proxy call `method` against the direct one.
template <typename Side, typename Call>
void registerMethod(std::vector<Comparison>* rows, const std::string& method, const std::string& label,
                    Call call) {
    const std::string direct = "InProcess/Direct/" + method;
    const std::string proxy = "InProcess/Proxy/" + method;
    benchmark::RegisterBenchmark(direct.c_str(), directCalls<Side, Call>, call);
    benchmark::RegisterBenchmark(proxy.c_str(), proxyCalls<Side, Call>, call);
    rows->push_back({"proxy " + label, proxy, "direct " + label, direct});
}

void registerMethods(std::vector<Comparison>* rows) {
    registerMethod<ServiceSide>(rows, "setTimestamps", "setTimestamps", [](bg::IBGService& service) {
        return service.setTimestamps(kRequestNumber, kTimestamp);
    });
    registerMethod<ServiceSide>(rows, "getGalleryAvailability", "getGalleryAvailability",
                                [result = int32_t{0}](bg::IBGService& service) mutable {
                                    UniqueAStatus status = service.getGalleryAvailability(kRequestNumber, &result);
                                    benchmark::DoNotOptimize(result);
                                    return status;
                                });
    // A binder argument: an object entry in the request, fromBinder on arrival.
    // Its binder is kept alive, as a remote service's reference to a
    // registered callback keeps it: an object's binder that nobody holds
    // ends after each call, and the next call makes a new one.
    const std::shared_ptr<bg::IEventCallback> callback = SharedRefBase::makeRef<NullCallback>();
    registerMethod<ServiceSide>(rows, "setEventCallback", "setEventCallback",
                                [callback, binder = callback->asBinder(), result = int32_t{0}](
                                        bg::IBGService& service) mutable {
                                    UniqueAStatus status = service.setEventCallback(1, callback, &result);
                                    benchmark::DoNotOptimize(result);
                                    return status;
                                });
    for (int images : {0, 16, 256}) {
        const std::string count = std::to_string(images);
        registerMethod<CallbackSide>(rows, "notifyCallback/images:" + count, "notifyCallback(" + count + " img)",
                                     [event = sampleData(images), answer = std::string()](
                                             bg::IEventCallback& target) mutable {
                                         UniqueAStatus status = target.notifyCallback(event, &answer);
                                         benchmark::DoNotOptimize(answer);
                                         return status;
                                     });
    }
}

// ---- Parcels against vectors ----
// Both sides of each pair start from an empty container every iteration and
// grow it as they go (neither reserves), then read every word back.

uint32_t parcelWords(int words) {
    ndk::UniqueAParcel parcel(AParcel_create());
    for (int32_t i = 0; i < words; ++i) AParcel_writeInt32(parcel.get(), i);
    AParcel_setDataPosition(parcel.get(), 0);
    uint32_t sum = 0;
    for (int i = 0; i < words; ++i) {
        int32_t word = 0;
        AParcel_readInt32(parcel.get(), &word);
        sum += static_cast<uint32_t>(word);
    }
    return sum;
}

uint32_t vectorWords(int words) {
    std::vector<int32_t> vector;
    for (int32_t i = 0; i < words; ++i) vector.push_back(i);
    // As opaque to the compiler as the parcel's bytes: the words must be
    // stored and loaded again, not summed as they are made.
    int32_t* data = vector.data();
    benchmark::DoNotOptimize(data);
    benchmark::ClobberMemory();
    uint32_t sum = 0;
    for (int32_t word : vector) sum += static_cast<uint32_t>(word);
    return sum;
}

bool parcelRoundTrip(const bg::CallbackData& data, bg::CallbackData* read) {
    ndk::UniqueAParcel parcel(AParcel_create());
    if (data.writeToParcel(parcel.get()) != STATUS_OK) return false;
    AParcel_setDataPosition(parcel.get(), 0);
    return read->readFromParcel(parcel.get()) == STATUS_OK;
}

// The int32 words a parcel holds after `data` is written to it; 0 when the
// write fails.
int parcelSizeInWords(const bg::CallbackData& data) {
    ndk::UniqueAParcel parcel(AParcel_create());
    if (data.writeToParcel(parcel.get()) != STATUS_OK) return 0;
    return AParcel_getDataSize(parcel.get()) / 4;
}

void callbackDataRoundTrips(benchmark::State& state, int images) {
    const bg::CallbackData data = sampleData(images);
    bg::CallbackData check;
    // A record that does not come back whole would time an early failure.
    if (!parcelRoundTrip(data, &check) || !(check == data)) {
        state.SkipWithError("the CallbackData did not come back as written");
        return;
    }
    timeCalls(state, [&data] {
        bg::CallbackData read;
        const bool done = parcelRoundTrip(data, &read);
        benchmark::DoNotOptimize(read);
        return done;
    });
}

// Registers InProcess/Vector/int32:<words> once, whichever rows share it.
std::string vectorBaseline(int words, std::set<int>* registered) {
    const std::string name = "InProcess/Vector/int32:" + std::to_string(words);
    if (registered->insert(words).second) {
        benchmark::RegisterBenchmark(name.c_str(), [words](benchmark::State& state) {
            timeCalls(state, [words] { return vectorWords(words); });
        });
    }
    return name;
}

void registerEncodings(std::vector<Comparison>* rows) {
    std::set<int> vectors;
    const std::string words = std::to_string(kWords);
    const std::string parcel = "InProcess/Parcel/int32:" + words;
    benchmark::RegisterBenchmark(parcel.c_str(), [](benchmark::State& state) {
        timeCalls(state, [] { return parcelWords(kWords); });
    });
    rows->push_back({"parcel " + words + " int32", parcel, "vector " + words + " int32",
                     vectorBaseline(kWords, &vectors)});

    for (int images : {16, 1024}) {
        const std::string count = std::to_string(images);
        const std::string name = "InProcess/Parcel/CallbackData/images:" + count;
        benchmark::RegisterBenchmark(name.c_str(), callbackDataRoundTrips, images);
        // A failed write leaves 0 words; the case itself then reports the failure.
        const int size = parcelSizeInWords(sampleData(images));
        rows->push_back({"parcel CallbackData(" + count + " img)", name,
                         "vector " + std::to_string(size) + " int32", vectorBaseline(size, &vectors)});
    }
}

}  // namespace

void registerInProcessCases(std::vector<Comparison>* rows) {
    registerMethods(rows);
    registerEncodings(rows);
}

}  // namespace bgs::bench
