// Message tables: how the framework finds a class's handler for a click, a timer or
// the window's destruction.
//
// A table is compile-time data: a pointer to the base class's table and the class's
// own entries. Dispatch walks the object's own table first, then each base's, and calls
// the first entry that matches. Entries are made with MessageMapEntries<Owner>, which
// only accepts member functions of Owner or of a class Owner derives from, so a handler
// of the wrong class is a compile error rather than a wrong call at run time.
#pragma once

#include <cstdint>
#include <span>
#include <type_traits>

inline constexpr std::uint32_t WM_DESTROY = 0x0002;
inline constexpr std::uint32_t WM_SETICON = 0x0080;
inline constexpr std::uint32_t WM_COMMAND = 0x0111;
inline constexpr std::uint32_t WM_TIMER = 0x0113;
inline constexpr std::uint32_t CB_ADDSTRING = 0x0143;
inline constexpr std::uint32_t CB_SETCURSEL = 0x014E;

inline constexpr std::uint32_t BN_CLICKED = 0;

inline constexpr std::uint16_t IDOK = 1;
inline constexpr std::uint16_t IDCANCEL = 2;

class CCmdTarget;

struct AFX_MSGMAP_ENTRY {
    std::uint32_t message;
    std::uint32_t code;
    std::uint32_t id;
    bool anyId; // the entry takes every id (timer entries)
    void (*invoke)(CCmdTarget& target, std::uintptr_t param);
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* base;
    std::span<const AFX_MSGMAP_ENTRY> entries;
};

class CCmdTarget {
public:
    CCmdTarget() = default;
    CCmdTarget(const CCmdTarget&) = delete;
    CCmdTarget& operator=(const CCmdTarget&) = delete;
    virtual ~CCmdTarget() = default;

    virtual const AFX_MSGMAP* getMessageMap() const { return &messageMap; }

    // Calls the first matching handler of this object's table chain. `param` is what
    // the handler is passed (the timer id for WM_TIMER). Returns false when no table
    // has an entry for the message.
    bool dispatch(
        std::uint32_t message, std::uint32_t code, std::uint32_t id, std::uintptr_t param = 0);

    static const AFX_MSGMAP messageMap;
};

namespace messagemap_detail {
template <typename Member> struct HandlerClass;
template <typename Class> struct HandlerClass<void (Class::*)()> {
    using type = Class;
    static constexpr bool takesParam = false;
};
template <typename Class> struct HandlerClass<void (Class::*)(std::uintptr_t)> {
    using type = Class;
    static constexpr bool takesParam = true;
};

template <typename Owner, auto handler> void invoke(CCmdTarget& target, std::uintptr_t param)
{
    // Only reached through Owner's own table, so the target is an Owner.
    auto& owner = static_cast<Owner&>(target);
    if constexpr (HandlerClass<decltype(handler)>::takesParam)
        (owner.*handler)(param);
    else {
        (void)param;
        (owner.*handler)();
    }
}
} // namespace messagemap_detail

template <typename Owner> struct MessageMapEntries {
    template <auto handler> static consteval AFX_MSGMAP_ENTRY onClicked(std::uint16_t controlId)
    {
        check<handler, false>();
        return { WM_COMMAND, BN_CLICKED, controlId, false,
            &messagemap_detail::invoke<Owner, handler> };
    }

    // The handler is passed the timer id.
    template <auto handler> static consteval AFX_MSGMAP_ENTRY onTimer()
    {
        check<handler, true>();
        return { WM_TIMER, 0, 0, true, &messagemap_detail::invoke<Owner, handler> };
    }

    template <auto handler> static consteval AFX_MSGMAP_ENTRY onDestroy()
    {
        check<handler, false>();
        return { WM_DESTROY, 0, 0, true, &messagemap_detail::invoke<Owner, handler> };
    }

private:
    template <auto handler, bool takesParam> static consteval void check()
    {
        using Traits = messagemap_detail::HandlerClass<decltype(handler)>;
        static_assert(
            std::is_base_of_v<CCmdTarget, Owner>, "a message table belongs to a CCmdTarget");
        static_assert(std::is_base_of_v<typename Traits::type, Owner>,
            "the handler must be a member of the table's class or of one of its bases");
        static_assert(Traits::takesParam == takesParam, "wrong handler signature for this message");
    }
};
