#include "values/HNameModifier.h"

#include <cstdio>
#include <vector>

#include "values/HContext.h"
#include "base/HExcept.h"
#include "values/HValue.h"

namespace quorvel {

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

// The row numbers of a well-formed modifier, outermost first.
std::vector<long> RowNumbers(std::string_view m) {
    std::vector<long> rows;
    for (size_t p = m.find("___"); p != std::string_view::npos; p = m.find("___", p + 3))
        rows.push_back(Group(m.substr(p)));
    return rows;
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
    throw HExcept(kErrQueryStringSyntax, "_MAX_NAME_MODIFIER_=" + detail, "");
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
    return value.Evaluate(ctx, modifier.empty() ? nullptr : &modifier);
}

int ModifierLevels(std::string_view modifier) {
    int levels = 0;
    for (size_t p = modifier.find("___"); p != std::string_view::npos; p = modifier.find("___", p + 3))
        ++levels;
    return levels;
}

void RaiseMaximum(std::string& maximum, std::string_view modifier) {
    if (modifier.empty())
        return;
    std::vector<long> high = RowNumbers(maximum);
    const std::vector<long> row = RowNumbers(modifier);
    bool raised = row.size() > high.size();
    if (raised)
        high.resize(row.size(), 0);
    for (size_t i = 0; i < row.size(); ++i) {
        if (row[i] > high[i]) {
            high[i] = row[i];
            raised = true;
        }
    }
    if (!raised)
        return;
    maximum.clear();
    for (long n : high)
        maximum += GroupOf(n);
}

std::string NameInRow(const std::string& field, int levels, std::string_view row) {
    std::string name = field;
    bool first = true;
    size_t p = row.find("___");
    for (; levels > 0; --levels) {
        long n = 1;
        if (p != std::string_view::npos) {
            n = Group(row.substr(p));
            p = row.find("___", p + 3);
        }
        first = first && n == 1;
        name += GroupOf(n);
    }
    if (first)
        name.resize(field.size());
    return name;
}

std::string RowVariable(const HContext& ctx, const std::string& name, const std::string& row) {
    if (!ctx.rowFields)
        return name;
    auto field = ctx.rowFields->find(name);
    return field == ctx.rowFields->end() ? name : NameInRow(name, field->second, row);
}

}  // namespace quorvel
