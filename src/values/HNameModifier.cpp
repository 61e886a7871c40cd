#include "values/HNameModifier.h"

#include <cstdio>

#include "driver/HExcept.h"
#include "values/HValue.h"

namespace {

// m without its first three characters.
std::string_view Tail(std::string_view m) { return m.size() < 3 ? std::string_view() : m.substr(3); }

// The decimal number at the start of Tail(m), 0 when there is none. Saturates.
long Group(std::string_view m) {
    std::string_view t = Tail(m);
    long v = 0;
    for (char c : t) {
        if (c < '0' || c > '9')
            break;
        if (v < 100000000)
            v = v * 10 + (c - '0');
    }
    return v;
}

// The digits of the group at the start of Tail(m), as written.
std::string_view GroupText(std::string_view m) {
    std::string_view t = Tail(m);
    size_t n = 0;
    while (n < t.size() && t[n] >= '0' && t[n] <= '9')
        ++n;
    return t.substr(0, n);
}

// Tail(m) from the first `___` after its first character onward; false when none.
bool Rest(std::string_view m, std::string& out) {
    std::string_view t = Tail(m);
    if (t.size() < 2)
        return false;
    size_t p = t.find("___", 1);
    if (p == std::string_view::npos)
        return false;
    out.assign(t.substr(p));
    return true;
}

std::string GroupOf(long n) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "___%ld", n);
    return buf;
}

}  // namespace

bool IsFirstInstance(std::string_view modifier) {
    while (!modifier.empty()) {
        if (modifier.substr(0, 4) != "___1")
            return false;
        modifier.remove_prefix(4);
    }
    return true;
}

size_t ModifierSuffixLength(std::string_view name) {
    size_t end = name.size();
    for (;;) {
        size_t digits = end;
        while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9')
            --digits;
        if (digits == end || digits < 3 || name.substr(digits - 3, 3) != "___")
            return name.size() - end;
        end = digits - 3;
    }
}

void CheckModifierBounds(const std::string& maximum) {
    std::string level = maximum, inner;
    long count = 1;
    for (int levels = 1;; ++levels) {
        long rows = Group(level);
        if (levels > kMaxModifierLevels || rows > kMaxModifierRowsPerLevel)
            break;
        count *= rows > 1 ? rows : 1;
        if (count > kMaxModifierCount)
            break;
        if (!Rest(level, inner))
            return;
        level.swap(inner);
    }
    constexpr size_t kShown = 64;
    std::string detail = maximum.size() > kShown ? maximum.substr(0, kShown) + "..." : maximum;
    throw HExcept(38, "_MAX_NAME_MODIFIER_=" + detail, "", 1);
}

bool NextModifier(std::string& current, const std::string& maximum) {
    std::string innerMax;
    bool hasInner = Rest(maximum, innerMax);
    if (current.empty()) {
        if (hasInner) {
            NextModifier(current, innerMax);
            current = "___1" + current;
        } else {
            current = "___1";
        }
        return true;
    }
    long c = Group(current);
    long m = Group(maximum);
    if (hasInner) {
        std::string inner;
        Rest(current, inner);
        if (NextModifier(inner, innerMax)) {
            current = "___" + std::string(GroupText(current)) + inner;
            return true;
        }
        if (m > c) {
            current = GroupOf(c + 1) + inner;
            return true;
        }
        current = "___1" + inner;
        return false;
    }
    if (m > c) {
        current = GroupOf(c + 1);
        return true;
    }
    current = "___1";
    return false;
}

std::string EvaluateWithModifier(HContext& ctx, const HValue& value, std::string modifier) {
    try {
        return value.Evaluate(ctx, modifier.empty() ? nullptr : &modifier);
    } catch (const HExcept&) {
        size_t p = modifier.rfind("___");
        if (p == std::string::npos)
            throw;
        modifier.resize(p);
    }
    return value.Evaluate(ctx, modifier.empty() ? nullptr : &modifier);
}
