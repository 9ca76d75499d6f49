// Multi-threaded stress of reference counts, promotion, class definition and
// transactions (bounded iterations; meant to run under ThreadSanitizer too).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "runtime_test_support.h"

namespace {

using bgs_test::FakeObject;
using bgs_test::fakeClass;

constexpr int kThreads = 4;

template <typename Body>
void runOnThreads(Body body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(body, t);
    for (std::thread& thread : threads) thread.join();
}

TEST(RuntimeConcurrency, StrongWeakAndParcelReferencesBalanceAcrossThreads) {
    FakeObject object;
    AIBinder* binder = AIBinder_new(fakeClass(), &object);
    runOnThreads([binder](int) {
        for (int i = 0; i < 2000; ++i) {
            AIBinder_incStrong(binder);
            AIBinder_Weak* weak = AIBinder_Weak_new(binder);
            AIBinder* promoted = AIBinder_Weak_promote(weak);
            AParcel* parcel = AParcel_create();
            AParcel_writeStrongBinder(parcel, promoted);
            AParcel_delete(parcel);
            AIBinder_decStrong(promoted);
            AIBinder_Weak_delete(weak);
            AIBinder_decStrong(binder);
        }
    });
    EXPECT_EQ(AIBinder_debugGetRefCount(binder), 1);
    EXPECT_EQ(object.destroyed, 0);
    AIBinder_decStrong(binder);
    EXPECT_EQ(object.destroyed, 1);
}

TEST(RuntimeConcurrency, PromoteRacingTheLastReleaseNeverRevivesTheObject) {
    constexpr int kRounds = 300;
    for (int round = 0; round < kRounds; ++round) {
        FakeObject object;
        AIBinder* binder = AIBinder_new(fakeClass(), &object);
        std::vector<AIBinder_Weak*> weaks;
        for (int t = 0; t < kThreads; ++t) weaks.push_back(AIBinder_Weak_new(binder));
        std::atomic<int> ready{0};
        runOnThreads([&](int t) {
            ready++;  // start together, so that the release lands among the promotions
            while (ready.load() < kThreads) std::this_thread::yield();
            if (t == 0) {
                AIBinder_decStrong(binder);
                return;
            }
            // Once a promotion fails, no later one may succeed.
            bool failedOnce = false;
            for (int i = 0; i < 50; ++i) {
                AIBinder* promoted = AIBinder_Weak_promote(weaks[t]);
                if (promoted != nullptr) {
                    EXPECT_FALSE(failedOnce);
                    EXPECT_EQ(object.destroyed.load(), 0);
                    AIBinder_decStrong(promoted);
                } else {
                    failedOnce = true;
                }
            }
        });
        for (AIBinder_Weak* weak : weaks) {
            EXPECT_EQ(AIBinder_Weak_promote(weak), nullptr);
            AIBinder_Weak_delete(weak);
        }
        ASSERT_EQ(object.destroyed, 1) << "round " << round;
    }
}

TEST(RuntimeConcurrency, ConcurrentTransactionsOnOneBinder) {
    FakeObject object;
    object.onTransact = [](AIBinder*, transaction_code_t code, const AParcel* in, AParcel* out) {
        int32_t value = 0;
        binder_status_t status = AParcel_readInt32(in, &value);
        return status == STATUS_OK ? AParcel_writeInt32(out, value + static_cast<int32_t>(code)) : status;
    };
    AIBinder* binder = AIBinder_new(fakeClass(), &object);
    std::atomic<int> wrong{0};
    runOnThreads([&](int t) {
        for (int32_t i = 0; i < 1000; ++i) {
            AParcel* in = nullptr;
            AParcel* out = nullptr;
            int32_t result = 0;
            if (AIBinder_prepareTransaction(binder, &in) != STATUS_OK || AParcel_writeInt32(in, i) != STATUS_OK ||
                AIBinder_transact(binder, static_cast<transaction_code_t>(t + 1), &in, &out, 0) != STATUS_OK ||
                AParcel_readInt32(out, &result) != STATUS_OK || result != i + t + 1) {
                wrong++;
            }
            AParcel_delete(out);
        }
    });
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(object.transactions, kThreads * 1000);
    AIBinder_decStrong(binder);
}

binder_status_t serveNothing(AIBinder*, transaction_code_t, const AParcel*, AParcel*) { return STATUS_OK; }
binder_status_t dumpNothing(AIBinder*, int, const char**, uint32_t) { return STATUS_OK; }

TEST(RuntimeConcurrency, ClassesDefinedAndConfiguredWhileInUse) {
    AIBinder_Class* shared = AIBinder_Class_define("bgs.test.IShared", nullptr, nullptr, serveNothing);
    AIBinder* binder = AIBinder_new(shared, nullptr);
    std::atomic<int> wrong{0};
    runOnThreads([&](int t) {
        const std::string name = "name" + std::to_string(t);
        const char* names[] = {name.c_str()};
        for (int i = 0; i < 200; ++i) {
            const std::string descriptor = "bgs.test.I" + std::to_string(t) + "_" + std::to_string(i);
            AIBinder_Class* clazz = AIBinder_Class_define(descriptor.c_str(), nullptr, nullptr, serveNothing);
            if (clazz == nullptr || descriptor != AIBinder_Class_getDescriptor(clazz)) wrong++;
            AIBinder_Class_setTransactionCodeToFunctionNameMap(shared, names, 1);
            AIBinder_Class_setOnDump(shared, dumpNothing);
            const char* seen = AIBinder_Class_getFunctionName(shared, 1);
            if (seen == nullptr || std::string(seen).rfind("name", 0) != 0) wrong++;
            if (AIBinder_dump(binder, 1, nullptr, 0) != STATUS_OK) wrong++;
        }
    });
    EXPECT_EQ(wrong, 0);
    AIBinder_decStrong(binder);
}

}  // namespace
