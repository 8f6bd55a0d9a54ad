// A value or an error, for failures that travel up to the Python boundary as values.
#pragma once
#include <utility>
#include <variant>

namespace porosa {

template <class E>
struct Unexpected {
    E error;
};
template <class E>
Unexpected(E) -> Unexpected<E>;

template <class T, class E>
class Expected {
public:
    Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Expected(Unexpected<E> e) : v_(std::in_place_index<1>, std::move(e.error)) {}

    explicit operator bool() const noexcept { return v_.index() == 0; }
    bool has_value() const noexcept { return v_.index() == 0; }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T& operator*() & { return value(); }
    T* operator->() { return &std::get<0>(v_); }
    E& error() & { return std::get<1>(v_); }
    E&& error() && { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, E> v_;
};

}  // namespace porosa
