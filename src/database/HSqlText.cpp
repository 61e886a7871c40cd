#include "database/HSqlText.h"

#include <utility>

#include "database/HSqlLexer.h"
#include "base/HExcept.h"

namespace quorvel {

namespace {

HExcept SyntaxError() { return HExcept(kErrSqlSyntax); }

// ---------------------------------------------------------------------------------------
// Analysis.

class SqlParser {
public:
    explicit SqlParser(std::string_view text) : text_(text) {}

    HSqlAnalysis Analyse() {
        HSqlAnalysis analysis;
        for (;;) {
            analysis.push_back(ParseStatement());
            Token t = Next();
            if (t.kind == kSqlEnd)
                return analysis;
            if (t.kind != kSqlSemicolon)
                throw SyntaxError();  // a close parenthesis that nothing opened
        }
    }

private:
    struct Token {
        int kind;
        std::string_view span;
    };

    // Counts one level of nesting for as long as it lives.
    class Nesting {
    public:
        explicit Nesting(int& depth) : depth_(depth) {
            if (++depth_ > kMaxSqlNesting)
                throw SyntaxError();
        }
        ~Nesting() { --depth_; }
        Nesting(const Nesting&) = delete;
        Nesting& operator=(const Nesting&) = delete;

    private:
        int& depth_;
    };

    Token Next() {
        if (hasPushed_) {
            hasPushed_ = false;
            return pushed_;
        }
        Token t;
        t.kind = NextSqlToken(text_, pos_, t.span);
        return t;
    }

    void PushBack(const Token& t) {
        pushed_ = t;
        hasPushed_ = true;
    }

    static void AppendToClause(HSqlStatement& statement, std::string_view span) {
        // Text after a condition gets a clause of its own, so that it is written after the
        // condition (and kept when the condition is trimmed away).
        if (statement.back().condition)
            statement.emplace_back();
        statement.back().text.append(span);
    }

    HSqlStatement ParseStatement() {
        Nesting nesting(depth_);
        HSqlStatement statement(1);
        int parens = 0;
        for (;;) {
            Token t = Next();
            switch (t.kind) {
            case kSqlLiteral:
            case kSqlWord:
            case kSqlSelect:
            case kSqlOther:
                AppendToClause(statement, t.span);
                break;
            case kSqlOpen:
                ++parens;
                AppendToClause(statement, t.span);
                break;
            case kSqlClose:
                if (parens == 0) {
                    PushBack(t);
                    return statement;
                }
                --parens;
                AppendToClause(statement, t.span);
                break;
            case kSqlSemicolon:
                PushBack(t);
                return statement;
            case kSqlEnd:
                return statement;
            case kSqlWhere:
            case kSqlHaving:
            case kSqlStart:
            case kSqlConnect: {
                HSqlClause clause;
                clause.text.assign(t.span);
                clause.condition = ParseCondition(false);
                statement.push_back(std::move(clause));
                break;
            }
            case kSqlGroup:
            case kSqlOrder:
            case kSqlUnion:
            case kSqlMinus:
            case kSqlIntersect:
                statement.emplace_back();
                statement.back().text.assign(t.span);
                break;
            default:  // AND, OR, NOT, BETWEEN outside a condition
                throw SyntaxError();
            }
        }
    }

    // A leaf that came out of parentheses loses them, unless more text follows: then they
    // are put back, so that `(a + 1) * 2` keeps its meaning.
    static void RestoreParentheses(HSqlCondition& leaf) {
        if (leaf.text.empty() && leaf.subqueries.size() == 1)
            return;  // a lone sub-select is written in parentheses anyway
        leaf.text.insert(leaf.text.begin(), '(');
        leaf.text.push_back(')');
        for (auto& sub : leaf.subqueries)
            ++sub.offset;
    }

    // The node that receives text must be a leaf: text after a parenthesised AND, OR or NOT
    // would otherwise be lost from the rebuilt statement.
    static HSqlCondition& TextTarget(HSqlCondition* current, const HSqlCondition*& grouped) {
        if (!current->IsLeaf())
            throw SyntaxError();
        if (current == grouped) {
            RestoreParentheses(*current);
            grouped = nullptr;
        }
        return *current;
    }

    // Appends the parenthesised leaf `inner` to `leaf`: a function call, an IN list, or a
    // sub-select after IN or EXISTS.
    static void AppendGroup(HSqlCondition& leaf, HSqlCondition& inner) {
        if (inner.text.empty() && inner.subqueries.size() == 1) {
            inner.subqueries[0].offset = leaf.text.size();
            leaf.subqueries.push_back(std::move(inner.subqueries[0]));
            return;
        }
        leaf.text.push_back('(');
        std::size_t base = leaf.text.size();
        for (auto& sub : inner.subqueries) {
            sub.offset += base;
            leaf.subqueries.push_back(std::move(sub));
        }
        leaf.text += inner.text;
        leaf.text.push_back(')');
    }

    std::unique_ptr<HSqlCondition> ParseCondition(bool notMode) {
        Nesting nesting(depth_);
        auto root = std::make_unique<HSqlCondition>();
        HSqlCondition* current = root.get();
        const HSqlCondition* grouped = nullptr;
        bool between = false;
        for (;;) {
            Token t = Next();
            switch (t.kind) {
            case kSqlEnd:
                return root;
            case kSqlLiteral:
            case kSqlWord:
            case kSqlOther:
                TextTarget(current, grouped).text.append(t.span);
                break;
            case kSqlWhere:
                throw SyntaxError();
            case kSqlClose:
            case kSqlSemicolon:
            case kSqlGroup:
            case kSqlOrder:
            case kSqlHaving:
            case kSqlStart:
            case kSqlConnect:
            case kSqlUnion:
            case kSqlMinus:
            case kSqlIntersect:
                PushBack(t);
                return root;
            case kSqlSelect: {
                PushBack(t);
                HSqlCondition& leaf = TextTarget(current, grouped);
                HSqlSubquery sub{leaf.text.size(), ParseStatement()};
                leaf.subqueries.push_back(std::move(sub));
                break;
            }
            case kSqlBetween:
                between = true;
                TextTarget(current, grouped).text.append(t.span);
                break;
            case kSqlAnd:
            case kSqlOr: {
                if (t.kind == kSqlAnd && between) {
                    between = false;
                    TextTarget(current, grouped).text.append(t.span);
                    break;
                }
                if (notMode) {
                    PushBack(t);
                    return root;
                }
                auto node = std::make_unique<HSqlCondition>();
                node->kind = t.kind == kSqlAnd ? HSqlCondition::kAnd : HSqlCondition::kOr;
                node->left = std::move(root);
                node->right = std::make_unique<HSqlCondition>();
                current = node->right.get();
                root = std::move(node);
                grouped = nullptr;
                break;
            }
            case kSqlNot:
                if (current->IsEmptyLeaf()) {
                    current->kind = HSqlCondition::kNot;
                    current->left = ParseCondition(true);
                } else {
                    TextTarget(current, grouped).text.append(t.span);
                }
                break;
            case kSqlOpen:
                if (current != root.get() && current->IsEmptyLeaf() &&
                    root->right.get() == current) {
                    // The empty right operand of AND or OR: the parentheses are the operand.
                    root->right = ParseCondition(false);
                    current = root->right->IsLeaf() ? root->right.get() : root.get();
                    grouped = root->right->IsLeaf() ? current : nullptr;
                } else if (current == root.get() && current->IsEmptyLeaf()) {
                    // The condition starts with a parenthesis.
                    root = ParseCondition(false);
                    current = root.get();
                    grouped = root->IsLeaf() ? current : nullptr;
                } else {
                    HSqlCondition& leaf = TextTarget(current, grouped);
                    std::unique_ptr<HSqlCondition> inner = ParseCondition(false);
                    if (!inner->IsLeaf())
                        throw SyntaxError();
                    if (inner->IsEmptyLeaf())
                        leaf.text += "()";
                    else
                        AppendGroup(leaf, *inner);
                }
                if (Next().kind != kSqlClose)
                    throw SyntaxError();
                break;
            default:
                throw SyntaxError();
            }
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    Token pushed_{kSqlEnd, {}};
    bool hasPushed_ = false;
    int depth_ = 0;
};

// ---------------------------------------------------------------------------------------
// Rebuilding.

std::size_t CountMarkers(const HSqlStatement& statement);

// Markers of a condition and of every sub-select inside it, walked without recursion along
// the AND/OR spines.
std::size_t CountMarkers(const HSqlCondition& root) {
    std::size_t n = 0;
    std::vector<const HSqlCondition*> pending{&root};
    while (!pending.empty()) {
        const HSqlCondition* c = pending.back();
        pending.pop_back();
        n += CountSqlMarkers(c->text);
        for (const auto& sub : c->subqueries)
            n += CountMarkers(sub.statement);
        if (c->left)
            pending.push_back(c->left.get());
        if (c->right)
            pending.push_back(c->right.get());
    }
    return n;
}

std::size_t CountMarkers(const HSqlStatement& statement) {
    std::size_t n = 0;
    for (const auto& clause : statement) {
        n += CountSqlMarkers(clause.text);
        if (clause.condition)
            n += CountMarkers(*clause.condition);
    }
    return n;
}

bool HasText(const HSqlCondition& root) {
    std::vector<const HSqlCondition*> pending{&root};
    while (!pending.empty()) {
        const HSqlCondition* c = pending.back();
        pending.pop_back();
        if (!c->text.empty() || !c->subqueries.empty())
            return true;
        if (c->left)
            pending.push_back(c->left.get());
        if (c->right)
            pending.push_back(c->right.get());
    }
    return false;
}

// UPDATE and DELETE statements may not lose a condition clause as a whole.
bool IsGuardedStatement(const HSqlStatement& statement) {
    std::string_view first = statement.front().text;
    std::size_t p = SkipSqlSpace(first, 0);
    std::size_t q = p;
    while (q < first.size() && IsSqlWordByte(first[q]))
        ++q;
    std::string_view word = first.substr(p, q - p);
    return SqlWordIs(word, "UPDATE") || SqlWordIs(word, "DELETE");
}

class SqlBuilder {
public:
    SqlBuilder(const std::vector<std::string>& values, const std::vector<bool>* fixed, int& index,
               bool trim, bool backslashEscapes)
        : values_(values), fixed_(fixed), index_(index), trim_(trim), backslashEscapes_(backslashEscapes) {}

    std::string Statement(const HSqlStatement& statement, bool guarded) {
        std::string out;
        for (const auto& clause : statement) {
            std::string text;
            if (!AppendSqlSubstituted(text, clause.text, values_, index_, fixed_, backslashEscapes_))
                throw SqlEmptyValueError(clause.text);
            // A clause keyword written glued to the text before it is set apart from what
            // that text becomes: a value at its end (`t?WHERE`, also `7.`), a condition that
            // lost its parentheses (`(a = b)ORDER`), or the text before a trimmed clause
            // (`FROM t WHERE ... ORDER BY` would otherwise give `tORDER`).
            if (!out.empty() && !text.empty() && IsSqlNameByte(text.front()) &&
                (IsSqlNameByte(out.back()) || out.back() == '.'))
                out += ' ';
            if (!clause.condition) {
                out += text;
                continue;
            }
            std::string condition = Condition(*clause.condition, guarded);
            if (condition.empty()) {
                if (guarded) {
                    if (HasText(*clause.condition))
                        throw HExcept(kErrSqlParameterUndefined, std::string(), std::string());
                    throw SyntaxError();
                }
                continue;
            }
            out += text;
            // A condition that lost its parentheses must not run into its keyword.
            if (!out.empty() && IsSqlNameByte(out.back()) && IsSqlNameByte(condition.front()))
                out += ' ';
            out += condition;
        }
        return out;
    }

private:
    std::string Condition(const HSqlCondition& node, bool guarded) {
        switch (node.kind) {
        case HSqlCondition::kLeaf:
            return Leaf(node, guarded);
        case HSqlCondition::kNot: {
            std::string inner = Condition(*node.left, guarded);
            return inner.empty() ? inner : " NOT " + inner;
        }
        default:
            return Chain(node, guarded);
        }
    }

    // An AND/OR node and the AND/OR nodes down its left spine, rebuilt left to right as
    // ((a AND b) OR c); an operand that rebuilds empty takes its operator with it.
    std::string Chain(const HSqlCondition& top, bool guarded) {
        std::vector<const HSqlCondition*> spine;
        const HSqlCondition* n = &top;
        while (n->kind == HSqlCondition::kAnd || n->kind == HSqlCondition::kOr) {
            spine.push_back(n);
            n = n->left.get();
        }
        std::string base = Condition(*n, guarded);
        std::vector<std::pair<int, std::string>> rest;
        for (auto it = spine.rbegin(); it != spine.rend(); ++it) {
            std::string right = Condition(*(*it)->right, guarded);
            if (right.empty())
                continue;
            if (base.empty())
                base = std::move(right);
            else
                rest.emplace_back((*it)->kind, std::move(right));
        }
        if (rest.empty())
            return base;
        std::size_t size = rest.size() + base.size();
        for (const auto& r : rest)
            size += r.second.size() + 6;
        std::string out;
        out.reserve(size);
        out.append(rest.size(), '(');
        out += base;
        for (const auto& r : rest) {
            out += r.first == HSqlCondition::kAnd ? " AND " : " OR ";
            out += r.second;
            out += ')';
        }
        return out;
    }

    std::string Leaf(const HSqlCondition& leaf, bool guarded) {
        const int first = index_;
        std::string out;
        std::size_t from = 0;
        bool dropped = false;
        auto own = [&](std::size_t to) {
            std::string_view piece = std::string_view(leaf.text).substr(from, to - from);
            if (!AppendSqlSubstituted(out, piece, values_, index_, fixed_, backslashEscapes_)) {
                if (!trim_)
                    throw SqlEmptyValueError(piece);
                dropped = true;
            }
            from = to;
        };
        for (const auto& sub : leaf.subqueries) {
            own(sub.offset);
            if (dropped)
                break;
            out += '(';
            out += Statement(sub.statement, guarded);
            out += ')';
        }
        if (!dropped)
            own(leaf.text.size());
        if (dropped) {
            // The leaf is left out; its markers' values are used up all the same.
            index_ = first + static_cast<int>(CountMarkers(leaf));
            return std::string();
        }
        return out;
    }

    const std::vector<std::string>& values_;
    const std::vector<bool>* fixed_;
    int& index_;
    bool trim_;
    bool backslashEscapes_;
};

}  // namespace

HSqlClause::HSqlClause() = default;
HSqlClause::HSqlClause(HSqlClause&&) noexcept = default;
HSqlClause& HSqlClause::operator=(HSqlClause&&) noexcept = default;
HSqlClause::~HSqlClause() = default;

HSqlCondition::~HSqlCondition() {
    if (!left && !right)
        return;
    std::vector<std::unique_ptr<HSqlCondition>> pending;
    if (left)
        pending.push_back(std::move(left));
    if (right)
        pending.push_back(std::move(right));
    while (!pending.empty()) {
        std::unique_ptr<HSqlCondition> node = std::move(pending.back());
        pending.pop_back();
        if (node->left)
            pending.push_back(std::move(node->left));
        if (node->right)
            pending.push_back(std::move(node->right));
    }
}

HSqlAnalysis AnalyseSql(std::string_view sql) { return SqlParser(sql).Analyse(); }

std::vector<std::string> BuildStatements(const HSqlAnalysis& analysis,
                                         const std::vector<std::string>& values, int& index,
                                         bool trim, const HSqlTextValues& textValues,
                                         bool backslashEscapes) {
    std::vector<std::string> merged;
    std::vector<bool> fixed;
    if (!textValues.empty()) {
        // The text's own values at their markers, the given values in the markers between.
        std::size_t next = 0;
        for (const auto& tv : textValues) {
            while (merged.size() < static_cast<std::size_t>(tv.first)) {
                if (next == values.size())
                    throw HExcept(kErrSqlParameterCount);
                merged.push_back(values[next++]);
            }
            merged.push_back(tv.second);
        }
        merged.insert(merged.end(), values.begin() + static_cast<std::ptrdiff_t>(next), values.end());
        fixed.assign(merged.size(), false);
        for (const auto& tv : textValues)
            fixed[static_cast<std::size_t>(tv.first)] = true;
    }
    SqlBuilder builder(textValues.empty() ? values : merged, textValues.empty() ? nullptr : &fixed,
                       index, trim, backslashEscapes);
    std::vector<std::string> texts;
    texts.reserve(analysis.size());
    for (const auto& statement : analysis)
        texts.push_back(builder.Statement(statement, IsGuardedStatement(statement)));
    return texts;
}

}  // namespace quorvel
