#include "e2e/FormBrowser.h"

#include <cctype>

namespace {

std::string Upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The attributes of the tag whose name ends at `pos` (up to the closing '>'), in the
// forgiving way browsers read them. `pos` is left after the '>'.
std::map<std::string, std::string> ReadTagAttributes(const std::string& page, size_t& pos) {
    std::map<std::string, std::string> attrs;
    auto blank = [&](size_t i) { return i < page.size() && std::isspace(static_cast<unsigned char>(page[i])); };
    while (pos < page.size()) {
        while (blank(pos))
            ++pos;
        if (pos >= page.size() || page[pos] == '>')
            break;
        size_t start = pos;
        while (pos < page.size() && !blank(pos) && page[pos] != '=' && page[pos] != '>')
            ++pos;
        std::string name = Upper(page.substr(start, pos - start));
        std::string value;
        if (pos < page.size() && page[pos] == '=') {
            ++pos;
            if (pos < page.size() && (page[pos] == '"' || page[pos] == '\'')) {
                char quote = page[pos++];
                size_t end = page.find(quote, pos);
                value = page.substr(pos, end - pos);
                pos = end == std::string::npos ? page.size() : end + 1;
            } else {
                start = pos;
                while (pos < page.size() && !blank(pos) && page[pos] != '>')
                    ++pos;
                value = page.substr(start, pos - start);
            }
        }
        attrs[name] = value;
    }
    if (pos < page.size())
        ++pos;
    return attrs;
}

// Position of the next tag named `name` (case ignored) at or after `from`, just after its
// name; npos when there is none before `limit`.
size_t FindTag(const std::string& page, const std::string& name, size_t from, size_t limit) {
    std::string upper = Upper(page);
    for (size_t p = upper.find("<" + name, from); p != std::string::npos && p < limit;
         p = upper.find("<" + name, p + 1)) {
        size_t after = p + 1 + name.size();
        if (after < page.size() && (std::isspace(static_cast<unsigned char>(page[after])) || page[after] == '>'))
            return after;
    }
    return std::string::npos;
}

}  // namespace

const FormField* PageForm::Field(const std::string& name) const {
    for (const auto& f : fields)
        if (f.name == name)
            return &f;
    return nullptr;
}

std::vector<std::string> PageForm::Names() const {
    std::vector<std::string> names;
    for (const auto& f : fields)
        names.push_back(f.name);
    return names;
}

std::vector<PageForm> ReadForms(const std::string& page) {
    std::vector<PageForm> forms;
    std::string upper = Upper(page);
    size_t pos = 0;
    while ((pos = FindTag(page, "FORM", pos, page.size())) != std::string::npos) {
        PageForm form;
        form.attributes = ReadTagAttributes(page, pos);
        size_t end = upper.find("</FORM>", pos);
        if (end == std::string::npos)
            end = page.size();
        // Fields in document order: the next INPUT or TEXTAREA, whichever comes first.
        size_t p = pos;
        for (;;) {
            size_t in = FindTag(page, "INPUT", p, end);
            size_t area = FindTag(page, "TEXTAREA", p, end);
            if (in == std::string::npos && area == std::string::npos)
                break;
            FormField field;
            if (area == std::string::npos || (in != std::string::npos && in < area)) {
                p = in;
                auto a = ReadTagAttributes(page, p);
                field.name = a["NAME"];
                field.type = a.count("TYPE") ? Upper(a["TYPE"]) : "TEXT";
                field.value = a["VALUE"];
                field.checked = a.count("CHECKED") > 0;
                if (field.type == "CHECKBOX" && !a.count("VALUE"))
                    field.value = "on";
            } else {
                p = area;
                auto a = ReadTagAttributes(page, p);
                size_t close = upper.find("</TEXTAREA>", p);
                field.name = a["NAME"];
                field.type = "TEXTAREA";
                field.value = page.substr(p, close - p);
                p = close == std::string::npos ? end : close;
            }
            if (!field.name.empty())
                form.fields.push_back(field);
        }
        forms.push_back(form);
        pos = end;
    }
    return forms;
}

std::string FormEncode(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '*')
            out += ch;
        else if (c == ' ')
            out += '+';
        else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

Submission Submit(const PageForm& form, const std::map<std::string, std::string>& values,
                  const std::string& method) {
    std::string fields;
    for (const auto& f : form.fields) {
        auto v = values.find(f.name);
        std::string value = v != values.end() ? v->second : f.value;
        if (f.type == "SUBMIT" || f.type == "RESET" || f.type == "BUTTON")
            continue;
        if (f.type == "CHECKBOX" || f.type == "RADIO") {
            if (v == values.end() ? !f.checked : value.empty())
                continue;
            value = f.value;
        }
        if (!fields.empty())
            fields += '&';
        fields += FormEncode(f.name) + "=" + FormEncode(value);
    }
    // Values for names the form does not have: a hand-made or tampered submission.
    for (const auto& kv : values) {
        if (form.Field(kv.first))
            continue;
        if (!fields.empty())
            fields += '&';
        fields += FormEncode(kv.first) + "=" + FormEncode(kv.second);
    }
    // http://SERVER:PORT/SCRIPT/PATH?QUERY: the script name is known to the test setup,
    // so everything after the authority goes to PATH_INFO here (SCRIPT_NAME is empty).
    auto a = form.attributes.find("ACTION");
    std::string target = a != form.attributes.end() ? a->second : "";
    std::string path = target, query;
    bool hasQuery = false;
    size_t scheme = path.find("://");
    if (scheme != std::string::npos) {
        size_t slash = path.find('/', scheme + 3);
        path = slash == std::string::npos ? "" : path.substr(slash);
    }
    size_t q = path.find('?');
    if (q != std::string::npos) {
        query = path.substr(q + 1);
        path.resize(q);
        hasQuery = true;
    }
    Submission s;
    s.env = {{"PATH_INFO", path}, {"REQUEST_METHOD", method}, {"GATEWAY_INTERFACE", "CGI/1.1"},
             {"SERVER_NAME", "127.0.0.1"}, {"SERVER_PORT", "80"}};
    if (method == "GET") {
        s.env["QUERY_STRING"] = fields;
    } else {
        if (hasQuery)
            s.env["QUERY_STRING"] = query;
        s.env["CONTENT_TYPE"] = "application/x-www-form-urlencoded";
        s.env["CONTENT_LENGTH"] = std::to_string(fields.size());
        s.body = fields;
    }
    return s;
}

GatewayRun SubmitTo(const E2eSite& site, const PageForm& form,
                    const std::map<std::string, std::string>& values, const std::string& method,
                    const std::map<std::string, std::string>& env) {
    Submission s = Submit(form, values, method);
    for (const auto& kv : env)
        s.env[kv.first] = kv.second;
    return site.Run(s.env, s.body);
}

std::string RedirectTarget(const GatewayRun& run) {
    const std::string head = "Content-TYPE: text/html\nLocation: ";
    if (run.out.compare(0, head.size(), head) != 0)
        return "";
    size_t end = run.out.find('\n', head.size());
    return run.out.substr(head.size(), end - head.size());
}
