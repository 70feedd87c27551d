#include "Script.h"

#include <fnmatch.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "Replies.h"

namespace vorn::photoservice {

namespace {

// Splits a line into blank-separated words; "double quotes" group words, \" and \\ escape.
bool tokenize(std::string_view line, std::vector<std::string>& words, std::string& error) {
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= line.size()) break;
        if (line[i] == '#') break;
        std::string word;
        if (line[i] == '"') {
            ++i;
            bool closed = false;
            while (i < line.size()) {
                char c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < line.size()) c = line[i++];
                word.push_back(c);
            }
            if (!closed) {
                error = "unterminated quote";
                return false;
            }
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t') word.push_back(line[i++]);
        }
        words.push_back(std::move(word));
    }
    return true;
}

bool parseNumber(const std::string& text, double& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtod(text.c_str(), &end);
    return errno == 0 && end && *end == '\0';
}

// The verdict of a rule (words[2]) and its arguments; what is wrong with them, or nothing.
std::string readVerdict(const std::vector<std::string>& words, ScriptAction& a) {
    const std::string& verdict = words[2];
    std::size_t args = words.size() - 3;
    auto optionalMessage = [&]() -> bool {
        if (args > 1) return false;
        if (args == 1) a.message = words[3];
        return true;
    };
    if (verdict == "ok" || verdict == "warning" || verdict == "error" || verdict == "fail") {
        a.verdict = verdict == "ok"        ? Verdict::Ok
                    : verdict == "warning" ? Verdict::Warning
                    : verdict == "error"   ? Verdict::Error
                                           : Verdict::Fail;
        if (!optionalMessage()) return "quote a message that holds blanks";
    } else if (verdict == "no-email") {
        a.verdict = Verdict::NoEmail;
        if (args != 0) return "no-email takes no argument";
    } else if (verdict == "http") {
        a.verdict = Verdict::HttpStatus;
        double code;
        if (args < 1 || args > 2 || !parseNumber(words[3], code) || code < 100 || code > 599 ||
            code != static_cast<int>(code))
            return "http needs a status code between 100 and 599";
        a.httpStatus = static_cast<int>(code);
        if (args == 2) a.retryAfter = words[4];
    } else if (verdict == "malformed" || verdict == "empty" || verdict == "one-child") {
        a.verdict = verdict == "malformed" ? Verdict::Malformed
                    : verdict == "empty"   ? Verdict::Empty
                                           : Verdict::OneChild;
        if (args != 0) return verdict + " takes no argument";
    } else if (verdict == "encoding") {
        a.verdict = Verdict::Encoding;
        if (args > 1) return "encoding takes one character set name";
        a.encoding = args == 1 ? words[3] : "ISO-8859-1";
        if (!convertFromUtf8("?", a.encoding))
            return "unknown character set \"" + a.encoding + "\"";
    } else if (verdict == "hang") {
        a.verdict = Verdict::Hang;
        if (args != 1 || !parseNumber(words[3], a.seconds) || a.seconds < 0 || a.seconds > 86400)
            return "hang needs a number of seconds";
    } else {
        return "unknown verdict \"" + verdict + "\"";
    }
    return "";
}

}  // namespace

const char* verdictName(Verdict verdict) {
    switch (verdict) {
        case Verdict::Ok:
            return "ok";
        case Verdict::Warning:
            return "warning";
        case Verdict::Error:
            return "error";
        case Verdict::Fail:
            return "fail";
        case Verdict::NoEmail:
            return "no-email";
        case Verdict::HttpStatus:
            return "http";
        case Verdict::Malformed:
            return "malformed";
        case Verdict::Empty:
            return "empty";
        case Verdict::OneChild:
            return "one-child";
        case Verdict::Encoding:
            return "encoding";
        case Verdict::Hang:
            return "hang";
    }
    return "?";
}

const char* Script::syntaxHelp() {
    return "Script file: one rule per line, '#' starts a comment.\n"
           "  PATTERN COUNT VERDICT [ARGUMENT]\n"
           "PATTERN  a shell glob matched against the uploaded file name (photo or hi-res\n"
           "         upload), or @query for order queries.\n"
           "COUNT    how many matching requests get the verdict (a positive number, or\n"
           "         'always'); afterwards the service answers normally again.\n"
           "VERDICT  ok [MESSAGE]        status OK\n"
           "         warning [MESSAGE]   status Warning\n"
           "         error [MESSAGE]     status ERROR\n"
           "         fail [MESSAGE]      status FAIL\n"
           "         no-email            status FAIL, message \"No Email Addresses Sent\"\n"
           "         http CODE [RETRY]   the normal reply with HTTP status CODE (e.g. 500),\n"
           "                             with the header \"Retry-After: RETRY\" when given\n"
           "         malformed           a body that is not well-formed XML\n"
           "         empty               HTTP 200 with an empty body\n"
           "         one-child           a reply whose root holds only the status\n"
           "         encoding [NAME]     the reply declared and encoded in NAME\n"
           "                             (iconv name, default ISO-8859-1)\n"
           "         hang SECONDS        wait SECONDS, then answer normally\n"
           "Words with blanks go in double quotes. Rules are tried in order; the first one\n"
           "that matches and has uses left answers.\n";
}

std::unique_ptr<Script> Script::parse(std::string_view text, std::string* error) {
    auto script = std::make_unique<Script>();
    std::size_t lineNumber = 0;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        pos = end + 1;
        ++lineNumber;

        std::vector<std::string> words;
        std::string problem;
        auto bad = [&](const std::string& why) {
            if (error) *error = "script line " + std::to_string(lineNumber) + ": " + why;
            return nullptr;
        };
        if (!tokenize(line, words, problem)) return bad(problem);
        if (words.empty()) continue;
        if (words.size() < 3) return bad("expected PATTERN COUNT VERDICT");

        Rule rule;
        rule.pattern = words[0];
        if (words[1] == "always") {
            rule.remaining = -1;
        } else {
            char* endp = nullptr;
            long count = std::strtol(words[1].c_str(), &endp, 10);
            if (!endp || *endp != '\0' || count <= 0) return bad("COUNT must be positive");
            rule.remaining = count;
        }
        ScriptAction& a = rule.action;
        a.rule = std::string(line);
        if (std::string why = readVerdict(words, a); !why.empty()) return bad(why);
        script->rules_.push_back(std::move(rule));
        if (end == text.size()) break;
    }
    return script;
}

std::unique_ptr<Script> Script::load(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = "cannot read script file " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return parse(text.str(), error);
}

std::optional<ScriptAction> Script::take(std::string_view subject, bool isQuery) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string name(subject);
    for (Rule& rule : rules_) {
        if (rule.remaining == 0) continue;
        bool matches = isQuery ? rule.pattern == kQueryPattern
                               : rule.pattern != kQueryPattern &&
                                     fnmatch(rule.pattern.c_str(), name.c_str(), 0) == 0;
        if (!matches) continue;
        if (rule.remaining > 0) --rule.remaining;
        return rule.action;
    }
    return std::nullopt;
}

}  // namespace vorn::photoservice
