#include "Multipart.h"

#include <algorithm>
#include <cctype>

namespace vorn::photoservice {

namespace {

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percentDecode(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            int hi = hexDigit(s[i + 1]), lo = hexDigit(s[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

// Parameters of a header value such as `form-data; name="a"; filename="b.jpg"`. The first
// element is the bare value before the first ';'. Returns false on an unterminated quote.
bool splitParameters(std::string_view value, std::string& first,
                     std::vector<std::pair<std::string, std::string>>& params) {
    std::size_t i = 0;
    while (i < value.size() && value[i] != ';') ++i;
    first = std::string(trim(value.substr(0, i)));
    while (i < value.size()) {
        ++i;  // the ';'
        while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
        std::size_t keyStart = i;
        while (i < value.size() && value[i] != '=' && value[i] != ';') ++i;
        std::string key(trim(value.substr(keyStart, i - keyStart)));
        std::string val;
        if (i < value.size() && value[i] == '=') {
            ++i;
            while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
            if (i < value.size() && value[i] == '"') {
                ++i;
                bool closed = false;
                while (i < value.size()) {
                    char c = value[i];
                    if (c == '"') {
                        closed = true;
                        ++i;
                        break;
                    }
                    // Only \" and \\ are escapes; a lone backslash stays (Windows paths).
                    if (c == '\\' && i + 1 < value.size() &&
                        (value[i + 1] == '"' || value[i + 1] == '\\')) {
                        val.push_back(value[i + 1]);
                        i += 2;
                        continue;
                    }
                    val.push_back(c);
                    ++i;
                }
                if (!closed) return false;
                while (i < value.size() && value[i] != ';') ++i;
            } else {
                std::size_t valStart = i;
                while (i < value.size() && value[i] != ';') ++i;
                val = std::string(trim(value.substr(valStart, i - valStart)));
            }
        }
        if (!key.empty()) params.emplace_back(std::move(key), std::move(val));
    }
    return true;
}

}  // namespace

std::optional<std::string> multipartBoundary(std::string_view contentType) {
    std::string type;
    std::vector<std::pair<std::string, std::string>> params;
    if (!splitParameters(contentType, type, params)) return std::nullopt;
    if (!iequals(type, "multipart/form-data")) return std::nullopt;
    for (auto& [key, value] : params) {
        if (!iequals(key, "boundary")) continue;
        if (value.empty() || value.size() > 200) return std::nullopt;
        if (value.find_first_of("\r\n", 0) != std::string::npos) return std::nullopt;
        return value;
    }
    return std::nullopt;
}

MultipartReader::MultipartReader(std::string boundary, MultipartSink& sink)
    : delimiter_("\r\n--" + boundary), sink_(sink), buf_("\r\n") {
    // The leading CR LF lets a delimiter at the very start of the body match like any other.
}

void MultipartReader::fail(std::string message) {
    state_ = State::Failed;
    error_ = std::move(message);
    buf_.clear();
    buf_.shrink_to_fit();
}

void MultipartReader::feed(const char* data, std::size_t size) {
    if (state_ == State::Failed || state_ == State::Epilogue) return;
    buf_.append(data, size);
    run();
}

void MultipartReader::finish() {
    switch (state_) {
        case State::Epilogue:
        case State::Failed:
            return;
        case State::Preamble:
            fail("no boundary line in the body");
            return;
        case State::Body:
            fail("body ended inside a part, before the closing boundary");
            return;
        default:
            fail("body ended before the closing boundary");
            return;
    }
}

bool MultipartReader::parseHeaders(std::string_view block, PartHeader& header) {
    std::vector<std::pair<std::string, std::string>> lines;
    std::size_t pos = 0;
    while (pos <= block.size() && !block.empty()) {
        std::size_t end = block.find("\r\n", pos);
        if (end == std::string_view::npos) end = block.size();
        std::string_view line = block.substr(pos, end - pos);
        if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            if (lines.empty()) {
                fail("part headers begin with a continuation line");
                return false;
            }
            lines.back().second += ' ';
            lines.back().second += trim(line);
        } else if (!line.empty()) {
            std::size_t colon = line.find(':');
            if (colon == std::string_view::npos || colon == 0) {
                fail("part header line without a name: \"" + std::string(line.substr(0, 80)) +
                     "\"");
                return false;
            }
            lines.emplace_back(std::string(trim(line.substr(0, colon))),
                               std::string(trim(line.substr(colon + 1))));
        }
        if (end == block.size()) break;
        pos = end + 2;
    }

    bool haveDisposition = false;
    std::optional<std::string> extendedFilename;
    for (auto& [name, value] : lines) {
        if (iequals(name, "Content-Disposition")) {
            std::string type;
            std::vector<std::pair<std::string, std::string>> params;
            if (!splitParameters(value, type, params)) {
                fail("unterminated quote in Content-Disposition");
                return false;
            }
            if (!iequals(type, "form-data")) {
                fail("part disposition is not form-data: \"" + type + "\"");
                return false;
            }
            haveDisposition = true;
            for (auto& [key, val] : params) {
                if (iequals(key, "name")) {
                    header.name = val;
                } else if (iequals(key, "filename")) {
                    header.filename = val;
                } else if (iequals(key, "filename*")) {
                    // charset'language'percent-encoded
                    std::size_t q = val.find('\'');
                    std::size_t q2 = q == std::string::npos ? q : val.find('\'', q + 1);
                    extendedFilename =
                        percentDecode(q2 == std::string::npos ? val : val.substr(q2 + 1));
                }
            }
        } else if (iequals(name, "Content-Type")) {
            header.contentType = value;
        }
    }
    if (!haveDisposition) {
        fail("part without Content-Disposition");
        return false;
    }
    if (header.name.empty()) {
        fail("part without a field name");
        return false;
    }
    if (!header.filename && extendedFilename) header.filename = extendedFilename;
    header.headers = std::move(lines);
    return true;
}

MultipartReader::Delimiter MultipartReader::delimiterAt(std::size_t after) const {
    if (after + 2 > buf_.size()) return Delimiter::NeedMore;
    if (buf_[after] == '-' && buf_[after + 1] == '-') return Delimiter::Yes;
    std::size_t p = after;
    while (p < buf_.size() && (buf_[p] == ' ' || buf_[p] == '\t')) ++p;
    if (p - after > 256) return Delimiter::No;  // no sane padding is that long
    if (p + 2 > buf_.size()) return Delimiter::NeedMore;
    return buf_[p] == '\r' && buf_[p + 1] == '\n' ? Delimiter::Yes : Delimiter::No;
}

std::size_t MultipartReader::findDelimiter() const {
    for (std::size_t from = 0;; ++from) {
        std::size_t at = buf_.find(delimiter_, from);
        if (at == std::string::npos || delimiterAt(at + delimiter_.size()) != Delimiter::No)
            return at;
        from = at;
    }
}

// Each step below reads what its state expects from buf_; false when it needs more bytes or
// the body failed, true when the state moved on.
bool MultipartReader::readPreamble() {
    std::size_t at = findDelimiter();
    if (at == std::string::npos) {
        std::size_t keep = std::min(buf_.size(), delimiter_.size() - 1);
        buf_.erase(0, buf_.size() - keep);
        return false;
    }
    if (delimiterAt(at + delimiter_.size()) == Delimiter::NeedMore) {
        buf_.erase(0, at);
        return false;
    }
    buf_.erase(0, at + delimiter_.size());
    state_ = State::AfterDelimiter;
    return true;
}

bool MultipartReader::readAfterDelimiter() {
    if (buf_.size() < 2) return false;
    if (buf_[0] == '-' && buf_[1] == '-') {
        if (parts_ == 0) {
            fail("no parts before the closing boundary");
            return false;
        }
        state_ = State::Epilogue;
        buf_.clear();
        return false;
    }
    // Transport padding (blanks) may sit between the boundary and its CR LF.
    std::size_t p = buf_.find_first_not_of(" \t");
    if (p == std::string::npos || p + 1 >= buf_.size()) {
        if (buf_.size() > 256) fail("boundary line too long");
        return false;
    }
    if (buf_[p] != '\r' || buf_[p + 1] != '\n') {
        fail("boundary line not followed by CR LF");
        return false;
    }
    buf_.erase(0, p + 2);
    state_ = State::Headers;
    return true;
}

bool MultipartReader::readHeaders() {
    std::size_t blockEnd;
    std::size_t consumed;
    if (buf_.size() >= 2 && buf_[0] == '\r' && buf_[1] == '\n') {
        blockEnd = 0;
        consumed = 2;
    } else {
        blockEnd = buf_.find("\r\n\r\n");
        if (blockEnd == std::string::npos) {
            if (buf_.size() > kMaxHeaderBytes) fail("part headers too long");
            return false;
        }
        consumed = blockEnd + 4;
    }
    if (blockEnd > kMaxHeaderBytes) {
        fail("part headers too long");
        return false;
    }
    PartHeader header;
    if (!parseHeaders(std::string_view(buf_).substr(0, blockEnd), header)) return false;
    buf_.erase(0, consumed);
    if (!sink_.beginPart(header)) {
        fail(sink_.sinkError());
        return false;
    }
    ++parts_;
    state_ = State::Body;
    return true;
}

bool MultipartReader::readBody() {
    // A delimiter only counts when "--" or the end of its line follows; anything
    // else is part data that happens to hold the boundary text, kept as it is.
    std::size_t at = findDelimiter();
    Delimiter kind = at == std::string::npos ? Delimiter::No : delimiterAt(at + delimiter_.size());
    if (at == std::string::npos || kind == Delimiter::NeedMore) {
        // Hold back what may be the start of a delimiter split across two reads.
        std::size_t keep = at != std::string::npos ? buf_.size() - at
                                                   : std::min(buf_.size(), delimiter_.size() - 1);
        std::size_t give = buf_.size() - keep;
        if (give > 0) {
            if (!sink_.partData(buf_.data(), give)) {
                fail(sink_.sinkError());
                return false;
            }
            buf_.erase(0, give);
        }
        return false;
    }
    if (at > 0 && !sink_.partData(buf_.data(), at)) {
        fail(sink_.sinkError());
        return false;
    }
    if (!sink_.endPart()) {
        fail(sink_.sinkError());
        return false;
    }
    buf_.erase(0, at + delimiter_.size());
    state_ = State::AfterDelimiter;
    return true;
}

void MultipartReader::run() {
    for (;;) {
        bool movedOn = false;
        switch (state_) {
            case State::Preamble:
                movedOn = readPreamble();
                break;
            case State::AfterDelimiter:
                movedOn = readAfterDelimiter();
                break;
            case State::Headers:
                movedOn = readHeaders();
                break;
            case State::Body:
                movedOn = readBody();
                break;
            case State::Epilogue:
            case State::Failed:
                return;
        }
        if (!movedOn) return;
    }
}

}  // namespace vorn::photoservice
