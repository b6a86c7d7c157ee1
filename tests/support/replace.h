// Tests reach the paths the machine does not give them by replacing a system
// function where the program calls it through a slot: a bound function
// (dyn_<name>; the run's ApiTable slots are plain members a test sets on its
// own run). The original goes back when the scope ends, whatever the test's
// assertions did.
#pragma once
#include <type_traits>

#include "ps/win32/dynamic_dll.h"

namespace testsupport {

// One bound function replaced for the scope. It is resolved first, so that
// original() is the system's function (or its fallback) and a replacement
// that calls it does not rebind the slot under the test.
template <typename Pointer>
class ScopedBinding {
public:
    ScopedBinding(dynamic_function<Pointer>& function, std::type_identity_t<Pointer> replacement)
        : m_function(function), m_saved(function.slot) {
        m_original = reinterpret_cast<Pointer>(function.dll->resolve_function(
            function.name, reinterpret_cast<void**>(&function.slot), function.fallback));
        function.slot = replacement;
    }
    ~ScopedBinding() { m_function.slot = m_saved; }
    ScopedBinding(const ScopedBinding&) = delete;
    ScopedBinding& operator=(const ScopedBinding&) = delete;

    Pointer original() const { return m_original; }

private:
    dynamic_function<Pointer>& m_function;
    Pointer m_saved;
    Pointer m_original = nullptr;
};

}  // namespace testsupport
