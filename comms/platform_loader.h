// The one place that loads platform libraries: lib<kind>_<impl>.so in the
// folder of libvexlink06.so itself, never through the loader's search path;
// impl is VEXLINK06_PLATFORM, `sim` (when unset) or `linux`. With `sim` the
// simulator itself (libfanscope_sim.so, same folder) serves its inspection
// entries. Each C ABI is a table of exported names bound at its first use.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <tuple>
#include <utility>

namespace vexlink06::platform {

// libvxport_*, libvxmb_*, libvxi2c_*, and the simulator's inspection entries.
enum class Kind { Port, Motherboard, I2cAdapter, Simulator };

// The implementation VEXLINK06_PLATFORM names ("sim" when unset or empty),
// or "" for a name the library does not know.
std::string implementation();

// Whether the simulated board serves: the platform is `sim`.
bool simulated();

// The address of `name` in that library. Throws ComError(48, "Error in
// loading DLL") when the platform name is unknown or the library or the
// symbol is missing; the next call tries again.
void* resolve(Kind kind, const char* name);

// The same without the error: null when anything is missing. For optional
// entries, which older libraries do not export.
void* resolveOptional(Kind kind, const char* name) noexcept;

// One C ABI of one library: its entry points' types, in the order of
// `names`. Bound all at once at the first use; call get<I>() after bind().
template <Kind K, class... Fn> class Abi {
public:
    static constexpr std::size_t kSize = sizeof...(Fn);

    explicit constexpr Abi(std::array<const char*, kSize> names) : m_names(names) { }

    bool bound() const noexcept { return m_bound; }

    // Every entry, or error 48 with nothing bound (the next use tries again).
    void bind()
    {
        if (!m_bound)
            bindAll(std::index_sequence_for<Fn...>{}, [](const char* name) { return resolve(K, name); });
    }

    // Every entry, or false with nothing bound when any one is missing.
    bool tryBind() noexcept
    {
        if (!m_bound)
            bindAll(std::index_sequence_for<Fn...>{},
                    [](const char* name) noexcept { return resolveOptional(K, name); });
        return m_bound;
    }

    template <std::size_t I> auto get() const noexcept { return std::get<I>(m_entries); }

private:
    template <std::size_t... I, class Lookup> void bindAll(std::index_sequence<I...>, Lookup lookup)
    {
        std::array<void*, kSize> found{};
        for (std::size_t i = 0; i < kSize; ++i) {
            found[i] = lookup(m_names[i]);
            if (found[i] == nullptr)
                return;
        }
        ((std::get<I>(m_entries) = reinterpret_cast<Fn*>(found[I])), ...);
        m_bound = true;
    }

    std::array<const char*, kSize> m_names;
    std::tuple<Fn*...> m_entries{};
    bool m_bound = false;
};

}  // namespace vexlink06::platform
