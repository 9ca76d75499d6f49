// Serves the interfaces of counter.bgidl and greeter.bgidl and calls them
// through their proxies, each call one transaction to the serving object in
// this process. Exits 0 when every answer is the expected one; otherwise
// says which step failed and exits 1.
#include <aidl/demo/counter/BnCounter.h>
#include <aidl/demo/counter/BpCounter.h>
#include <aidl/demo/greeting/BnGreeter.h>
#include <aidl/demo/greeting/BpGreeter.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using aidl::demo::counter::BnCounter;
using aidl::demo::counter::BpCounter;
using aidl::demo::counter::ICounter;
using aidl::demo::counter::Reading;
using aidl::demo::greeting::BnGreeter;
using aidl::demo::greeting::BpGreeter;
using aidl::demo::greeting::IGreeter;
using ndk::SharedRefBase;
using ndk::UniqueAStatus;

class Counter : public BnCounter {
  public:
    UniqueAStatus add(int32_t amount, const std::optional<std::string>& note, int64_t* out) override {
        total_ += amount;
        history_.push_back(Reading{total_, note});
        *out = total_;
        return UniqueAStatus(AStatus_newOk());
    }
    UniqueAStatus history(std::vector<Reading>* out) override {
        *out = history_;
        return UniqueAStatus(AStatus_newOk());
    }

  private:
    int64_t total_ = 0;
    std::vector<Reading> history_;
};

class Greeter : public BnGreeter {
  public:
    UniqueAStatus greet(const std::string& name, std::string* out) override {
        *out = "hello, " + name;
        return UniqueAStatus(AStatus_newOk());
    }
};

int fail(const char* step) {
    std::fprintf(stderr, "demo: %s failed\n", step);
    return 1;
}

bool ok(const UniqueAStatus& status) { return AStatus_isOk(status.get()); }

}  // namespace

int main() {
    const auto counter = SharedRefBase::makeRef<Counter>();
    const auto counterProxy = SharedRefBase::makeRef<BpCounter>(counter->asBinder());
    int64_t total = 0;
    if (!ok(counterProxy->add(5, "five", &total)) || total != 5) return fail("ICounter::add");
    if (!ok(counterProxy->add(-7, std::nullopt, &total)) || total != -2) return fail("second ICounter::add");
    std::vector<Reading> history;
    if (!ok(counterProxy->history(&history))) return fail("ICounter::history");
    if (history != std::vector<Reading>{Reading{5, "five"}, Reading{-2, std::nullopt}}) {
        return fail("ICounter::history's answer");
    }
    int32_t version = 0;
    std::string hash;
    if (!ok(counterProxy->getInterfaceVersion(&version)) || version != 1) return fail("ICounter's version");
    if (!ok(counterProxy->getInterfaceHash(&hash)) || hash != "notfrozen") return fail("ICounter's hash");

    const auto greeter = SharedRefBase::makeRef<Greeter>();
    const auto greeterProxy = SharedRefBase::makeRef<BpGreeter>(greeter->asBinder());
    std::string greeting;
    if (!ok(greeterProxy->greet("world", &greeting)) || greeting != "hello, world") {
        return fail("IGreeter::greet");
    }
    if (!ok(greeterProxy->getInterfaceVersion(&version)) || version != 3) return fail("IGreeter's version");
    if (!ok(greeterProxy->getInterfaceHash(&hash)) || hash != IGreeter::hash) return fail("IGreeter's hash");
    if (hash != "0123456789abcdef0123456789abcdef01234567") return fail("IGreeter's frozen hash");
    if (std::strcmp(ICounter::descriptor, "demo.counter.ICounter") != 0) return fail("ICounter's descriptor");

    std::puts("demo: served and called ICounter and IGreeter");
    return 0;
}
