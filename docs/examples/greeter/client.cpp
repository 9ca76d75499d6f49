// Greets each argument through the service, then prints the history.
#include <aidl/example/greeter/IGreeter.h>
#include <android/binder_manager.h>

#include <cstdio>

using aidl::example::greeter::Greeting;
using aidl::example::greeter::IGreeter;

int main(int argc, char** argv) {
    // Waits up to 5 s for the name to be served.
    const std::shared_ptr<IGreeter> greeter = IGreeter::fromBinder(
            ndk::SpAIBinder(AServiceManager_waitForServiceTimeout("example.greeter/default", 5000)));
    if (greeter == nullptr) {
        std::fprintf(stderr, "no greeter is served\n");
        return 3;
    }
    for (int i = 1; i < argc; ++i) {
        Greeting greeting;
        const ndk::UniqueAStatus status = greeter->greet(argv[i], std::nullopt, &greeting);
        if (!status.isOk()) {
            std::fprintf(stderr, "greet: %s\n", status.getDescription().c_str());
            return 1;
        }
        std::printf("%s\n", greeting.text.c_str());
    }
    std::vector<Greeting> history;
    if (!greeter->history(10, &history).isOk()) return 1;
    for (const Greeting& greeting : history) std::printf("%s\n", greeting.toString().c_str());
    return 0;
}
