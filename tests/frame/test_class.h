// A minimal binder class for frame tests: counts the class callbacks and lets
// a test hook into the destruction of a binder's user data.
#ifndef BGS_TESTS_FRAME_TEST_CLASS_H
#define BGS_TESTS_FRAME_TEST_CLASS_H

#include <android/binder_auto_utils.h>

#include <atomic>
#include <functional>

namespace bgs_test {

struct CountingClass {
    static inline std::atomic<int> created{0};
    static inline std::atomic<int> destroyed{0};
    static inline std::function<void()> onDestroyHook;

    static void* onCreate(void* args) {
        ++created;
        return args;
    }
    static void onDestroy(void*) {
        ++destroyed;
        if (onDestroyHook) onDestroyHook();
    }
    static binder_status_t onTransact(AIBinder*, transaction_code_t, const AParcel*, AParcel*) {
        return STATUS_OK;
    }
    static AIBinder_Class* get() {
        static AIBinder_Class* clazz =
                AIBinder_Class_define("bgs.test.Counting", onCreate, onDestroy, onTransact);
        return clazz;
    }
    static void reset() {
        created = 0;
        destroyed = 0;
        onDestroyHook = nullptr;
    }
};

// A new local binder of the counting class, owned by the returned handle.
inline ndk::SpAIBinder newCountingBinder() {
    return ndk::SpAIBinder(AIBinder_new(CountingClass::get(), nullptr));
}

}  // namespace bgs_test

#endif  // BGS_TESTS_FRAME_TEST_CLASS_H
