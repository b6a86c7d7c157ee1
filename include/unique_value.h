// One owner for every kind of system resource, on either platform: a
// move-only RAII wrapper whose policy says what "empty" is and how a value
// is released, so that what is acquired is released on every path.
#pragma once
#include <utility>

template <typename Policy>
class UniqueValue {
public:
    using value_type = typename Policy::value_type;

    UniqueValue() noexcept : m_value(Policy::Empty()) {}
    explicit UniqueValue(value_type value) noexcept : m_value(value) {}
    ~UniqueValue() { reset(); }

    UniqueValue(UniqueValue&& other) noexcept : m_value(other.release()) {}
    UniqueValue& operator=(UniqueValue&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueValue(const UniqueValue&) = delete;
    UniqueValue& operator=(const UniqueValue&) = delete;

    bool valid() const noexcept { return Policy::IsValid(m_value); }
    explicit operator bool() const noexcept { return valid(); }
    value_type get() const noexcept { return m_value; }

    // Releases what is held and takes `value`; false when the release failed
    // (callers that must know, like an unmap before a truncation or a close
    // that reports a lost write, look).
    bool reset(value_type value = Policy::Empty()) noexcept {
        bool ok = true;
        if (valid()) ok = Policy::Close(m_value);
        m_value = value;
        return ok;
    }
    value_type release() noexcept { return std::exchange(m_value, Policy::Empty()); }
    // For out-parameters of the system call that creates the value.
    value_type* put() noexcept {
        reset();
        return &m_value;
    }

private:
    value_type m_value;
};

// The common case: null is the failure value, and `Release` frees a value
// and says whether that worked.
template <typename T, bool (*Release)(T) noexcept>
struct NullEmptyPolicy {
    using value_type = T;
    static T Empty() noexcept { return nullptr; }
    static bool IsValid(T value) noexcept { return value != nullptr; }
    static bool Close(T value) noexcept { return Release(value); }
};
