// The rules of the template checker: one walk over a document tree, in document order,
// that finds the definitions which would fail whenever the page is written, and the
// constructs that silently do something other than they seem to.
//
// The walk reads tag indexes and attribute values only. Nothing is evaluated, no SQL is
// run and no program is started: SQL texts are analysed as text, with each @reference in
// them standing for one value. Which elements exist and what they do at run time is known
// here by tag index, so the walk needs none of the element classes of the database, form
// and program subsystems. The walk reads nodes that HCheck makes of the pieces of the tree
// the template was read into; findings point at nodes, which know their file positions.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "elements/HElement.h"
#include "template/HTagTable.h"

namespace quorvel {

class HSymbolTable;

// What the walk sees of a piece of a template's tree: a tag with its element (and the nodes
// of its content), a text run, an unknown tag or an at-sign expression (kTagLookup without
// an element), with where it starts.
struct HCheckNode {
    int tag = kTagText;
    const HElement* element = nullptr;  // a tag's element, with its attributes
    const HValue* value = nullptr;      // an at-sign expression's value
    std::string text;                   // a text run; an unknown tag (name upper-cased), no < >
    int file = 0;                       // the checker's index of the file it stands in
    size_t offset = 0;                  // the byte where it starts
    size_t seq = 0;                     // its place in document order
    std::vector<std::unique_ptr<HCheckNode>> children;

    int TagIndex() const { return tag; }
    const HValue* Attribute(const std::string& name) const {
        return element ? element->Attribute(name) : nullptr;
    }
    bool HasAttribute(const std::string& name) const { return element && element->HasAttribute(name); }
    const HNameMap<HValuePtr>& Attributes() const;
    const std::vector<std::unique_ptr<HCheckNode>>& Children() const { return children; }
};

struct HCheckFinding {
    const HCheckNode* element = nullptr;  // the node in which the fault stands
    std::string attribute;              // the attribute concerned, empty for the tag itself
    std::string needle;                 // text of the tag to point at (an @reference), or empty
    bool error = false;                 // error: fails whenever written; else a warning
    std::string message;                // the system's message and the detail
};

// The names a reference may use besides the columns of enclosing result sets.
struct HCheckNames {
    const HSymbolTable* configuration = nullptr;
    // Form fields and link parameters of every checked page, what a query string may carry,
    // with the roots of the pages that send each.
    std::map<std::string, std::set<const HCheckNode*>> fields;

    bool Defines(const std::string& name) const;
    // Whether only a request defines `name` (no configuration entry or built-in variable),
    // and only fields and links of the page `root` send it: its first visit lacks it.
    bool SentOnlyBy(const std::string& name, const HCheckNode* root) const;
};

// Adds to `fields` the names of the form fields (INPUT, TEXTAREA and SELECT) under `root`
// and the parameter names of the query strings written in its attribute values.
void CollectFieldNames(const HCheckNode& root, std::set<std::string>& fields);

// What the walk must know about a tree whose reading failed.
struct HCheckDamage {
    const HCheckNode* broken = nullptr;    // the element being read when reading failed
    std::set<const HCheckNode*> unclosed;  // elements whose end was never read
};

// Walks the tree under `root` and appends its findings to `out`, in document order.
void CheckTree(const HCheckNode& root, const HCheckNames& names, const HCheckDamage& damage,
               std::vector<HCheckFinding>& out);

// The column names of a query's result as far as the text of its select list tells them:
// an alias, or the last name of a column reference (`t.price` gives `price`). Returns
// false when the list holds `*` or an item without a usable name, so that any name may be
// a column. `sql` may hold the placeholder kSqlPlaceholder for an @reference.
bool SelectColumns(std::string_view sql, std::vector<std::string>& names);

// "MESSAGE: detail" with the message of error `code`; the message alone for an empty detail.
std::string CheckMessage(int code, const std::string& detail);
// A text quoted in a finding: runs of white space as one blank, cut after 60 bytes.
std::string CheckExcerpt(std::string_view text);

// Stands for an @reference in an SQL text that is analysed without being evaluated: one
// byte that the SQL tokenizer reads as an operator, never as a keyword or parenthesis.
constexpr char kSqlPlaceholder = '\x01';

}  // namespace quorvel
