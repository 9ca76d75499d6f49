// bgs::ScopedDeathLink against services in child processes that are killed:
// the notice runs once, on a runtime thread, only while the handle is
// linked, and unlinking waits for a notice that is running.
#include "process_test_support.h"

#include <bgs/scoped_death_link.h>

#include <array>
#include <atomic>
#include <future>
#include <memory>
#include <thread>

namespace bgs_process_test {
namespace {

using ::ndk::SpAIBinder;

class ProcessDeathLink : public ProcessTest {
  protected:
    struct Service {
        ChildProcess* child = nullptr;
        SpAIBinder binder;
    };
    // Two probe services in children, and the binders this process holds of
    // them; the binders are null when a service did not start.
    std::array<Service, 2> spawnServices() {
        std::array<Service, 2> services;
        for (Service& service : services) {
            const std::string name = uniqueName("probe");
            service.child = &spawnProbe(name);
            service.binder = waitForBinder(name, service.child);
        }
        return services;
    }
};

TEST_F(ProcessDeathLink, RunsOnceOnARuntimeThreadWhileLinkedAndNeverForLocalOrDeadBinders) {
    const auto [kept, dropped] = spawnServices();
    ASSERT_TRUE(kept.binder.get() != nullptr && dropped.binder.get() != nullptr);
    AIBinder* const keptBinder = kept.binder.get();
    AIBinder* const droppedBinder = dropped.binder.get();

    Counter keptDeaths;
    std::promise<std::thread::id> ranOn;
    bgs::ScopedDeathLink link(keptBinder, [&] {
        keptDeaths.add();
        ranOn.set_value(std::this_thread::get_id());  // a second run would throw
    });
    ASSERT_TRUE(link) << link.status();
    std::atomic<int> droppedDeaths{0};
    {
        bgs::ScopedDeathLink gone(droppedBinder, [&] { ++droppedDeaths; });
        ASSERT_EQ(gone.status(), STATUS_OK);
        // Moved out, then destroyed: the move carries the link, the end of
        // its last owner unlinks.
        bgs::ScopedDeathLink moved(std::move(gone));
        EXPECT_FALSE(gone);
        EXPECT_TRUE(moved);
    }
    dropped.child->kill();
    kept.child->kill();
    ASSERT_TRUE(keptDeaths.waitFor(1));
    EXPECT_NE(ranOn.get_future().get(), std::this_thread::get_id());
    EXPECT_TRUE(link) << "linked until reset, also after the notice";

    // A dead binder and a local one cannot be linked; their callables never run.
    std::atomic<int> never{0};
    const bgs::ScopedDeathLink late(keptBinder, [&] { ++never; });
    EXPECT_EQ(late.status(), STATUS_DEAD_OBJECT);
    const auto local = ::ndk::SharedRefBase::makeRef<ProbeService>();
    const bgs::ScopedDeathLink own(local->asBinder().get(), [&] { ++never; });
    EXPECT_EQ(own.status(), STATUS_INVALID_OPERATION);
    EXPECT_EQ(bgs::ScopedDeathLink(nullptr, [&] { ++never; }).status(), STATUS_UNEXPECTED_NULL);

    // The unlinked service's death was noticed by the runtime (its binder is
    // dead) without running the callable.
    EXPECT_TRUE(eventually([&] { return !AIBinder_isAlive(droppedBinder); }));
    EXPECT_EQ(droppedDeaths.load(), 0);
    EXPECT_EQ(never.load(), 0);
    EXPECT_EQ(keptDeaths.value(), 1);
}

// Destroying the handle while its notice runs on a runtime thread waits for
// the notice to return; the notice may also end its own handle.
TEST_F(ProcessDeathLink, UnlinkingWaitsForARunningNoticeAndMayHappenInsideIt) {
    const auto [first, second] = spawnServices();
    ASSERT_TRUE(first.binder.get() != nullptr && second.binder.get() != nullptr);

    Counter entered;
    std::atomic<bool> returned{false};
    auto waited = std::make_unique<bgs::ScopedDeathLink>(first.binder.get(), [&] {
        entered.add();
        std::this_thread::sleep_for(Millis(200));
        returned = true;
    });
    ASSERT_TRUE(*waited);
    first.child->kill();
    ASSERT_TRUE(entered.waitFor(1));
    waited.reset();
    EXPECT_TRUE(returned.load()) << "the handle ended while its notice still ran";

    // The notice resets the handle that owns it (AddressSanitizer sees a use
    // after free if the callable is freed under itself).
    // The handle reaches its notice through an atomic: the kill that makes
    // the notice run is ordered after the handle's making only through the
    // kernel, which ThreadSanitizer does not see.
    // Nothing waits for a notice that ended its own handle, so what it
    // touches after reset() is shared with it.
    const auto selfEnded = std::make_shared<Counter>();
    std::atomic<bgs::ScopedDeathLink*> self{nullptr};
    const auto own = std::make_unique<bgs::ScopedDeathLink>(
            second.binder.get(), [&self, selfEnded, marker = std::make_shared<int>(7)] {
                self.load()->reset();
                selfEnded->add(*marker);
            });
    ASSERT_TRUE(*own);
    self.store(own.get());
    second.child->kill();
    EXPECT_TRUE(selfEnded->waitFor(7));
    EXPECT_FALSE(*own);
}

}  // namespace
}  // namespace bgs_process_test
