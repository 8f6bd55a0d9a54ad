// A value or an error, for failures that travel up to the Python boundary as
// values. Expected<void, E> is the outcome of a step that yields nothing.
#pragma once
#include <concepts>
#include <optional>
#include <utility>
#include <variant>

namespace porosa {

template <class E>
struct Unexpected {
    E error;
};
template <class E>
Unexpected(E) -> Unexpected<E>;

// Never dropped unread: an outcome that nobody looks at is a failure lost.
template <class T, class E>
class [[nodiscard]] Expected {
public:
    Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Expected(Unexpected<E> e) : v_(std::in_place_index<1>, std::move(e.error)) {}
    // An error of a lower layer passes up as this layer's error.
    template <class G>
        requires std::constructible_from<E, G&&>
    Expected(Unexpected<G> e) : v_(std::in_place_index<1>, E(std::move(e.error))) {}

    explicit operator bool() const noexcept { return v_.index() == 0; }
    bool has_value() const noexcept { return v_.index() == 0; }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T& operator*() & { return value(); }
    T* operator->() { return &std::get<0>(v_); }
    E& error() & { return std::get<1>(v_); }
    const E& error() const& { return std::get<1>(v_); }
    E&& error() && { return std::get<1>(std::move(v_)); }
    // The error, to pass up as an outcome of any other type.
    Unexpected<E> pass() && { return {std::get<1>(std::move(v_))}; }

private:
    std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Expected<void, E> {
public:
    Expected() = default;  // success
    Expected(Unexpected<E> e) : error_(std::move(e.error)) {}
    template <class G>
        requires std::constructible_from<E, G&&>
    Expected(Unexpected<G> e) : error_(E(std::move(e.error))) {}

    explicit operator bool() const noexcept { return !error_; }
    bool has_value() const noexcept { return !error_; }
    E& error() & { return *error_; }
    const E& error() const& { return *error_; }
    E&& error() && { return *std::move(error_); }
    Unexpected<E> pass() && { return {*std::move(error_)}; }

private:
    std::optional<E> error_;
};

}  // namespace porosa

// Propagation in the manner of ASSIGN_OR_RETURN: a failed outcome returns its
// error from the enclosing function, which itself returns an Expected.
#define POROSA_CAT_(a, b) a##b
#define POROSA_CAT(a, b) POROSA_CAT_(a, b)
#define POROSA_TRY_ASSIGN_(tmp, lhs, ...)    \
    auto tmp = (__VA_ARGS__);               \
    if (!tmp) return std::move(tmp).pass(); \
    lhs = std::move(tmp).value()

// ASSIGN_OR_RETURN(Type name, expr): declares (or assigns) the value; several
// statements, so never the unbraced body of an if.
#define ASSIGN_OR_RETURN(lhs, ...) POROSA_TRY_ASSIGN_(POROSA_CAT(porosa_try_, __LINE__), lhs, __VA_ARGS__)
// RETURN_IF_ERROR(expr): for outcomes whose value, if any, is not needed.
#define RETURN_IF_ERROR(...)                                                    \
    do {                                                                        \
        if (auto porosa_r_ = (__VA_ARGS__); !porosa_r_) return std::move(porosa_r_).pass(); \
    } while (0)
