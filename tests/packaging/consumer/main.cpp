// A program that uses the installed (or embedded) libraries the way a client
// does: through the public headers of the binding library only. Exits 0 when
// every step works; otherwise says which step failed and exits 1.
#include <aidl/vendor/tolvek/hardware/aidlbgservice/IBGService.h>
#include <aidl/vendor/tolvek/hardware/aidlbgservice/Image.h>

#include <cstdio>
#include <vector>

namespace {

using aidl::vendor::tolvek::hardware::aidlbgservice::IBGService;
using aidl::vendor::tolvek::hardware::aidlbgservice::Image;

int fail(const char* step) {
    std::fprintf(stderr, "consumer: %s failed\n", step);
    return 1;
}

Image image(int32_t value1, int32_t value2, int32_t value3) {
    Image result;
    result.value1 = value1;
    result.value2 = value2;
    result.value3 = value3;
    return result;
}

}  // namespace

int main() {
    ndk::UniqueAParcel parcel(AParcel_create());
    if (parcel.get() == nullptr) return fail("AParcel_create");

    // One record, then a list of them: the list goes through the element
    // reader and writer that the library exports for Image.
    const Image written = image(7, -2, 1 << 30);
    const std::vector<Image> writtenList = {image(1, 2, 3), image(-4, 5, -6)};
    if (written.writeToParcel(parcel.get()) != STATUS_OK) return fail("Image::writeToParcel");
    if (ndk::AParcel_writeData(parcel.get(), writtenList) != STATUS_OK) {
        return fail("writing an Image list");
    }

    if (AParcel_setDataPosition(parcel.get(), 0) != STATUS_OK) return fail("AParcel_setDataPosition");
    Image read;
    if (read.readFromParcel(parcel.get()) != STATUS_OK) return fail("Image::readFromParcel");
    if (read != written) return fail("Image round trip");
    std::vector<Image> readList;
    if (ndk::AParcel_readData(parcel.get(), &readList) != STATUS_OK) {
        return fail("reading an Image list");
    }
    if (readList != writtenList) return fail("Image list round trip");

    if (IBGService::fromBinder(ndk::SpAIBinder()) != nullptr) {
        return fail("IBGService::fromBinder on an empty binder");
    }
    std::puts("consumer: ok");
    return 0;
}
