// Costs of the in-process paths, each against a baseline measured in the
// same run: a direct virtual call on the local object is the floor a proxy
// call over the full wire path (parcels, runtime, stub dispatch) is compared
// with; plain parcel writes are the floor for record encoding.
//
// Quote ratios between rows of one run, not absolute times: the machines
// these run on are noisy.

#include <aidl/vendor/tolvek/hardware/aidlbgservice/BpBGService.h>
#include <aidl/vendor/tolvek/hardware/aidlbgservice/BpEventCallback.h>

#include <benchmark/benchmark.h>

#include "null_services.h"

namespace {

namespace bg = bgs::bench::bg;
using bgs::bench::NullCallback;
using bgs::bench::NullService;
using bgs::bench::sampleData;
using ndk::SharedRefBase;
using ndk::UniqueAStatus;

// Baseline: the local object, reached by fromBinder, called directly.
void BM_LocalCall_getGalleryAvailability(benchmark::State& state) {
    auto service = SharedRefBase::makeRef<NullService>();
    std::shared_ptr<bg::IBGService> local = bg::IBGService::fromBinder(service->asBinder());
    int32_t result = 0;
    for (auto _ : state) {
        UniqueAStatus status = local->getGalleryAvailability(7, &result);
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_LocalCall_getGalleryAvailability);

// The full wire path in one process: proxy, parcels, runtime, stub, object.
void BM_ProxyCall_getGalleryAvailability(benchmark::State& state) {
    auto service = SharedRefBase::makeRef<NullService>();
    auto proxy = SharedRefBase::makeRef<bg::BpBGService>(service->asBinder());
    int32_t result = 0;
    for (auto _ : state) {
        UniqueAStatus status = proxy->getGalleryAvailability(7, &result);
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_ProxyCall_getGalleryAvailability);

// A callback argument: a binder entry in the request, fromBinder on arrival.
void BM_ProxyCall_setEventCallback(benchmark::State& state) {
    auto service = SharedRefBase::makeRef<NullService>();
    auto proxy = SharedRefBase::makeRef<bg::BpBGService>(service->asBinder());
    std::shared_ptr<bg::IEventCallback> callback = SharedRefBase::makeRef<NullCallback>();
    int32_t result = 0;
    for (auto _ : state) {
        UniqueAStatus status = proxy->setEventCallback(1, callback, &result);
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_ProxyCall_setEventCallback);

// An event carrying a CallbackData with N images, over the wire path.
void BM_ProxyEvent_notifyCallback(benchmark::State& state) {
    auto callback = SharedRefBase::makeRef<NullCallback>();
    auto proxy = SharedRefBase::makeRef<bg::BpEventCallback>(callback->asBinder());
    const bg::CallbackData data = sampleData(static_cast<int>(state.range(0)));
    std::string reply;
    for (auto _ : state) {
        UniqueAStatus status = proxy->notifyCallback(data, &reply);
        benchmark::DoNotOptimize(reply);
    }
}
BENCHMARK(BM_ProxyEvent_notifyCallback)->Arg(0)->Arg(8)->Arg(256);

// Baseline for record encoding: the same number of int32 words written raw.
void BM_ParcelWriteInt32Words(benchmark::State& state) {
    const int words = static_cast<int>(state.range(0));
    for (auto _ : state) {
        ndk::UniqueAParcel parcel(AParcel_create());
        for (int i = 0; i < words; ++i) AParcel_writeInt32(parcel.get(), i);
        benchmark::DoNotOptimize(parcel.get());
    }
}
BENCHMARK(BM_ParcelWriteInt32Words)->Arg(16)->Arg(1024);

// CallbackData with 0 and 256 images: write then read back.
void BM_CallbackDataRoundTrip(benchmark::State& state) {
    const bg::CallbackData data = sampleData(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        ndk::UniqueAParcel parcel(AParcel_create());
        data.writeToParcel(parcel.get());
        AParcel_setDataPosition(parcel.get(), 0);
        bg::CallbackData read;
        read.readFromParcel(parcel.get());
        benchmark::DoNotOptimize(read);
    }
}
BENCHMARK(BM_CallbackDataRoundTrip)->Arg(0)->Arg(256);

}  // namespace

BENCHMARK_MAIN();
