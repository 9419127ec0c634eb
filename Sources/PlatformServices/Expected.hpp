#pragma once

#include <optional>
#include <utility>
#include <variant>

namespace plenwick {

// A value or the error that stood in its way; the failures the design makes values travel in it,
// and so does every fallible call to the system.
template <typename T, typename E>
class [[nodiscard]] Expected {
public:
    Expected(T value) : m_storage(std::in_place_index<0>, std::move(value)) {}
    Expected(E error) : m_storage(std::in_place_index<1>, std::move(error)) {}

    bool hasValue() const { return m_storage.index() == 0; }
    explicit operator bool() const { return hasValue(); }

    T& value() { return std::get<0>(m_storage); }
    const T& value() const { return std::get<0>(m_storage); }
    E& error() { return std::get<1>(m_storage); }
    const E& error() const { return std::get<1>(m_storage); }
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

    E& error() { return *m_error; }
    const E& error() const { return *m_error; }

private:
    std::optional<E> m_error;
};

} // namespace plenwick
