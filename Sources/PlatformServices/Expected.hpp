#pragma once

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace plenwick {

namespace expected_detail {

// A value asked of an error, or an error of a value, is a fault in the caller, not a failure to
// carry: a build with assertions stops at it and names the call. An optimised build skips the
// test; the accessors' own std::get and std::optional::value then throw, so nothing is read that
// is not there.
inline void requireHeld(bool held, const char* message) {
#ifdef NDEBUG
    static_cast<void>(held);
    static_cast<void>(message);
#else
    if (!held) {
        std::fprintf(stderr, "%s\n", message);
        std::abort();
    }
#endif
}

inline constexpr const char valueOfError[] = "Expected::value() called on an error";
inline constexpr const char errorOfValue[] = "Expected::error() called on a value";

// What PLENWICK_TRY leaves in place of a tried Expected: its value, or nothing for a success
// with nothing to hand back.
template <typename Tried>
decltype(auto) takeValue(Tried& tried) {
    if constexpr (std::is_void_v<decltype(tried.value())>)
        return tried.value();
    else
        return std::move(tried.value());
}

} // namespace expected_detail

// A value or the error that stood in its way; the failures the design makes values travel in it,
// and so does every fallible call to the system.
template <typename T, typename E>
class [[nodiscard]] Expected {
public:
    Expected(T value) : m_storage(std::in_place_index<0>, std::move(value)) {}
    Expected(E error) : m_storage(std::in_place_index<1>, std::move(error)) {}

    bool hasValue() const { return m_storage.index() == 0; }
    explicit operator bool() const { return hasValue(); }

    T& value() {
        expected_detail::requireHeld(hasValue(), expected_detail::valueOfError);
        return std::get<0>(m_storage);
    }
    const T& value() const {
        expected_detail::requireHeld(hasValue(), expected_detail::valueOfError);
        return std::get<0>(m_storage);
    }
    E& error() {
        expected_detail::requireHeld(!hasValue(), expected_detail::errorOfValue);
        return std::get<1>(m_storage);
    }
    const E& error() const {
        expected_detail::requireHeld(!hasValue(), expected_detail::errorOfValue);
        return std::get<1>(m_storage);
    }
    // The value, or `fallback` in place of the error.
    T valueOr(T fallback) const { return hasValue() ? value() : std::move(fallback); }

private:
    std::variant<T, E> m_storage;
};

// Success with nothing to hand back, or the error.
template <typename E>
class [[nodiscard]] Expected<void, E> {
public:
    Expected() = default;
    Expected(E error) : m_error(std::move(error)) {}

    bool hasValue() const { return !m_error.has_value(); }
    explicit operator bool() const { return hasValue(); }

    // Nothing to give; asked of an error, the same fault as value() of any other Expected.
    void value() const {
        expected_detail::requireHeld(hasValue(), expected_detail::valueOfError);
        if (!hasValue())
            throw std::bad_optional_access();
    }

    E& error() {
        expected_detail::requireHeld(!hasValue(), expected_detail::errorOfValue);
        return m_error.value();
    }
    const E& error() const {
        expected_detail::requireHeld(!hasValue(), expected_detail::errorOfValue);
        return m_error.value();
    }

private:
    std::optional<E> m_error;
};

} // namespace plenwick

// The value of `expression`, an Expected, or a return of its error from the function it stands
// in: one line in place of the test and the return. An Expected<void, E> leaves nothing. A GNU
// statement expression, which GCC and Clang both take.
#define PLENWICK_TRY(expression)                                                                   \
    ({                                                                                             \
        auto plenwickTried = (expression);                                                         \
        if (!plenwickTried)                                                                        \
            return std::move(plenwickTried.error());                                               \
        plenwick::expected_detail::takeValue(plenwickTried);                                       \
    })
