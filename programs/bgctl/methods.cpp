#include "methods.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>

namespace bgctl {

namespace {

using ::aidl::vendor::tolvek::hardware::aidlbgservice::IEventCallback;
using ::ndk::UniqueAStatus;

// A decimal integer that fits T: an optional sign and digits, nothing else.
template <typename T>
bool parseInteger(const std::string& text, const char* typeName, T* value, std::string* error) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (begin != end && *begin == '+' && end - begin > 1 && std::isdigit(static_cast<unsigned char>(begin[1]))) {
        ++begin;
    }
    const auto [stop, problem] = std::from_chars(begin, end, *value);
    if (problem == std::errc::result_out_of_range && stop == end) {
        *error = "'" + text + "' is out of range for " + typeName + " (" +
                 std::to_string(std::numeric_limits<T>::min()) + " to " +
                 std::to_string(std::numeric_limits<T>::max()) + ")";
        return false;
    }
    if (problem != std::errc() || stop != end) {
        *error = "'" + text + "' is not an " + typeName + " (a decimal integer)";
        return false;
    }
    return true;
}

// How one parameter type is named and read from the command line.
template <typename T>
struct Arg;

template <>
struct Arg<int32_t> {
    static constexpr const char* kType = "int32";
    static bool parse(const std::string& text, int32_t* value, std::string* error) {
        return parseInteger(text, kType, value, error);
    }
};

template <>
struct Arg<int64_t> {
    static constexpr const char* kType = "int64";
    static bool parse(const std::string& text, int64_t* value, std::string* error) {
        return parseInteger(text, kType, value, error);
    }
};

template <>
struct Arg<std::string> {
    static constexpr const char* kType = "string";
    static bool parse(const std::string& text, std::string* value, std::string* /*error*/) {
        *value = text;
        return true;
    }
};

// A callback given on the command line could only be an object of this
// process, which ends right after the call: the service would keep a
// reference to a dead callback. So `call` takes only null here (which
// unregisters), and `bgctl listen` registers a live one.
template <>
struct Arg<std::shared_ptr<IEventCallback>> {
    static constexpr const char* kType = "callback";
    static bool parse(const std::string& text, std::shared_ptr<IEventCallback>* value, std::string* error) {
        if (text != "null") {
            *error = "a callback argument takes only 'null' (unregister); 'bgctl listen' registers one";
            return false;
        }
        value->reset();
        return true;
    }
};

// "imageName" -> "IMAGE_NAME", as parameters are shown in help and errors.
std::string upper(const std::string& name) {
    std::string text;
    for (char c : name) {
        if (std::isupper(static_cast<unsigned char>(c)) && !text.empty()) {
            text += '_';
        }
        text += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

// The last of a parameter pack, void for an empty one.
template <typename... P>
struct Last {
    using type = void;
};
template <typename First, typename... Rest>
struct Last<First, Rest...> {
    using type = std::tuple_element_t<sizeof...(Rest), std::tuple<First, Rest...>>;
};

// The parts of a method's parameter list: Inputs, the arguments (decayed to
// values), and Result, what the trailing pointer parameter points to (void
// when there is none).
template <typename... P>
struct Signature {
    using All = std::tuple<std::decay_t<P>...>;
    using LastParam = typename Last<std::decay_t<P>...>::type;
    static constexpr bool kHasResult = std::is_pointer_v<LastParam>;
    static constexpr size_t kInputs = kHasResult ? sizeof...(P) - 1 : sizeof...(P);
    using Result = std::conditional_t<kHasResult, std::remove_pointer_t<LastParam>, void>;

    template <size_t... I>
    static std::tuple<std::tuple_element_t<I, All>...> inputs(std::index_sequence<I...>);
    using Inputs = decltype(inputs(std::make_index_sequence<kInputs>()));
};

template <typename Sig, typename... P, size_t... I>
Method makeMethod(const char* name, UniqueAStatus (IBGService::*function)(P...),
                  std::vector<const char*> names, const char* summary, std::index_sequence<I...>) {
    using Inputs = typename Sig::Inputs;
    using Result = typename Sig::Result;
    Method method;
    method.name = name;
    method.summary = summary;
    method.params = {Param{names[I], Arg<std::tuple_element_t<I, Inputs>>::kType}...};
    if constexpr (!std::is_void_v<Result>) {
        method.resultType = Arg<Result>::kType;
    }
    method.bind = [function, names](const std::vector<std::string>& texts, std::string* error) -> BoundCall {
        Inputs values;
        [[maybe_unused]] const auto parseOne = [&](auto index) {
            constexpr size_t i = decltype(index)::value;
            if (Arg<std::tuple_element_t<i, Inputs>>::parse(texts[i], &std::get<i>(values), error)) {
                return true;
            }
            *error = upper(names[i]) + ": " + *error;
            return false;
        };
        if (!(... && parseOne(std::integral_constant<size_t, I>()))) {
            return {};
        }
        return [function, values](IBGService& service) {
            Outcome outcome;
            if constexpr (std::is_void_v<Result>) {
                outcome.status = (service.*function)(std::get<I>(values)...);
            } else {
                Result result{};
                outcome.status = (service.*function)(std::get<I>(values)..., &result);
                if (outcome.status.isOk()) {
                    outcome.result = show(result);
                }
            }
            return outcome;
        };
    };
    return method;
}

// One table entry from a pointer to member and the names of its arguments.
template <typename... P>
Method method(const char* name, UniqueAStatus (IBGService::*function)(P...), std::vector<const char*> names,
              const char* summary) {
    using Sig = Signature<P...>;
    if (names.size() != Sig::kInputs) {
        // A table entry that names its arguments wrongly is a bug of bgctl itself.
        std::fprintf(stderr, "bgctl: the method table names %zu arguments of %s, which takes %zu\n", names.size(),
                     name, Sig::kInputs);
        std::abort();
    }
    return makeMethod<Sig>(name, function, std::move(names), summary, std::make_index_sequence<Sig::kInputs>());
}

}  // namespace

bool parseInt32(const std::string& text, int32_t* value, std::string* error) {
    return Arg<int32_t>::parse(text, value, error);
}

std::string Method::synopsis() const {
    std::string text = name;
    for (const Param& param : params) {
        text += " " + upper(param.name) + ":" + param.type;
    }
    return text;
}

const std::vector<Method>& methods() {
    static const std::vector<Method> table = {
            method("setCapabilities", &IBGService::setCapabilities, {"capabilities"},
                   "what the client supports, e.g. hdr,night,burst"),
            method("setEventCallback", &IBGService::setEventCallback, {"value", "callback"},
                   "null unregisters the event callback; returns 0 (bgctl listen registers one)"),
            method("setTimestamps", &IBGService::setTimestamps, {"value", "timestamp"},
                   "the capture time of request VALUE"),
            method("setRequstCompleted", &IBGService::setRequstCompleted, {"value"},
                   "request VALUE is done: events go to the event callback"),
            method("setGalleryEventCallback", &IBGService::setGalleryEventCallback, {"value", "callback"},
                   "null unregisters the gallery callback; returns 0 (bgctl listen --gallery registers one)"),
            method("getGalleryAvailability", &IBGService::getGalleryAvailability, {"value"},
                   "snapshots saved in gallery VALUE"),
            method("getStorageLoadCompletedStatus", &IBGService::getStorageLoadCompletedStatus, {"value"},
                   "1 once storage VALUE is ready, else 0"),
            method("setRequstCompletedImageName", &IBGService::setRequstCompletedImageName, {"imageName"},
                   "saves a completed request's image to the gallery"),
            method("getInterfaceVersion", &IBGService::getInterfaceVersion, {}, "the service's interface version"),
            method("getInterfaceHash", &IBGService::getInterfaceHash, {}, "the service's interface hash"),
    };
    return table;
}

const Method* findMethod(const std::string& name) {
    for (const Method& entry : methods()) {
        if (entry.name == name) {
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace bgctl
