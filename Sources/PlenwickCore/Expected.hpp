#pragma once

#include <utility>
#include <variant>

namespace plenwick {

// A value or the error that stood in its way; the failures the design makes values travel in it.
template <typename T, typename E>
class Expected {
public:
    Expected(T value) : m_storage(std::in_place_index<0>, std::move(value)) {}
    Expected(E error) : m_storage(std::in_place_index<1>, std::move(error)) {}

    bool hasValue() const { return m_storage.index() == 0; }
    explicit operator bool() const { return hasValue(); }

    T& value() { return std::get<0>(m_storage); }
    const T& value() const { return std::get<0>(m_storage); }
    E& error() { return std::get<1>(m_storage); }
    const E& error() const { return std::get<1>(m_storage); }

private:
    std::variant<T, E> m_storage;
};

} // namespace plenwick
