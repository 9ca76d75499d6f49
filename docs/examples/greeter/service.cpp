// Serves IGreeter as "example.greeter/default" until SIGTERM or SIGINT.
#include <aidl/example/greeter/BnGreeter.h>
#include <android/binder_manager.h>
#include <android/binder_process.h>

#include <csignal>
#include <cstdio>
#include <mutex>

#include <pthread.h>

using aidl::example::greeter::Greeting;
using ndk::UniqueAStatus;

class Greeter : public aidl::example::greeter::BnGreeter {
  public:
    UniqueAStatus greet(const std::string& name, const std::optional<std::string>& language,
                        Greeting* out) override {
        std::lock_guard<std::mutex> lock(mutex_);  // calls arrive on several pool threads
        const std::string hello = language == std::optional<std::string>("fr") ? "bonjour, " : "hello, ";
        *out = Greeting{hello + name, ++given_, language};
        history_.push_back(*out);
        return UniqueAStatus(AStatus_newOk());
    }
    UniqueAStatus history(int32_t count, std::vector<Greeting>* out) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (count < 0) return UniqueAStatus(AStatus_fromExceptionCode(EX_ILLEGAL_ARGUMENT));
        const size_t first = history_.size() > size_t(count) ? history_.size() - count : 0;
        out->assign(history_.begin() + first, history_.end());
        return UniqueAStatus(AStatus_newOk());
    }
    UniqueAStatus reset() override {
        std::lock_guard<std::mutex> lock(mutex_);
        history_.clear();
        return UniqueAStatus(AStatus_newOk());
    }

  private:
    std::mutex mutex_;
    int32_t given_ = 0;
    std::vector<Greeting> history_;
};

int main() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // before any thread starts

    const auto greeter = ndk::SharedRefBase::makeRef<Greeter>();
    if (AServiceManager_addService(greeter->asBinder().get(), "example.greeter/default") != EX_NONE) return 1;
    ABinderProcess_startThreadPool();
    std::puts("serving example.greeter/default");
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stop, &signal);
    AServiceManager_removeService("example.greeter/default");
    return 0;
}
