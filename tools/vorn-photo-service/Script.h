#pragma once
// Scripted answers: chosen uploads (matched by file name) or order queries answer a given
// verdict a given number of times, then the service answers normally again.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::photoservice {

enum class Verdict {
    Ok,          // status OK (optionally with a chosen message)
    Warning,     // status "Warning"
    Error,       // status "ERROR"
    Fail,        // status "FAIL"
    NoEmail,     // status "FAIL", message "No Email Addresses Sent"
    HttpStatus,  // the normal reply under another HTTP status code
    Malformed,   // a body that is not well-formed XML
    Empty,       // HTTP 200 with no body
    OneChild,    // a root element holding only the status
    Encoding,    // the normal reply declared in, and encoded in, another character set
    Hang,        // the normal reply after a delay
};

const char* verdictName(Verdict verdict);

struct ScriptAction {
    Verdict verdict = Verdict::Ok;
    std::optional<std::string> message;
    int httpStatus = 200;
    std::optional<std::string> retryAfter;  // Verdict::HttpStatus: a Retry-After header
    std::string encoding;                   // Verdict::Encoding
    double seconds = 0;                     // Verdict::Hang
    std::string rule;                       // the script line, for the request log
};

class Script {
  public:
    // The pattern that selects order queries instead of a file name.
    static constexpr std::string_view kQueryPattern = "@query";

    static std::unique_ptr<Script> parse(std::string_view text, std::string* error);
    static std::unique_ptr<Script> load(const std::string& path, std::string* error);

    // The first rule that matches and still has uses left; using it counts one use.
    // subject is the uploaded file name, or empty with isQuery for an order query.
    std::optional<ScriptAction> take(std::string_view subject, bool isQuery);

    static const char* syntaxHelp();

  private:
    struct Rule {
        std::string pattern;
        long remaining = 1;  // < 0: always
        ScriptAction action;
    };
    std::mutex mutex_;
    std::vector<Rule> rules_;
};

}  // namespace vorn::photoservice
